#pragma once
// The controller for the benchmarks: the simulator's core answering on a
// pty's master end, in a thread of its own. It sleeps in poll() until bytes
// come, an answer falls due or it is told to stop, so it adds next to nothing
// to the idle figures it is counted in.

#include "TermiosFloor.h"
#include "sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace dravane::bench {

class TSimResponder {
public:
    TSimResponder(int master, const sim::TSimOptions& options)
        : FMaster(master), FSim(options, Clock::now(), 1), FStop(makePipe()), FThread([this] { run(); }) {}
    ~TSimResponder() {
        if (::write(FStop[1], "x", 1) < 0)
            std::abort();
        FThread.join();
        ::close(FStop[0]);
        ::close(FStop[1]);
    }

private:
    void run() {
        char buf[512];
        // Once the last slave side has closed (the benchmark tearing down)
        // the master only reports a hang-up: it is no longer watched.
        bool hungUp = false;
        for (;;) {
            pollfd p[2] = {{hungUp ? -1 : FMaster, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            const auto next = FSim.NextDue();
            const int wait =
                next ? static_cast<int>(std::max<long long>(
                           0, std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count()))
                     : -1;
            const int ready = ::poll(p, 2, wait);
            if (ready > 0 && p[1].revents)
                return;
            if (ready > 0 && p[0].revents) {
                const ssize_t n = ::read(FMaster, buf, sizeof buf);
                if (n > 0)
                    FSim.Receive(std::string_view(buf, static_cast<std::size_t>(n)), Clock::now());
                else
                    hungUp = (p[0].revents & POLLHUP) != 0;
            }
            const std::string out = FSim.TakeDue(Clock::now());
            if (!out.empty() && ::write(FMaster, out.data(), out.size()) < 0)
                return;
        }
    }
    int FMaster;
    sim::TSimulator FSim;
    static std::array<int, 2> makePipe() {
        std::array<int, 2> fds{};
        if (::pipe2(fds.data(), O_CLOEXEC) != 0)
            std::abort();
        return fds;
    }
    std::array<int, 2> FStop;
    std::thread FThread;
};

} // namespace dravane::bench
