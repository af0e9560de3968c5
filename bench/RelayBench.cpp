// Relay round trip: a raw TCP client on loopback sends a command line to a
// Server (the Communications window in the Server role) whose serial port is a
// pseudo-terminal with the simulator's core answering on its master end; a
// trip ends with the last byte of the reply. Beside it, in the same run,
// ser2net relays the same exchange from a loopback port to the same kind of
// pty, with its stock settings and with `chardelay: false`. A trip of 40 ms
// or more counts as a stall (a Nagle / delayed-ACK wait).
//
//   build/bench/relay_bench [trips=2000]

#include "BenchRow.h"
#include "SimResponder.h"
#include "TermiosFloor.h"
#include "comm/CommLink.h"
#include "comm/NetDefs.h"
#include "platform/SettingsPath.h"
#include "support/Loopback.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"
#include "support/WsTestPort.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace dravane;
using bench::Clock;
using bench::ElapsedUs;
using test::PtyPair;

constexpr int WarmUp = 100;
constexpr double StallUs = 40000;
const std::string Command = "[R98T4AH02]\r";

struct TRelayStats {
    double MedianUs, P99Us, MaxUs;
    int Stalls;
};

TRelayStats Summarise(const std::vector<double>& us) {
    const bench::TStats s = bench::Summarise(us);
    return {s.MedianUs, s.P99Us, *std::max_element(us.begin(), us.end()),
            static_cast<int>(std::count_if(us.begin(), us.end(), [](double t) { return t >= StallUs; }))};
}

// A connected TCP socket to 127.0.0.1:port, or -1 (relays may still be starting).
int Connect(std::uint16_t port) {
    return test::ConnectLoopback(port);
}

// Trips of Command over the socket; a trip ends at the CR of a reply line
// (link-test answers the relay forwards on its own are skipped). Empty when a
// reply took longer than two seconds.
std::vector<double> RunTrips(int s, int trips) {
    std::vector<double> us;
    std::string pending;
    char buf[512];
    for (int t = 0; t < WarmUp + trips; ++t) {
        const auto t0 = Clock::now();
        if (::send(s, Command.data(), Command.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Command.size()))
            return {};
        for (bool done = false; !done;) {
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return {};
            const ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                return {};
            pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
                const std::string line = pending.substr(0, cr);
                pending.erase(0, cr + 1);
                done = done || (!line.empty() && line != "[LINKOK]");
            }
        }
        if (t >= WarmUp)
            us.push_back(ElapsedUs(t0));
    }
    return us;
}

void Print(const char* name, const std::optional<TRelayStats>& s) {
    if (!s)
        std::printf("  %-28s no answer\n", name);
    else
        std::printf("  %-28s %8.1f / %8.1f / %8.1f   %d\n", name, s->MedianUs, s->P99Us, s->MaxUs, s->Stalls);
}

// The Server role on a pty with the simulator behind it; the client runs on a
// thread of its own while the window's event loop relays.
std::optional<TRelayStats> RunServer(const test::TempDir& dir, int trips) {
    PtyPair pty;
    bench::TSimResponder responder(pty.Master(), {});
    const std::uint16_t port = test::FreePort();
    const std::string ini = dir.File("relay.ini");
    test::WriteAll(ini, "[Ports]\nCOM7=" + pty.SlavePath() +
                            "\n[Comm]\nPort=7\nMode=2\nipPort=" + std::to_string(port) + "\n");
    platform::SetSettingsFileName(ini);
    std::optional<TRelayStats> result;
    {
        comm::TCommLink server;
        server.Start();
        pty.CloseSlaveKeeper();
        QEventLoop loop;
        std::thread client([&] {
            const int s = Connect(port);
            const std::vector<double> us = s >= 0 ? RunTrips(s, trips) : std::vector<double>{};
            if (s >= 0)
                ::close(s);
            if (!us.empty())
                result = Summarise(us);
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
        client.join();
    }
    platform::SetSettingsFileName({});
    return result;
}

// ser2net relaying a loopback port to a pty with the simulator behind it.
// Nothing when ser2net is not installed or does not answer.
std::optional<TRelayStats> RunSer2net(const test::TempDir& dir, int trips, bool chardelay) {
    PtyPair pty;
    bench::TSimResponder responder(pty.Master(), {});
    const std::uint16_t port = test::FreePort();
    const std::string yaml = dir.File(chardelay ? "stock.yaml" : "nodelay.yaml");
    test::WriteAll(yaml, "connection: &relay\n"
                         "  accepter: tcp,127.0.0.1," +
                             std::to_string(port) +
                             "\n"
                             "  connector: serialdev," +
                             pty.SlavePath() + ",57600n81,local\n" +
                             (chardelay ? "" : "  options:\n    chardelay: false\n"));
    const std::string pidFile = dir.File("ser2net.pid");
    const char* argv[] = {"ser2net", "-n", "-u", "-c", yaml.c_str(), "-P", pidFile.c_str(), nullptr};
    // Its chatter (mDNS it cannot start) stays out of the table.
    posix_spawn_file_actions_t quiet;
    ::posix_spawn_file_actions_init(&quiet);
    ::posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, "ser2net", &quiet, nullptr, const_cast<char**>(argv), environ);
    ::posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0)
        return std::nullopt;
    std::optional<TRelayStats> result;
    const int s = Connect(port);
    if (s >= 0) {
        pty.CloseSlaveKeeper();
        const std::vector<double> us = RunTrips(s, trips);
        ::close(s);
        if (!us.empty())
            result = Summarise(us);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return result;
}

bool HaveSer2net() {
    return std::system("command -v ser2net >/dev/null 2>&1") == 0;
}

} // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    test::TempDir dir;
    comm::SystemReady = true;

    const std::optional<TRelayStats> server = RunServer(dir, trips);
    const bool have = HaveSer2net();
    const std::optional<TRelayStats> stock = have ? RunSer2net(dir, trips, true) : std::nullopt;
    const std::optional<TRelayStats> nodelay = have ? RunSer2net(dir, trips, false) : std::nullopt;
    comm::SystemReady = false;

    std::printf("relay round trip, TCP client -> relay -> pty -> simulator and back, %d trips\n", trips);
    std::printf("  %-28s %8s / %8s / %8s   %s\n", "(us)", "median", "p99", "max", "stalls >= 40 ms");
    Print("Server role", server);
    if (!have)
        std::printf("  ser2net is not installed (apt-get install ser2net): its rows are skipped\n");
    else {
        Print("ser2net, stock", stock);
        Print("ser2net, chardelay: false", nodelay);
    }
    if (!server) {
        std::fprintf(stderr, "the Server did not answer\n");
        return 1;
    }
    using bench::Format;
    using bench::Row;
    Row("relay round trip, Server", Format("median %.0f us", server->MedianUs), "-", 0, "< 300 us",
        server->MedianUs < 300);
    Row("relay, stalls >= 40 ms", Format("%.0f trips", server->Stalls), Format("max %.0f us", server->MaxUs),
        0, "none", server->Stalls == 0);
    if (stock)
        Row("relay vs ser2net stock", Format("median %.0f us", server->MedianUs),
            Format("ser2net %.0f us", stock->MedianUs), server->MedianUs / stock->MedianUs, "<= 0.1",
            stock->MedianUs >= 10 * server->MedianUs);
    if (nodelay)
        Row("relay vs ser2net chardelay off", Format("median %.0f us", server->MedianUs),
            Format("ser2net %.0f us", nodelay->MedianUs), server->MedianUs / nodelay->MedianUs, "-", false);
    return 0;
}
