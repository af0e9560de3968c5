#pragma once

#include "support/Loopback.h"

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace dravane::test {

// A loopback TCP relay between a Client and its Server. Reset() drops the
// connection with a reset to both sides, as a broken router would; Hold()
// keeps what either side sends (as a stalled path or a stopped peer would)
// until Release() passes it on at once.
class TLoopbackProxy {
public:
    TLoopbackProxy(std::uint16_t listenPort, std::uint16_t serverPort) : FServerPort(serverPort) {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int one = 1;
        ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in a = Loopback(listenPort);
        if (::bind(FListen, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(FListen, 4) != 0)
            throw std::runtime_error("proxy: cannot listen");
        FAccept = std::make_unique<QSocketNotifier>(FListen, QSocketNotifier::Read);
        QObject::connect(FAccept.get(), &QSocketNotifier::activated, [this] { Accept(); });
    }
    ~TLoopbackProxy() {
        Reset();
        ::close(FListen);
    }
    bool Connected() const { return FEnds[0] >= 0; }
    void Hold() { FHolding = true; }
    void Release() {
        FHolding = false;
        for (int side = 0; side < 2; ++side) {
            std::string& held = FHeld[static_cast<std::size_t>(side)];
            if (!held.empty() && Connected() &&
                ::send(FEnds[1 - side], held.data(), held.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(held.size()))
                Reset();
            held.clear();
        }
    }

    void Reset() {
        FHeld = {};
        for (auto& n : FNotifiers)
            n.reset();
        for (int& fd : FEnds) {
            if (fd < 0)
                continue;
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            ::close(fd);
            fd = -1;
        }
    }

private:
    void Accept() {
        const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            return;
        if (Connected()) { // one session at a time
            ::close(client);
            return;
        }
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Loopback(FServerPort);
        if (::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            ::close(server);
            ::close(client);
            return;
        }
        FEnds = {client, server};
        for (int side = 0; side < 2; ++side) {
            FNotifiers[side] = std::make_unique<QSocketNotifier>(FEnds[side], QSocketNotifier::Read);
            QObject::connect(FNotifiers[side].get(), &QSocketNotifier::activated,
                             [this, side] { Relay(side); });
        }
    }
    void Relay(int from) {
        char buf[4096];
        const ssize_t n = ::recv(FEnds[from], buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            Reset();
            return;
        }
        if (n > 0 && FHolding) {
            FHeld[static_cast<std::size_t>(from)].append(buf, static_cast<std::size_t>(n));
            return;
        }
        // Lines are short and loopback buffers large: a send that does not
        // take everything at once is a broken path.
        if (n > 0 &&
            ::send(FEnds[1 - from], buf, static_cast<std::size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL) != n)
            Reset();
    }

    std::uint16_t FServerPort;
    int FListen = -1;
    std::array<int, 2> FEnds{-1, -1};
    std::unique_ptr<QSocketNotifier> FAccept;
    std::array<std::unique_ptr<QSocketNotifier>, 2> FNotifiers;
    bool FHolding = false;
    std::array<std::string, 2> FHeld;
};

} // namespace dravane::test
