#pragma once
// Loopback addresses and free ports for programs that talk to themselves
// over TCP: tests, the soak and the benchmarks.

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace dravane::test {

inline std::uint16_t PortOf(int s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline sockaddr_in6 Loopback6(std::uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    return a;
}

// False where the system has no IPv6 loopback to test on.
inline bool HaveIPv6Loopback() {
    const int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in6 a = Loopback6(0);
    const bool ok = s >= 0 && ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    if (s >= 0)
        ::close(s);
    return ok;
}

// A TCP port nothing listens on now.
inline std::uint16_t FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(0);
    ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const std::uint16_t p = PortOf(s);
    ::close(s);
    return p;
}

// A connected TCP socket to 127.0.0.1:port with Nagle off, or -1. What
// listens there may still be starting: a refused connection is tried again
// every Retry, for five seconds at most.
inline int ConnectLoopback(std::uint16_t port,
                           std::chrono::microseconds Retry = std::chrono::milliseconds(10)) {
    const sockaddr_in a = Loopback(port);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            const int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return s;
        }
        ::close(s);
        std::this_thread::sleep_for(Retry);
    } while (std::chrono::steady_clock::now() < until);
    return -1;
}

} // namespace dravane::test
