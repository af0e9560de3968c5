#pragma once
// The controller for the benchmarks: the simulator's core answering on a
// pty's master end, in a thread of its own.

#include "TermiosFloor.h"
#include "sim/Simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace dravane::bench {

class TSimResponder {
public:
    TSimResponder(int master, const sim::TSimOptions& options)
        : FMaster(master), FSim(options, Clock::now(), 1), FThread([this] { run(); }) {}
    ~TSimResponder() {
        FStop = true;
        FThread.join();
    }

private:
    void run() {
        char buf[512];
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            const auto next = FSim.NextDue();
            const int wait =
                next ? static_cast<int>(std::max<long long>(
                           0, std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count()))
                     : 50;
            if (::poll(&p, 1, std::min(wait, 50)) > 0) {
                const ssize_t n = ::read(FMaster, buf, sizeof buf);
                if (n > 0)
                    FSim.Receive(std::string_view(buf, static_cast<std::size_t>(n)), Clock::now());
            }
            const std::string out = FSim.TakeDue(Clock::now());
            if (!out.empty() && ::write(FMaster, out.data(), out.size()) < 0)
                return;
        }
    }
    int FMaster;
    sim::TSimulator FSim;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

} // namespace dravane::bench
