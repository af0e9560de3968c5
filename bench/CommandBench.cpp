// Command round trip through the whole stack: SendCommand formats the line,
// the com port writes it to a pseudo-terminal, the simulator's core answers
// on the master end (in a thread of its own), and the trip ends when
// SendCommand returns with the decoded status. Next to it, the floor: the
// same exchange with raw termios and poll() on one thread, on a pty and
// simulator of its own; floor and command trips take turns, so both meet the
// same load on a shared machine. A third anchor does the exchange over the
// receive path's hand-offs (reader thread, relay thread, calling thread) with
// nothing else, to tell the port's own cost from theirs. Then the program's
// cost while it waits: idle in each role with its link up (a Server with the
// simulator behind it and a peer sending "[REMOTE]" every five seconds, a
// Client connected to a listener that reads what it gets; both helpers are
// threads asleep in poll(), counted in the figure), and one command waiting
// its six seconds for a silent controller.
//
//   build/bench/command_bench [trips=2000] [idle seconds per role=30]

#include "BenchRow.h"
#include "SimResponder.h"
#include "TermiosFloor.h"
#include "comm/CommLink.h"
#include "comm/NetDefs.h"
#include "platform/SettingsPath.h"
#include "sim/Simulator.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"
#include "support/WsTestPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
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

// The Communications window on a pty with the simulator behind it.
// `comm` holds the Comm settings after the serial port's.
struct TStation {
    TStation(const test::TempDir& dir, const sim::TSimOptions& options, const std::string& comm = "Mode=0\n")
        : Responder(Pty.Master(), options) {
        const std::string ini = dir.File("bench.ini");
        test::WriteAll(ini, "[Ports]\nCOM7=" + Pty.SlavePath() + "\n[Comm]\nPort=7\n" + comm);
        platform::SetSettingsFileName(ini);
        Window = std::make_unique<comm::TCommLink>();
        Window->Start();
        Pty.CloseSlaveKeeper();
    }
    ~TStation() {
        Window.reset();
        platform::SetSettingsFileName({});
    }
    PtyPair Pty;
    TSimResponder Responder;
    std::unique_ptr<comm::TCommLink> Window;
};

void RunFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// The far end of the TCP link, on a thread asleep in poll(): as a Server's
// peer it connects and sends "[REMOTE]" every five seconds; as a Client's
// Server it accepts one connection. It reads and drops whatever comes.
class TPeer {
public:
    enum TKind : std::uint8_t { ClientOf, ServerFor };
    TPeer(TKind kind, std::uint16_t port) : FKind(kind), FPort(port) {
        if (::pipe2(FStop, O_CLOEXEC) != 0)
            std::abort();
        if (kind == ServerFor) {
            FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int one = 1;
            ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            const sockaddr_in a = test::Loopback(port);
            if (::bind(FListen, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
                ::listen(FListen, 1) != 0)
                std::abort();
        }
        FThread = std::thread([this] { run(); });
    }
    ~TPeer() {
        if (::write(FStop[1], "x", 1) < 0)
            std::abort();
        FThread.join();
        for (int fd : {FStop[0], FStop[1], FListen, FData})
            if (fd >= 0)
                ::close(fd);
    }
    bool Connected() const { return FConnected; }

private:
    void run() {
        if (FKind == ClientOf) {
            FData = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = test::Loopback(FPort);
            if (::connect(FData, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
                return;
        } else {
            pollfd p[2] = {{FListen, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            if (::poll(p, 2, -1) <= 0 || p[1].revents)
                return;
            FData = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        }
        FConnected = true;
        char buf[512];
        for (;;) {
            if (FKind == ClientOf && ::send(FData, "[REMOTE]\r", 9, MSG_NOSIGNAL) < 0)
                return;
            pollfd p[2] = {{FData, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            const int n = ::poll(p, 2, 5000);
            if (n < 0 || p[1].revents)
                return;
            if (p[0].revents && ::recv(FData, buf, sizeof buf, 0) <= 0)
                return;
        }
    }
    TKind FKind;
    std::uint16_t FPort;
    int FStop[2] = {-1, -1};
    int FListen = -1;
    int FData = -1;
    std::atomic<bool> FConnected{false};
    std::thread FThread;
};

// Percent of one core the process used over `seconds` of its event loop.
double IdleCost(double seconds) {
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    RunFor(seconds);
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    return 100 * (CpuSeconds() - cpu0) / wall;
}

void IdleRow(const char* role, double percent, double seconds) {
    std::printf("idle, %s role, link up, %.0f s: %.3f %% of one core (target <= 0.5)\n", role, seconds,
                percent);
    bench::Row(std::string("idle, ") + role + " role, link up", bench::Format("%.3f %% of a core", percent),
               bench::Format("%.0f s", seconds), 0, "<= 0.5 %", percent <= 0.5);
}

} // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const double idleSeconds = argc > 2 ? std::atof(argv[2]) : 30;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    test::TempDir dir;
    comm::SystemReady = true;

    std::vector<double> us, floorUs, handOffUs;
    {
        PtyPair floorPty, handOffPty;
        TSimResponder floorResponder(floorPty.Master(), {});
        TSimResponder handOffResponder(handOffPty.Master(), {});
        bench::TTermiosFloor floorPort(floorPty, Command);
        bench::THandOffFloor handOffPort(handOffPty, Command);
        TStation station(dir, {});
        RunFor(0.2); // the first link test and its answer
        for (int t = 0; t < WarmUp + trips; ++t) {
            const double floorTrip = floorPort.Trip();
            const double handOffTrip = handOffPort.Trip();
            const auto t0 = Clock::now();
            if (!station.Window->SendCommand(comm::baseDravane, comm::cmd485_SetDravane, "\x02",
                                             comm::cmd485_DravaneStatus)) {
                std::fprintf(stderr, "command %d unanswered\n", t);
                return 1;
            }
            if (t >= WarmUp) {
                us.push_back(ElapsedUs(t0));
                floorUs.push_back(floorTrip);
                handOffUs.push_back(handOffTrip);
            }
        }
        const TStats full = Summarise(us);
        const TStats floor = Summarise(floorUs);
        const TStats handOff = Summarise(handOffUs);
        std::printf("command round trip, %d trips (median / p99, us)\n", trips);
        std::printf("  floor (termios, poll)   %8.1f / %8.1f\n", floor.MedianUs, floor.P99Us);
        std::printf("  three-thread hand-off   %8.1f / %8.1f   ratio %.2f\n", handOff.MedianUs, handOff.P99Us,
                    handOff.MedianUs / floor.MedianUs);
        std::printf("  SendCommand             %8.1f / %8.1f   ratio %.2f (target <= 1.5)\n", full.MedianUs,
                    full.P99Us, full.MedianUs / floor.MedianUs);
        bench::Row("command round trip", bench::Format("median %.0f us", full.MedianUs),
                   bench::Format("termios %.0f us", floor.MedianUs), full.MedianUs / floor.MedianUs, "<= 1.5",
                   full.MedianUs <= 1.5 * floor.MedianUs);
        // What the receive path's own thread hand-offs cost, done barely:
        // the port's share of the trip is the figure beyond this.
        bench::Row("command round trip, over the bare hand-offs",
                   bench::Format("median %.0f us", full.MedianUs),
                   bench::Format("3-thread relay %.0f us", handOff.MedianUs),
                   full.MedianUs / handOff.MedianUs, "<= 1.25", full.MedianUs <= 1.25 * handOff.MedianUs);
        IdleRow("Normal", IdleCost(idleSeconds), idleSeconds);
    }
    {
        const std::uint16_t port = test::FreePort();
        TStation server(dir, {}, "Mode=2\nipPort=" + std::to_string(port) + "\n");
        TPeer peer(TPeer::ClientOf, port);
        RunFor(0.2);
        if (!peer.Connected() || server.Window->GetOpMode() != comm::omServer) {
            std::fprintf(stderr, "the Server took no peer\n");
            return 1;
        }
        IdleRow("Server", IdleCost(idleSeconds), idleSeconds);
    }
    {
        const std::uint16_t port = test::FreePort();
        TPeer far(TPeer::ServerFor, port);
        const std::string ini = dir.File("client.ini");
        test::WriteAll(ini, "[Comm]\nMode=1\nipAddress=127.0.0.1\nipPort=" + std::to_string(port) + "\n");
        platform::SetSettingsFileName(ini);
        {
            comm::TCommLink client;
            client.Start();
            RunFor(0.2);
            if (!far.Connected()) {
                std::fprintf(stderr, "the Client did not connect\n");
                return 1;
            }
            IdleRow("Client", IdleCost(idleSeconds), idleSeconds);
        }
        platform::SetSettingsFileName({});
    }
    {
        TStation silent(dir, {.Silent = true});
        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        const bool answered = silent.Window->SendCommand(comm::baseDravane, comm::cmd485_SetDravane, "\x02",
                                                         comm::cmd485_DravaneStatus);
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        const double percent = 100 * (CpuSeconds() - cpu0) / wall;
        std::printf("command to a silent controller: %s after %.2f s, %.3f %% of one core (target < 1)\n",
                    answered ? "answered" : "given up", wall, percent);
        bench::Row("command waiting, silent controller", bench::Format("%.3f %% of a core", percent),
                   bench::Format("%.1f s", wall), 0, "< 1 %", !answered && percent < 1);
    }
    comm::SystemReady = false;
    return 0;
}
