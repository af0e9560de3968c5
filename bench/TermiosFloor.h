#pragma once
// What the round-trip benchmarks share: trip statistics and the floor, one
// command line written with raw termios and its answer read with poll() on
// one thread, against whatever answers on the pty's master end.

#include "support/PtyPair.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace dravane::bench {

using Clock = std::chrono::steady_clock;

struct TStats {
    double MedianUs, P99Us;
};

inline TStats Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

inline double ElapsedUs(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The pty's slave in raw mode at 57600 baud, the only one open.
inline int OpenRawSlave(test::PtyPair& pty) {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    pty.CloseSlaveKeeper();
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B57600);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// One command line at a time on the pty's slave, raw termios and poll() on
// the calling thread; a trip ends with a read ending in CR.
class TTermiosFloor {
public:
    TTermiosFloor(test::PtyPair& pty, std::string command)
        : FCommand(std::move(command)), FFd(OpenRawSlave(pty)) {}
    ~TTermiosFloor() { ::close(FFd); }
    TTermiosFloor(const TTermiosFloor&) = delete;
    TTermiosFloor& operator=(const TTermiosFloor&) = delete;

    // Microseconds from the write to the answer's CR.
    double Trip() {
        const auto t0 = Clock::now();
        if (::write(FFd, FCommand.data(), FCommand.size()) < 0)
            std::abort();
        char buf[256];
        for (bool done = false; !done;) {
            pollfd p{FFd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t n = ::read(FFd, buf, sizeof buf);
            done = n > 0 && buf[n - 1] == '\r';
        }
        return ElapsedUs(t0);
    }

private:
    std::string FCommand;
    int FFd = -1;
};

// The same exchange over the hand-offs a port's receive path is built from,
// done with the plainest means: a reader thread poll()s the pty and hands the
// bytes to a relay thread through a mutex and condition variable; the relay
// wakes the calling thread's poll() through an eventfd and waits until that
// thread says it has taken them. What the port adds beyond this is its own.
class THandOffFloor {
public:
    THandOffFloor(test::PtyPair& pty, std::string command)
        : FCommand(std::move(command)), FFd(OpenRawSlave(pty)) {
        FWake = ::eventfd(0, EFD_CLOEXEC);
        FStop = ::eventfd(0, EFD_CLOEXEC);
        FReader = std::thread([this] { read(); });
        FRelay = std::thread([this] { relay(); });
    }
    ~THandOffFloor() {
        {
            std::lock_guard lock(FLock);
            FStopping = true;
        }
        FChanged.notify_all();
        const std::uint64_t one = 1;
        if (::write(FStop, &one, sizeof one) < 0)
            std::abort();
        FReader.join();
        FRelay.join();
        for (const int fd : {FFd, FWake, FStop})
            ::close(fd);
    }
    THandOffFloor(const THandOffFloor&) = delete;
    THandOffFloor& operator=(const THandOffFloor&) = delete;

    double Trip() {
        const auto t0 = Clock::now();
        if (::write(FFd, FCommand.data(), FCommand.size()) < 0)
            std::abort();
        for (bool done = false; !done;) {
            pollfd p{FWake, POLLIN, 0};
            ::poll(&p, 1, 1000);
            std::uint64_t count;
            if (::read(FWake, &count, sizeof count) < 0)
                continue;
            {
                std::lock_guard lock(FLock);
                done = !FDelivered.empty() && FDelivered.back() == '\r';
                FDelivered.clear();
                FTaken = true;
            }
            FChanged.notify_all();
        }
        return ElapsedUs(t0);
    }

private:
    void read() {
        char buf[256];
        for (;;) {
            pollfd p[2] = {{FFd, POLLIN, 0}, {FStop, POLLIN, 0}};
            ::poll(p, 2, -1);
            if (p[1].revents)
                return;
            const ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n <= 0)
                continue;
            {
                std::lock_guard lock(FLock);
                FQueued.append(buf, static_cast<std::size_t>(n));
            }
            FChanged.notify_all();
        }
    }
    void relay() {
        std::unique_lock lock(FLock);
        for (;;) {
            FChanged.wait(lock, [this] { return FStopping || !FQueued.empty(); });
            if (FStopping)
                return;
            FDelivered += FQueued;
            FQueued.clear();
            FTaken = false;
            const std::uint64_t one = 1;
            if (::write(FWake, &one, sizeof one) < 0)
                std::abort();
            FChanged.wait(lock, [this] { return FStopping || FTaken; });
        }
    }

    std::string FCommand;
    int FFd = -1, FWake = -1, FStop = -1;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::string FQueued, FDelivered;
    bool FTaken = false, FStopping = false;
    std::thread FReader, FRelay;
};

// `trips` after `warmUp` unmeasured ones.
inline std::vector<double> RunTermiosFloor(test::PtyPair& pty, const std::string& command, int warmUp,
                                           int trips) {
    TTermiosFloor floor(pty, command);
    std::vector<double> us;
    for (int t = 0; t < warmUp + trips; ++t) {
        const double trip = floor.Trip();
        if (t >= warmUp)
            us.push_back(trip);
    }
    return us;
}

} // namespace dravane::bench
