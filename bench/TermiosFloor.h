#pragma once
// What the round-trip benchmarks share: trip statistics and the floor, one
// command line written with raw termios and its answer read with poll() on
// one thread, against whatever answers on the pty's master end.

#include "support/PtyPair.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
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

// Trips of `command` on the pty's slave; a trip ends with a read ending in CR.
inline std::vector<double> RunTermiosFloor(test::PtyPair& pty, const std::string& command, int warmUp,
                                           int trips) {
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    pty.CloseSlaveKeeper();
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B57600);
    ::tcsetattr(fd, TCSANOW, &tio);
    std::vector<double> us;
    char buf[256];
    for (int t = 0; t < warmUp + trips; ++t) {
        const auto t0 = Clock::now();
        if (::write(fd, command.data(), command.size()) < 0)
            std::abort();
        for (bool done = false; !done;) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t n = ::read(fd, buf, sizeof buf);
            done = n > 0 && buf[n - 1] == '\r';
        }
        if (t >= warmUp)
            us.push_back(ElapsedUs(t0));
    }
    ::close(fd);
    return us;
}

} // namespace dravane::bench
