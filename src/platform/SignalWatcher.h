#pragma once
// SIGTERM, SIGINT and SIGHUP delivered to the UI thread as an ordinary event,
// through a signalfd watched by a socket notifier: no work runs inside a
// signal handler.

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace dravane::platform {

// Blocks the three signals in the calling thread. Call it before any other
// thread starts, so every thread inherits the mask and the signalfd sees them.
void BlockTerminationSignals();

class TSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit TSignalWatcher(std::function<void(int)> onSignal, QObject* parent = nullptr);
    ~TSignalWatcher() override;

private:
    void SignalReady();

    int FFd = -1;
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::function<void(int)> FOnSignal;
};

} // namespace dravane::platform
