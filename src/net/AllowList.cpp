#include "net/AllowList.h"

#include <algorithm>

namespace dravane::net {
namespace {

// Entries are quoted in error texts; a hostile or broken file cannot make
// them long.
constexpr std::size_t MaxQuoted = 64;

std::string_view trimmed(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string quoted(std::string_view entry) {
    std::string q(entry.substr(0, MaxQuoted));
    for (char& c : q)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return "\"" + q + (entry.size() > MaxQuoted ? "...\"" : "\"");
}

// Decimal 0..Max, digits only; -1 when it is not.
int prefixLength(std::string_view s, int Max) {
    if (s.empty() || s.size() > 3)
        return -1;
    int v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v <= Max ? v : -1;
}

bool hostBitsClear(const TPeerAddress::TBytes& b, int prefix) {
    for (int bit = prefix; bit < 128; ++bit)
        if (b[static_cast<std::size_t>(bit / 8)] & (0x80 >> (bit % 8)))
            return false;
    return true;
}

bool matches(const TPeerAddress::TBytes& a, const TPeerAddress::TBytes& net, int prefix) {
    const int whole = prefix / 8;
    if (!std::equal(a.begin(), a.begin() + whole, net.begin()))
        return false;
    if (prefix % 8 == 0)
        return true;
    const std::uint8_t mask = static_cast<std::uint8_t>(0xFF00 >> (prefix % 8));
    return (a[static_cast<std::size_t>(whole)] & mask) == (net[static_cast<std::size_t>(whole)] & mask);
}

} // namespace

TAllowList::TAllowList(std::string_view Text) {
    FEveryone = trimmed(Text).empty();
    while (!FEveryone) {
        const std::size_t comma = Text.find(',');
        const std::string_view entry = trimmed(Text.substr(0, comma));
        if (!entry.empty()) {
            const std::size_t slash = entry.find('/');
            const std::optional<TPeerAddress> address = TPeerAddress::Parse(entry.substr(0, slash));
            if (!address) {
                FErrors.push_back("AllowFrom entry " + quoted(entry) + " is not an address or network");
            } else {
                // The notation, not the address, says how to read the prefix:
                // "::ffff:10.0.0.0/104" is the IPv6 way to write 10.0.0.0/8.
                const bool v4 = entry.substr(0, slash).find(':') == std::string_view::npos;
                int prefix = 128;
                if (slash != std::string_view::npos) {
                    const int bits = prefixLength(entry.substr(slash + 1), v4 ? 32 : 128);
                    prefix = bits < 0 ? -1 : (v4 ? 96 + bits : bits);
                }
                if (prefix < 0)
                    FErrors.push_back("AllowFrom entry " + quoted(entry) + " has a bad prefix length (" +
                                      (v4 ? "0 to 32" : "0 to 128") + ")");
                else if (!hostBitsClear(address->Bytes(), prefix))
                    // Read as meant for one host, it would let in a whole network.
                    FErrors.push_back("AllowFrom entry " + quoted(entry) +
                                      " has bits set beyond its prefix length");
                else
                    FNetworks.push_back({address->Bytes(), prefix});
            }
        }
        if (comma == std::string_view::npos)
            break;
        Text.remove_prefix(comma + 1);
    }
}

bool TAllowList::Allows(const TPeerAddress& Peer) const {
    if (FEveryone)
        return true;
    if (!Peer.Valid())
        return false;
    return std::any_of(FNetworks.begin(), FNetworks.end(),
                       [&](const TNetwork& n) { return matches(Peer.Bytes(), n.Bytes, n.Prefix); });
}

std::vector<std::string> TAllowList::Entries() const {
    std::vector<std::string> out;
    for (const TNetwork& n : FNetworks) {
        const TPeerAddress a = TPeerAddress::FromBytes(n.Bytes);
        out.push_back(a.Text() + "/" +
                      std::to_string(a.IsIPv4() && n.Prefix >= 96 ? n.Prefix - 96 : n.Prefix));
    }
    return out;
}

} // namespace dravane::net
