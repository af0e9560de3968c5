#pragma once
// Loopback addresses and free ports for programs that talk to themselves
// over TCP: tests, the soak and the benchmarks.

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
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

// A TCP port nothing listens on now.
inline std::uint16_t FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(0);
    ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    const std::uint16_t p = PortOf(s);
    ::close(s);
    return p;
}

} // namespace dravane::test
