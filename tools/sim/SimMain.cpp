// dravane-sim: the antenna controller on a pseudo-terminal or a serial device.

#include "sim/SimOptions.h"
#include "sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

using namespace dravane::sim;

// Output waiting for the terminal, at most; more is dropped rather than kept
// for a peer that does not read.
constexpr std::size_t maxOutput = 64 * 1024;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    TFd(TFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TFd& operator=(TFd&& other) noexcept {
        std::swap(FFd, other.FFd);
        return *this;
    }
    int Get() const { return FFd; }

private:
    int FFd;
};

void setRawLine(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) < 0)
        throw systemError("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    if (::tcsetattr(fd, TCSANOW, &tio) < 0)
        throw systemError("tcsetattr");
}

struct TTerminal {
    TFd Fd;
    TFd Keeper;
    std::string Path;
};

TTerminal openPseudoTerminal() {
    TTerminal t{TFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)), TFd(), {}};
    if (t.Fd.Get() < 0 || ::grantpt(t.Fd.Get()) < 0 || ::unlockpt(t.Fd.Get()) < 0)
        throw systemError("pseudo-terminal");
    char name[128];
    if (::ptsname_r(t.Fd.Get(), name, sizeof name) != 0)
        throw systemError("ptsname");
    t.Path = name;
    // The program at the other end closes and reopens its side whenever the
    // operator switches ports. While no slave descriptor is open, the master
    // reports a hang-up: read fails with EIO and poll returns POLLHUP at once,
    // which would either end this loop or make it spin. Holding a slave
    // descriptor of our own for the whole run means the master never hangs
    // up, poll keeps blocking, and the raw settings stay with the terminal.
    // The price: what is sent while nobody has the port open waits in the
    // terminal for the next opener (as far as its buffer goes; past that the
    // loop drops it), rather than being lost as on a closed UART.
    t.Keeper = TFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (t.Keeper.Get() < 0)
        throw systemError(t.Path);
    setRawLine(t.Keeper.Get());
    return t;
}

TTerminal openDevice(const std::string& path) {
    TTerminal t{TFd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)), TFd(), path};
    if (t.Fd.Get() < 0)
        throw systemError(path);
    setRawLine(t.Fd.Get());
    ::tcflush(t.Fd.Get(), TCIOFLUSH);
    return t;
}

// A symbolic link to the terminal for as long as the simulator runs.
class TLink {
public:
    TLink(std::string path, const std::string& target) : FPath(std::move(path)), FTarget(target) {
        struct stat st {};
        if (::lstat(FPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
            throw std::runtime_error(FPath + " exists and is not a symbolic link");
        // A link left by an earlier run is replaced in one step.
        const std::string temp = FPath + ".new" + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(FTarget.c_str(), temp.c_str()) < 0 || ::rename(temp.c_str(), FPath.c_str()) < 0) {
            const auto error = systemError(FPath);
            ::unlink(temp.c_str());
            throw error;
        }
    }
    ~TLink() {
        // Only our own link: another simulator may have taken the name since.
        char target[PATH_MAX];
        const ssize_t n = ::readlink(FPath.c_str(), target, sizeof target);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == FTarget)
            ::unlink(FPath.c_str());
    }
    TLink(const TLink&) = delete;
    TLink& operator=(const TLink&) = delete;

private:
    std::string FPath;
    std::string FTarget;
};

void logLine(std::string_view kind, std::string_view text) {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    std::string shown;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 32 && b < 127) {
            shown += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            shown += hex;
        }
    }
    std::printf("%02d:%02d:%02d.%03ld %.*s %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                ts.tv_nsec / 1000000, static_cast<int>(kind.size()), kind.data(), shown.c_str());
}

int pollTimeout(const TSimulator& sim, TClock::time_point now) {
    const auto due = sim.NextDue();
    if (!due)
        return -1;
    // Rounded up: waking a little early would only poll again with 0.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

// Reads what the terminal has; false when its other end is gone for good.
bool receive(int fd, TSimulator& sim) {
    char buf[4096];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            sim.Receive(std::string_view(buf, static_cast<std::size_t>(n)), TClock::now());
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        return false;
    }
    return true;
}

void transmit(int fd, std::string& out) {
    while (!out.empty()) {
        const ssize_t n = ::write(fd, out.data(), out.size());
        if (n > 0)
            out.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return; // EAGAIN: poll says when there is room again
    }
}

int run(const TSimConfig& config) {
    sigset_t stops;
    ::sigemptyset(&stops);
    ::sigaddset(&stops, SIGTERM);
    ::sigaddset(&stops, SIGINT);
    ::sigaddset(&stops, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    const TFd signals(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
    if (signals.Get() < 0)
        throw systemError("signalfd");
    ::signal(SIGPIPE, SIG_IGN); // a log reader going away must not kill us before the link is removed

    TTerminal terminal = config.Device.empty() ? openPseudoTerminal() : openDevice(config.Device);
    std::optional<TLink> link;
    if (!config.Link.empty())
        link.emplace(config.Link, terminal.Path);
    std::printf("%s\n", terminal.Path.c_str());
    std::fflush(stdout);

    TSimulator sim(config.Sim, TClock::now(), std::random_device{}());
    if (config.Log)
        sim.SetLog(logLine);
    std::string out;
    bool dropped = false;
    for (;;) {
        pollfd fds[2] = {{signals.Get(), POLLIN, 0},
                         {terminal.Fd.Get(), static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0}};
        if (::poll(fds, 2, pollTimeout(sim, TClock::now())) < 0) {
            if (errno == EINTR)
                continue;
            throw systemError("poll");
        }
        if (fds[0].revents != 0)
            return 0;
        if ((fds[1].revents & POLLIN) != 0 ? !receive(terminal.Fd.Get(), sim)
                                           : (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            std::fprintf(stderr, "dravane-sim: %s hung up\n", terminal.Path.c_str());
            return 1;
        }
        const std::string due = sim.TakeDue(TClock::now());
        if (out.size() + due.size() <= maxOutput) {
            out += due;
            dropped = false;
        } else if (!dropped) {
            dropped = true;
            std::fprintf(stderr, "dravane-sim: nobody reads %s; dropping output\n", terminal.Path.c_str());
        }
        transmit(terminal.Fd.Get(), out);
    }
}

} // namespace

int main(int argc, char** argv) {
    TSimConfig config;
    std::string error;
    if (!ParseArguments(std::vector<std::string>(argv + 1, argv + argc), config, error)) {
        std::fprintf(stderr, "dravane-sim: %s (--help lists the options)\n", error.c_str());
        return 2;
    }
    if (config.Help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (config.Version) {
        std::printf("dravane-sim %s\n", DRAVANE_VERSION);
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return run(config);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dravane-sim: %s\n", e.what());
        return 1;
    }
}
