#pragma once
// The controller simulator as a child process, for tests that need the
// controller at the far end of a pseudo-terminal. The test target passes SIM
// to dravane_test, which defines DRAVANE_SIM_PATH. Every wait is bounded.
// Standard output is a pipe read only by ReadLine and after the exit, so a
// test using --log should read it or keep it short (the pipe holds 64 KiB).

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace dravane::test {

using namespace std::chrono_literals;

// Waits for `events` on fd until `deadline`; false when it passes first.
inline bool PollUntil(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) < 0 || ::pipe2(err, O_CLOEXEC) < 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        // The test runner may ignore or block the signals that stop the simulator.
        posix_spawnattr_t attr;
        ::posix_spawnattr_init(&attr);
        sigset_t none, stops;
        ::sigemptyset(&none);
        ::sigemptyset(&stops);
        for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
            ::sigaddset(&stops, s);
        ::posix_spawnattr_setsigmask(&attr, &none);
        ::posix_spawnattr_setsigdefault(&attr, &stops);
        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> all{DRAVANE_SIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&FPid, DRAVANE_SIM_PATH, &actions, &attr, argv.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
        ::close(out[1]);
        ::close(err[1]);
        FOutFd = out[0];
        FErrFd = err[0];
        if (rc != 0)
            throw std::runtime_error("cannot start " DRAVANE_SIM_PATH);
        // Through syscall: this glibc's <sys/pidfd.h> lacks C linkage for C++.
        FPidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));
        if (FPidFd < 0)
            throw std::runtime_error("pidfd_open failed");
    }
    ~SimProcess() {
        if (FStatus == notCollected) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        for (const int fd : {FOutFd, FErrFd, FPidFd})
            ::close(fd);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The next line printed, without its line end (the first is the
    // terminal's path); empty if none comes within `limit`.
    std::string ReadLine(std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t end;
        while ((end = FOut.find('\n')) == std::string::npos)
            if (!PollUntil(FOutFd, POLLIN, deadline) || !readSome(FOutFd, FOut))
                return {};
        std::string line = FOut.substr(0, end);
        FOut.erase(0, end + 1);
        return line;
    }

    pid_t Pid() const { return FPid; }

    bool Running() const {
        pollfd p{FPidFd, POLLIN, 0};
        return FStatus == notCollected && ::poll(&p, 1, 0) == 0;
    }

    // Waits for the exit: its exit status, 128 + the signal that ended it,
    // or -1 if it did not end within `limit`. Then Out() and Err() are whole.
    int Wait(std::chrono::milliseconds limit = 10s) {
        if (FStatus != notCollected)
            return FStatus;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        if (!PollUntil(FPidFd, POLLIN, deadline))
            return -1;
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        for (const auto& [fd, text] : {std::pair{FOutFd, &FOut}, std::pair{FErrFd, &FErr}})
            while (PollUntil(fd, POLLIN, deadline) && readSome(fd, *text)) {
            }
        return FStatus;
    }

    int Stop(int signal = SIGTERM, std::chrono::milliseconds limit = 10s) {
        if (FStatus == notCollected)
            ::kill(FPid, signal);
        return Wait(limit);
    }

    // Standard output not taken by ReadLine, and standard error.
    const std::string& Out() const { return FOut; }
    const std::string& Err() const { return FErr; }

private:
    static constexpr int notCollected = -2;

    static bool readSome(int fd, std::string& to) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            to.append(buf, static_cast<std::size_t>(n));
        return n > 0;
    }

    pid_t FPid = -1;
    int FPidFd = -1;
    int FOutFd = -1;
    int FErrFd = -1;
    int FStatus = notCollected;
    std::string FOut;
    std::string FErr;
};

// The program's end of the simulator's terminal.
class SimPeer {
public:
    explicit SimPeer(const std::string& path) { Open(path); }
    ~SimPeer() { Close(); }
    SimPeer(const SimPeer&) = delete;
    SimPeer& operator=(const SimPeer&) = delete;

    void Open(const std::string& path) {
        Close();
        FFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (FFd < 0)
            throw std::runtime_error("cannot open " + path);
    }
    void Close() {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

    void Write(std::string_view bytes) const {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!bytes.empty()) {
            const ssize_t n = ::write(FFd, bytes.data(), bytes.size());
            if (n > 0)
                bytes.remove_prefix(static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("write to the simulator failed");
            else if (!PollUntil(FFd, POLLOUT, deadline))
                throw std::runtime_error("the simulator does not read");
        }
    }

    // What arrives until `lines` CRs have come or `limit` passes.
    std::string ReadLines(int lines, std::chrono::milliseconds limit = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string got;
        while (std::count(got.begin(), got.end(), '\r') < lines) {
            char buf[256];
            const ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
            else if ((n < 0 && errno != EAGAIN && errno != EINTR) || !PollUntil(FFd, POLLIN, deadline))
                break;
        }
        return got;
    }

private:
    int FFd = -1;
};

} // namespace dravane::test
