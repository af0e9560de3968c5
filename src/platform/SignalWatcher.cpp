#include "platform/SignalWatcher.h"

#include <QSocketNotifier>
#include <csignal>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace dravane::platform {
namespace {
sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

void BlockTerminationSignals() {
    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatcher::TSignalWatcher(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
    const sigset_t set = terminationSignals();
    FFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (FFd < 0)
        throw std::system_error(errno, std::generic_category(), "signalfd");
    FNotifier = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { SignalReady(); });
}

TSignalWatcher::~TSignalWatcher() {
    FNotifier.reset();
    if (FFd >= 0)
        ::close(FFd);
}

void TSignalWatcher::SignalReady() {
    signalfd_siginfo info{};
    while (::read(FFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (FOnSignal)
            FOnSignal(static_cast<int>(info.ssi_signo));
    }
}

} // namespace dravane::platform
