#pragma once
// A pseudo-terminal pair standing in for a cable: the test holds the master
// end (the controller's side), the code under test opens SlavePath().
// Closing the master is pulling the cable.

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace dravane::test {

class PtyPair {
public:
    PtyPair() {
        int slave = -1;
        char name[256] = {};
        termios raw{};
        ::cfmakeraw(&raw);
        if (::openpty(&FMaster, &slave, name, &raw, nullptr) < 0)
            throw std::runtime_error("openpty failed");
        FSlavePath = name;
        // Keep the slave open until the code under test has it, so the master
        // does not see a hang-up in between; CloseSlaveKeeper releases it.
        FSlaveKeeper = slave;
        ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        CloseMaster();
        CloseSlaveKeeper();
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }
    int Master() const { return FMaster; }

    void CloseMaster() {
        if (FMaster >= 0)
            ::close(FMaster);
        FMaster = -1;
    }
    void CloseSlaveKeeper() {
        if (FSlaveKeeper >= 0)
            ::close(FSlaveKeeper);
        FSlaveKeeper = -1;
    }

    void Write(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("pty write failed");
            else
                WaitFor(POLLOUT, 1000);
        }
    }

    // Reads until `count` bytes have arrived or `timeoutMs` passes without any.
    std::string Read(std::size_t count, int timeoutMs = 10000) const {
        std::string out;
        char buf[4096];
        while (out.size() < count) {
            const ssize_t n = ::read(FMaster, buf, sizeof buf);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (!WaitFor(POLLIN, timeoutMs))
                break;
        }
        return out;
    }

private:
    bool WaitFor(short events, int timeoutMs) const {
        pollfd p{FMaster, events, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }

    int FMaster = -1;
    int FSlaveKeeper = -1;
    std::string FSlavePath;
};

} // namespace dravane::test
