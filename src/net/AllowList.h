#pragma once
// TAllowList: which peers a Server serves, from "[Comm] AllowFrom": a
// comma-separated list of addresses and networks ("127.0.0.1", "10.0.0.0/8",
// "2001:db8::/32"). A blank text allows everyone; otherwise only what the good
// entries cover. A bad entry is told (one text each) and left out, so a list
// whose every entry is bad allows nobody: a typo never opens the Server.
//
// IPv4 entries match IPv4 peers and IPv4-mapped IPv6 peers alike, since a
// peer address holds both in one form (PeerAddress.h).
//
// Pure; a built list is read-only and may be shared between threads.

#include "net/PeerAddress.h"

#include <string>
#include <string_view>
#include <vector>

namespace dravane::net {

class TAllowList {
public:
    // Allows everyone.
    TAllowList() = default;
    explicit TAllowList(std::string_view Text);

    bool Allows(const TPeerAddress& Peer) const;
    bool AllowsEveryone() const { return FEveryone; }
    // One text per bad entry, naming it and why.
    const std::vector<std::string>& Errors() const { return FErrors; }
    // The entries in force, as "address/prefix".
    std::vector<std::string> Entries() const;

private:
    struct TNetwork {
        TPeerAddress::TBytes Bytes;
        int Prefix; // bits of Bytes that must match, in the 16-byte form
    };

    bool FEveryone = true;
    std::vector<TNetwork> FNetworks;
    std::vector<std::string> FErrors;
};

} // namespace dravane::net
