#include "net/PeerAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace dravane::net {
namespace {

constexpr std::uint8_t MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// inet_pton wants a terminated string; literals are short.
constexpr std::size_t MaxLiteral = INET6_ADDRSTRLEN;

} // namespace

TPeerAddress TPeerAddress::FromIPv4(in_addr_t Address) {
    TPeerAddress a;
    std::memcpy(a.FBytes.data(), MappedPrefix, sizeof MappedPrefix);
    std::memcpy(a.FBytes.data() + 12, &Address, 4);
    a.FValid = true;
    return a;
}

TPeerAddress TPeerAddress::FromIPv6(const in6_addr& Address, std::uint32_t ScopeId) {
    TPeerAddress a;
    std::memcpy(a.FBytes.data(), Address.s6_addr, 16);
    a.FValid = true;
    // A mapped address is the IPv4 one: no scope.
    a.FScopeId = a.IsIPv4() ? 0 : ScopeId;
    return a;
}

TPeerAddress TPeerAddress::FromBytes(const TBytes& Bytes) {
    TPeerAddress a;
    a.FBytes = Bytes;
    a.FValid = true;
    return a;
}

std::optional<TPeerAddress> TPeerAddress::Parse(std::string_view Text) {
    if (Text.size() >= 2 && Text.front() == '[' && Text.back() == ']') {
        Text = Text.substr(1, Text.size() - 2);
        if (Text.find(':') == std::string_view::npos)
            return std::nullopt; // brackets belong to IPv6 only
    }
    if (Text.empty() || Text.size() >= MaxLiteral)
        return std::nullopt;
    char buf[MaxLiteral];
    std::memcpy(buf, Text.data(), Text.size());
    buf[Text.size()] = '\0';
    in_addr v4{};
    if (::inet_pton(AF_INET, buf, &v4) == 1)
        return FromIPv4(v4.s_addr);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, buf, &v6) == 1)
        return FromIPv6(v6);
    return std::nullopt;
}

bool TPeerAddress::IsIPv4() const {
    return FValid && std::memcmp(FBytes.data(), MappedPrefix, sizeof MappedPrefix) == 0;
}

in_addr_t TPeerAddress::IPv4() const {
    in_addr_t a = 0;
    if (IsIPv4())
        std::memcpy(&a, FBytes.data() + 12, 4);
    return a;
}

in6_addr TPeerAddress::IPv6() const {
    in6_addr a{};
    std::memcpy(a.s6_addr, FBytes.data(), 16);
    return a;
}

std::string TPeerAddress::Text() const {
    if (!FValid)
        return {};
    char buf[INET6_ADDRSTRLEN] = {};
    if (IsIPv4()) {
        in_addr v4{};
        v4.s_addr = IPv4();
        ::inet_ntop(AF_INET, &v4, buf, sizeof buf);
    } else {
        const in6_addr v6 = IPv6();
        ::inet_ntop(AF_INET6, &v6, buf, sizeof buf);
    }
    return buf;
}

TSockAddr TSockAddr::Make(const TPeerAddress& Address, std::uint16_t PortNet, int Family) {
    TSockAddr s;
    if (!Address.Valid())
        return s;
    if (Family == AF_INET) {
        if (!Address.IsIPv4())
            return s;
        auto* a = reinterpret_cast<sockaddr_in*>(&s.FStorage);
        a->sin_family = AF_INET;
        a->sin_port = PortNet;
        a->sin_addr.s_addr = Address.IPv4();
        s.FLength = sizeof(sockaddr_in);
    } else if (Family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&s.FStorage);
        a->sin6_family = AF_INET6;
        a->sin6_port = PortNet;
        a->sin6_addr = Address.IPv6();
        a->sin6_scope_id = Address.ScopeId();
        s.FLength = sizeof(sockaddr_in6);
    }
    return s;
}

TSockAddr TSockAddr::Any(int Family, std::uint16_t PortNet) {
    if (Family == AF_INET6)
        return Make(TPeerAddress::FromIPv6(in6addr_any), PortNet, AF_INET6);
    return Make(TPeerAddress::FromIPv4(INADDR_ANY), PortNet, AF_INET);
}

TSockAddr TSockAddr::From(const sockaddr* Address, socklen_t Length) {
    TSockAddr s;
    if (!Address)
        return s;
    if ((Address->sa_family == AF_INET && Length >= static_cast<socklen_t>(sizeof(sockaddr_in))) ||
        (Address->sa_family == AF_INET6 && Length >= static_cast<socklen_t>(sizeof(sockaddr_in6)))) {
        const socklen_t n = Address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        std::memcpy(&s.FStorage, Address, n);
        s.FLength = n;
    }
    return s;
}

void TSockAddr::Fix(socklen_t Length) {
    *this = From(Get(), Length);
}

TPeerAddress TSockAddr::Address() const {
    if (FLength == 0)
        return {};
    if (Family() == AF_INET)
        return TPeerAddress::FromIPv4(reinterpret_cast<const sockaddr_in*>(&FStorage)->sin_addr.s_addr);
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&FStorage);
    return TPeerAddress::FromIPv6(a->sin6_addr, a->sin6_scope_id);
}

std::uint16_t TSockAddr::PortNet() const {
    if (FLength == 0)
        return 0;
    if (Family() == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(&FStorage)->sin_port;
    return reinterpret_cast<const sockaddr_in6*>(&FStorage)->sin6_port;
}

std::string TSockAddr::Text() const {
    if (FLength == 0)
        return {};
    return Address().Text() + " port " + std::to_string(ntohs(PortNet()));
}

} // namespace dravane::net
