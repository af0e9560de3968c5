// The footprint of dravane-server in the Server role, each figure beside
// ser2net (and socat for the round trip) measured in the same run, every
// relay a process of its own serving a pseudo-terminal of its own played by
// the dravane-sim program:
//   - start to listening: from spawning the relay to its TCP port accepting,
//     the relays taking turns;
//   - resident memory (VmRSS, Pss) with a raw TCP client connected and the
//     link up;
//   - idle CPU over a quiet period with the client connected (sending the
//     link test a Client sends), from the scheduler's run time of every thread;
//   - relay round trip of a command line from the raw client through the
//     relay to the simulator and back, the relays taking turns trip by trip
//     (ser2net with chardelay: false, socat with nodelay).
// Without ser2net or socat the rows that need them are left out.
//
//   build/bench/server_bench [trips=2000] [idle seconds=10] [starts=10]

#include "BenchRow.h"
#include "TermiosFloor.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace dravane;
using bench::Clock;
using bench::ElapsedUs;

constexpr int WarmUp = 100;
const std::string Command = "[R98T4AH02]\r";

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::uint16_t FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// A child process, killed and reaped when it goes out of scope.
class TChild {
public:
    // Standard output to outFd (or /dev/null), standard error to /dev/null.
    TChild(const std::vector<std::string>& argv, int outFd = -1) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t files;
        ::posix_spawn_file_actions_init(&files);
        if (outFd >= 0)
            ::posix_spawn_file_actions_adddup2(&files, outFd, 1);
        else
            ::posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
        if (::posix_spawnp(&FPid, args[0], &files, nullptr, args.data(), environ) != 0)
            FPid = -1;
        ::posix_spawn_file_actions_destroy(&files);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild() { Stop(); }
    pid_t Pid() const { return FPid; }
    // SIGTERM, then SIGKILL if it has not ended within 3 s.
    void Stop() {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGTERM);
        int status = 0;
        for (int k = 0; k < 300 && ::waitpid(FPid, &status, WNOHANG) == 0; ++k)
            ::usleep(10000);
        if (::waitpid(FPid, &status, WNOHANG) == 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
        }
        FPid = -1;
    }

private:
    pid_t FPid = -1;
};

// The simulator on a new pseudo-terminal; Path is empty when it printed none within 5 s.
struct TSim {
    int Pipe[2] = {-1, -1};
    std::unique_ptr<TChild> Process;
    std::string Path;

    explicit TSim(const std::string& program) {
        if (::pipe2(Pipe, O_CLOEXEC) != 0)
            return;
        Process = std::make_unique<TChild>(std::vector<std::string>{program}, Pipe[1]);
        ::close(Pipe[1]);
        const auto t0 = Clock::now();
        char c;
        while (ElapsedUs(t0) < 5e6) {
            pollfd p{Pipe[0], POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                if (::read(Pipe[0], &c, 1) != 1)
                    break;
                if (c == '\n')
                    return;
                Path += c;
            }
        }
        Path.clear();
    }
    // The pipe stays open while the simulator runs: it may still write.
    ~TSim() {
        Process.reset();
        ::close(Pipe[0]);
    }
};

// A connection to 127.0.0.1:port, tried every 0.2 ms (the start-up figure
// depends on it) for up to 5 s; -1 if refused throughout.
int Connect(std::uint16_t port) {
    return test::ConnectLoopback(port, std::chrono::microseconds(200));
}

// One command line over the socket; the time to the CR of its answer (a
// link-test answer and the Server's own station lines are skipped), or a negative value
// when none came within 2 s.
double Trip(int s, std::string& pending) {
    const auto t0 = Clock::now();
    if (::send(s, Command.data(), Command.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Command.size()))
        return -1;
    char buf[512];
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0)
            return -1;
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            return -1;
        pending.append(buf, static_cast<std::size_t>(n));
        bool done = false;
        for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
            std::string line = pending.substr(0, cr);
            pending.erase(0, cr + 1);
            // A telnet peer hears CR NUL; a line of the relay's own is no answer.
            line.erase(0, line.find_first_not_of(std::string("\0\n", 2)));
            done = done || (!line.empty() && line != "[LINKOK]" && line.rfind("[SERVER ", 0) != 0);
        }
        if (done)
            return ElapsedUs(t0);
    }
}

// A relay under test: how to start it on a pty and a port.
struct TRelay {
    std::string Name;
    std::vector<std::string> (*Argv)(const std::string& dir, const std::string& exe, const std::string& pty,
                                     std::uint16_t port);
    std::string Exe;
    bool Present;
};

