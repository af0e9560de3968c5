#pragma once
// Addresses of either family as values: TPeerAddress is a host address (what
// the accept event reports, what an allow-list matches), TSockAddr an address
// with its port as bind, connect and accept take it.
//
// An address is held in the 16-byte IPv6 form, an IPv4 address as its
// IPv4-mapped form (::ffff:a.b.c.d). So a peer that reached a dual-stack
// socket over IPv4 is the same value as the IPv4 address, is shown as it,
// and matches IPv4 networks.
//
// Pure: text conversion only, no look-ups. Any thread.

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravane::net {

class TPeerAddress {
public:
    using TBytes = std::array<std::uint8_t, 16>;

    // No address: shown as empty text, IPv4 form 0.
    TPeerAddress() = default;
    // Network order.
    static TPeerAddress FromIPv4(in_addr_t Address);
    static TPeerAddress FromIPv6(const in6_addr& Address, std::uint32_t ScopeId = 0);
    static TPeerAddress FromBytes(const TBytes& Bytes);
    // A literal: dotted IPv4 (four decimal parts) or IPv6, the latter also in
    // brackets; nothing else (no names, no zone suffix).
    static std::optional<TPeerAddress> Parse(std::string_view Text);

    bool Valid() const { return FValid; }
    bool IsIPv4() const;
    // The IPv4 address in network order; 0 for an IPv6 peer or none.
    in_addr_t IPv4() const;
    in6_addr IPv6() const;
    const TBytes& Bytes() const { return FBytes; }
    std::uint32_t ScopeId() const { return FScopeId; }
    // "192.0.2.7", "2001:db8::1"; empty for none.
    std::string Text() const;

    // The IPv4 form the accept event always carried (zero for IPv6), so a
    // handler that takes only that keeps working.
    operator in_addr() const {
        in_addr a{};
        a.s_addr = IPv4();
        return a;
    }

    bool operator==(const TPeerAddress& Other) const = default;

private:
    TBytes FBytes{};
    std::uint32_t FScopeId = 0;
    bool FValid = false;
};

class TSockAddr {
public:
    TSockAddr() = default;
    // Address and port (network order) for a socket of Family: an IPv4
    // address on an AF_INET6 socket becomes its mapped form. Invalid when
    // Family cannot hold the address (IPv6 on AF_INET).
    static TSockAddr Make(const TPeerAddress& Address, std::uint16_t PortNet, int Family);
    // Every local address of Family, for listening.
    static TSockAddr Any(int Family, std::uint16_t PortNet);
    // What accept or getaddrinfo gave; invalid for any other family.
    static TSockAddr From(const sockaddr* Address, socklen_t Length);

    bool Valid() const { return FLength != 0; }
    int Family() const { return FStorage.ss_family; }
    TPeerAddress Address() const;
    std::uint16_t PortNet() const;
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&FStorage); }
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&FStorage); }
    socklen_t Length() const { return FLength; }
    // Room for any address, for accept to fill; then Fix() with its length.
    socklen_t Capacity() const { return sizeof FStorage; }
    void Fix(socklen_t Length);
    // "127.0.0.1 port 54902", "::1 port 54902".
    std::string Text() const;

private:
    sockaddr_storage FStorage{};
    socklen_t FLength = 0;
};

} // namespace dravane::net
