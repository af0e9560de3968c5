#pragma once
// The rotator listener: station programs (loggers, contest and satellite
// programs) point the array through the TCP protocol Hamlib's rotctld
// serves. Several connections at once; each reply leaves in one write.
//
// Bounded against hostile peers: the parser holds at most one line of
// TRotatorParser::MaxLine bytes, and a peer whose unread replies pass
// MaxPendingOutput is closed (holding its input back instead would keep a
// peer that never reads connected for ever). A connection that errs is
// closed alone.
//
// P answers at once (RPRT 0 when the target is taken) and the move runs
// afterwards from the event loop, since the controller may take seconds and
// clients wait about two for a reply.
//
// Threading: UI thread only. Replies and moves run from the event loop,
// also nested inside a move's TAntennaDrive::Turn().

#include "rotator/GoToEngine.h"
#include "rotator/RotatorProtocol.h"

#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

namespace dravane::platform {
class TIniFile;
}

namespace dravane::rotator {

Q_DECLARE_LOGGING_CATEGORY(lcRotator)

struct TRotatorSettings {
    bool Enabled = false;
    std::string Address = "127.0.0.1"; // a host name, an IPv4 or an IPv6 address
    std::uint16_t Port = 4533;         // 0: any free port (tests)
    double Offset = 0;                 // degrees added to every direction's bearing
    std::optional<double> Park;        // a bearing in degrees, pointed at like P; none: K is refused

    // Section [Rotator]; a value that does not read keeps its default.
    void Load(const platform::TIniFile& ini);
};

class TRotatorListener : public QObject {
    Q_OBJECT
public:
    // Unread reply bytes past which a peer counts as one that never reads.
    static constexpr std::size_t MaxPendingOutput = 16 * 1024;

    TRotatorListener(TAntennaDrive& drive, const TRotatorSettings& settings, QObject* parent = nullptr);
    ~TRotatorListener() override;
    TRotatorListener(const TRotatorListener&) = delete;
    TRotatorListener& operator=(const TRotatorListener&) = delete;

    // Listens on every address the setting names. False when none could be
    // bound, with ErrorText() for the caller to report (address, port and
    // cause on one line); an address that fails beside one that works is
    // logged. Start does not look at Enabled.
    bool Start();
    const QString& ErrorText() const { return FError; }
    // Closes the listening sockets and every connection.
    void Stop();

    bool Listening() const { return !FListeners.empty(); }
    // The address as configured and the port bound (the real one when 0 was asked).
    QString Address() const { return QString::fromStdString(FSettings.Address); }
    std::uint16_t Port() const { return FPort; }
    int ConnectionCount() const { return static_cast<int>(FConnections.size()); }

    // Call for every status report the link decodes.
    void StatusReport() { FEngine.StatusReport(); }
    TGoToEngine& Engine() { return FEngine; }

signals:
    // A move that failed after its P was answered, for the operator.
    void MoveFailed(const QString& reason);
    void ConnectionsChanged(int count);

private:
    struct TConnection;
    struct TLaterDeleter {
        void operator()(QObject* object) const;
    };
    // Deleted later: a connection may be closed from its notifier's own activation.
    using TNotifier = std::unique_ptr<QSocketNotifier, TLaterDeleter>;
    struct TListenSocket {
        int Fd = -1;
        TNotifier Notifier;
    };

    void accept(int listenFd);
    void readable(int id);
    void writable(int id);
    // Sends the reply now or queues it behind what is queued; false when the
    // connection was closed for it.
    bool send(TConnection& connection, const std::string& reply);
    void close(int id, const char* why, bool fromNotifier = true);
    std::string execute(const TRotatorRequest& request);
    std::string setPosition(const TRotatorRequest& request, std::optional<double> azimuth);
    std::string position(const TRotatorRequest& request) const;

    TAntennaDrive& FDrive;
    TRotatorSettings FSettings;
    TGoToEngine FEngine;
    std::vector<TListenSocket> FListeners;
    std::map<int, std::unique_ptr<TConnection>> FConnections; // by id, never reused
    int FNextId = 1;
    std::uint16_t FPort = 0;
    QString FError; // why the last Start listened nowhere
};

} // namespace dravane::rotator