std::vector<std::string> ServerArgv(const std::string& dir, const std::string& exe, const std::string& pty,
                                    std::uint16_t port) {
    const std::string ini = dir + "/server-" + std::to_string(port) + ".ini";
    WriteFile(ini,
              "[Comm]\nMode=2\nPort=7\nipPort=" + std::to_string(port) + "\n\n[Ports]\nCOM7=" + pty + "\n");
    return {exe, "--config", ini};
}

std::vector<std::string> Ser2netArgv(const std::string& dir, const std::string&, const std::string& pty,
                                     std::uint16_t port) {
    const std::string yaml = dir + "/ser2net-" + std::to_string(port) + ".yaml";
    WriteFile(yaml, "connection: &relay\n  accepter: tcp,127.0.0.1," + std::to_string(port) +
                        "\n  connector: serialdev," + pty +
                        ",57600n81,local\n  options:\n    chardelay: false\n");
    return {"ser2net", "-n", "-u", "-c", yaml, "-P", dir + "/ser2net-" + std::to_string(port) + ".pid"};
}

std::vector<std::string> SocatArgv(const std::string&, const std::string&, const std::string& pty,
                                   std::uint16_t port) {
    return {"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,nodelay",
            "OPEN:" + pty + ",rawer,b57600"};
}

// Start to listening, the relays taking turns; the median in ms of each.
std::vector<double> StartTimes(const std::vector<TRelay>& relays, const std::string& dir,
                               const std::string& sim, int starts) {
    std::vector<std::vector<double>> ms(relays.size());
    TSim pty(sim);
    for (int k = 0; k < starts && !pty.Path.empty(); ++k)
        for (std::size_t r = 0; r < relays.size(); ++r) {
            if (!relays[r].Present)
                continue;
            const std::uint16_t port = FreePort();
            const std::vector<std::string> argv = relays[r].Argv(dir, relays[r].Exe, pty.Path, port);
            const auto t0 = Clock::now();
            TChild relay(argv);
            const int s = Connect(port);
            if (s >= 0) {
                ms[r].push_back(ElapsedUs(t0) / 1000);
                ::close(s);
            }
        }
    std::vector<double> medians;
    for (auto& m : ms)
        medians.push_back(m.empty() ? -1 : bench::Summarise(m).MedianUs);
    return medians;
}

long StatusKb(pid_t pid, const char* file, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

// Time a process's threads have run, in ns, from the scheduler's own
// account: the clock-tick figures of /proc/PID/stat sample too coarsely for
// a process that runs for microseconds at a time (a 10 s window is 0.1 % a tick).
long long CpuNs(pid_t pid) {
    long long ns = 0;
    std::error_code ignored;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream in(task.path() / "schedstat");
        long long run = 0;
        if (in >> run)
            ns += run;
    }
    return ns;
}

struct TRunning {
    std::unique_ptr<TSim> Sim;
    std::unique_ptr<TChild> Process;
    int Socket = -1;
    std::string Pending;
    std::vector<double> Us;
    bool Failed = false;
    int FailedTrip = -1; // the trip that got no answer, if one did
};

