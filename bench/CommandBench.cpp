// Command round trip through the whole stack: SendCommand formats the line,
// the com port writes it to a pseudo-terminal, the simulator's core answers
// on the master end (in a thread of its own), and the trip ends when
// SendCommand returns with the decoded status. Next to it, the floor: the
// same exchange with raw termios and poll() on one thread. Then the program's
// cost while it waits: idle in the Normal role with the link up, and one
// command waiting its six seconds for a silent controller.
//
//   build/bench/command_bench [trips=2000] [idle seconds=30]

#include "SimResponder.h"
#include "TermiosFloor.h"
#include "comm/CommControl.h"
#include "comm/NetDefs.h"
#include "platform/SettingsPath.h"
#include "sim/Simulator.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using dravane::bench::Clock;
using dravane::bench::ElapsedUs;
using dravane::bench::Summarise;
using dravane::bench::TSimResponder;
using dravane::bench::TStats;
using dravane::test::PtyPair;
using namespace dravane;

constexpr int WarmUp = 200;

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

const std::string Command = "[R98T4AH02]\r";

std::vector<double> RunFloor(int trips) {
    PtyPair pty;
    TSimResponder responder(pty.Master(), {});
    return bench::RunTermiosFloor(pty, Command, WarmUp, trips);
}

// The Communications window on a pty with the simulator behind it.
struct TStation {
    TStation(const test::TempDir& dir, const sim::TSimOptions& options) : Responder(Pty.Master(), options) {
        const std::string ini = dir.File("bench.ini");
        test::WriteAll(ini, "[Ports]\nCOM7=" + Pty.SlavePath() + "\n[Comm]\nPort=7\nMode=0\n");
        platform::SetSettingsFileName(ini);
        Window = std::make_unique<comm::TCommControl>();
        Pty.CloseSlaveKeeper();
    }
    ~TStation() {
        Window.reset();
        platform::SetSettingsFileName({});
    }
    PtyPair Pty;
    TSimResponder Responder;
    std::unique_ptr<comm::TCommControl> Window;
};

void RunFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 30;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    test::TempDir dir;
    comm::SystemReady = true;

    const TStats floor = Summarise(RunFloor(trips));

    std::vector<double> us;
    {
        TStation station(dir, {});
        RunFor(0.2); // the first link test and its answer
        for (int t = 0; t < WarmUp + trips; ++t) {
            const auto t0 = Clock::now();
            if (!station.Window->SendCommand(comm::baseDravane, comm::cmd485_SetDravane, "\x02",
                                             comm::cmd485_DravaneStatus)) {
                std::fprintf(stderr, "command %d unanswered\n", t);
                return 1;
            }
            if (t >= WarmUp)
                us.push_back(ElapsedUs(t0));
        }
        const TStats full = Summarise(us);
        std::printf("command round trip, %d trips (median / p99, us)\n", trips);
        std::printf("  floor (termios, poll)   %8.1f / %8.1f\n", floor.MedianUs, floor.P99Us);
        std::printf("  SendCommand             %8.1f / %8.1f   ratio %.2f (target <= 1.5)\n", full.MedianUs,
                    full.P99Us, full.MedianUs / floor.MedianUs);

        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        RunFor(idleSeconds);
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        std::printf("idle, Normal role, link up, %.0f s: %.3f %% of one core (target <= 0.5)\n", wall,
                    100 * (CpuSeconds() - cpu0) / wall);
    }
    {
        TStation silent(dir, {.Silent = true});
        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        const bool answered = silent.Window->SendCommand(comm::baseDravane, comm::cmd485_SetDravane, "\x02",
                                                         comm::cmd485_DravaneStatus);
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        std::printf("command to a silent controller: %s after %.2f s, %.3f %% of one core (target < 1)\n",
                    answered ? "answered" : "given up", wall, 100 * (CpuSeconds() - cpu0) / wall);
    }
    comm::SystemReady = false;
    return 0;
}