std::string Mb(long kb) {
    return bench::Format("%.1f MB", kb / 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const int starts = argc > 3 ? std::atoi(argv[3]) : 10;
    char dirTemplate[] = "/tmp/server-bench.XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::vector<TRelay> relays = {{"dravane-server", ServerArgv, DRAVANE_SERVER_PATH, true},
                                        {"ser2net", Ser2netArgv, "ser2net", Installed("ser2net")},
                                        {"socat", SocatArgv, "socat", Installed("socat")}};

    const std::vector<double> startMs = StartTimes(relays, dir, DRAVANE_SIM_PATH, starts);

    std::vector<TRunning> running(relays.size());
    for (std::size_t r = 0; r < relays.size(); ++r) {
        if (!relays[r].Present)
            continue;
        TRunning& run = running[r];
        run.Sim = std::make_unique<TSim>(DRAVANE_SIM_PATH);
        const std::uint16_t port = FreePort();
        run.Process = std::make_unique<TChild>(relays[r].Argv(dir, relays[r].Exe, run.Sim->Path, port));
        run.Socket = Connect(port);
        run.Failed = run.Sim->Path.empty() || run.Socket < 0;
    }
    // Trips taking turns, so that a change in the machine's load falls on all alike.
    for (int t = 0; t < WarmUp + trips; ++t)
        for (TRunning& run : running) {
            if (!run.Process || run.Failed)
                continue;
            const double us = Trip(run.Socket, run.Pending);
            run.Failed = us < 0;
            if (run.Failed)
                run.FailedTrip = t;
            if (t >= WarmUp && !run.Failed)
                run.Us.push_back(us);
        }
    std::vector<long> rss(relays.size(), -1), pss(relays.size(), -1);
    std::vector<long long> ranNs(relays.size(), 0);
    for (std::size_t r = 0; r < relays.size(); ++r)
        if (running[r].Process && !running[r].Failed) {
            rss[r] = StatusKb(running[r].Process->Pid(), "status", "VmRSS:");
            pss[r] = StatusKb(running[r].Process->Pid(), "smaps_rollup", "Pss:");
            ranNs[r] = CpuNs(running[r].Process->Pid());
        }
    // The peer's link test, as a Client sends it every 5 s: the Server keeps
    // a peer that sends none for only 7 s.
    for (int slept = 0; slept < idleSeconds; slept += 5) {
        for (TRunning& run : running)
            if (run.Socket >= 0 && !run.Failed)
                ::send(run.Socket, "[REMOTE]\r", 9, MSG_NOSIGNAL);
        ::sleep(static_cast<unsigned>(std::min(5, idleSeconds - slept)));
    }
    std::vector<double> idlePercent(relays.size(), -1);
    for (std::size_t r = 0; r < relays.size(); ++r)
        if (running[r].Process && !running[r].Failed)
            idlePercent[r] =
                100.0 * static_cast<double>(CpuNs(running[r].Process->Pid()) - ranNs[r]) / 1e9 / idleSeconds;
    std::vector<std::optional<bench::TStats>> stats(relays.size());
    for (std::size_t r = 0; r < relays.size(); ++r)
        if (running[r].Process && !running[r].Failed && !running[r].Us.empty())
            stats[r] = bench::Summarise(running[r].Us);
    std::vector<int> failedTrip(relays.size(), -1);
    for (std::size_t r = 0; r < relays.size(); ++r)
        failedTrip[r] = running[r].FailedTrip;
    for (TRunning& run : running)
        if (run.Socket >= 0)
            ::close(run.Socket);
    running.clear();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);

    std::printf("dravane-server in the Server role beside other relays, each on a simulator of its own;\n"
                "%d trips taking turns, %d starts taking turns, idle over %d s\n",
                trips, starts, idleSeconds);
    std::printf("  %-16s %9s %10s %10s %8s %10s %10s\n", "", "start ms", "VmRSS kB", "Pss kB", "idle %",
                "median us", "p99 us");
    for (std::size_t r = 0; r < relays.size(); ++r) {
        if (!relays[r].Present)
            std::printf("  %-16s not installed (scripts/install-deps.sh %s)\n", relays[r].Name.c_str(),
                        relays[r].Name.c_str());
        else if (!stats[r])
            std::printf("  %-16s did not relay (no answer to trip %d within 2 s)\n", relays[r].Name.c_str(),
                        failedTrip[r]);
        else
            std::printf("  %-16s %9.1f %10ld %10ld %8.3f %10.1f %10.1f\n", relays[r].Name.c_str(), startMs[r],
                        rss[r], pss[r], idlePercent[r], stats[r]->MedianUs, stats[r]->P99Us);
    }
    if (!stats[0]) {
        std::fprintf(stderr, "dravane-server did not relay\n");
        return 1;
    }
    using bench::Format;
    using bench::Row;
    const bool ser2net = stats[1].has_value();
    if (ser2net) {
        Row("server VmRSS, peer connected", Mb(rss[0]), "ser2net " + Mb(rss[1]),
            static_cast<double>(rss[0]) / rss[1], "<= 2.5", rss[0] <= 2.5 * rss[1]);
        Row("server Pss, peer connected", Mb(pss[0]), "ser2net " + Mb(pss[1]),
            static_cast<double>(pss[0]) / pss[1], "-", false);
        if (startMs[0] > 0 && startMs[1] > 0)
            Row("server start to listening", Format("%.1f ms", startMs[0]),
                Format("ser2net %.1f ms", startMs[1]), startMs[0] / startMs[1], "<= 1.5",
                startMs[0] <= 1.5 * startMs[1]);
    }
    Row("server idle CPU, link up", Format("%.3f %%", idlePercent[0]),
        ser2net ? Format("ser2net %.3f %%", idlePercent[1]) : "-", 0, "<= 0.15 %", idlePercent[0] <= 0.15);
    // The better of the two anchors present.
    std::size_t best = 0;
    for (std::size_t r = 1; r < relays.size(); ++r)
        if (stats[r] && (best == 0 || stats[r]->MedianUs < stats[best]->MedianUs))
            best = r;
    if (best != 0)
        Row("server relay round trip", Format("median %.0f us", stats[0]->MedianUs),
            relays[best].Name + Format(" %.0f us", stats[best]->MedianUs),
            stats[0]->MedianUs / stats[best]->MedianUs, "<= 1.2",
            stats[0]->MedianUs <= 1.2 * stats[best]->MedianUs);
    return 0;
}
