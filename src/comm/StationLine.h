#pragma once
// The lines by which a Server and its Clients share a station: who holds
// control, a refused command, a Client's name and its requests. Each is
// bracketed, ends in CR on the wire and never starts with "[T", so a peer
// that does not know them ignores them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravane::comm {

enum TStationLineKind : std::uint8_t {
    slControlFree,  // "[SERVER CONTROL FREE]"
    slControlYours, // "[SERVER CONTROL YOURS]"
    slControlHeld,  // "[SERVER CONTROL HELD <name>]"
    slRefused,      // "[SERVER REFUSED <name>]": a command refused, <name> holds control
    slClientName,   // "[CLIENT NAME <name>]"
    slClientTake,   // "[CLIENT TAKE]"
    slClientRelease // "[CLIENT RELEASE]"
};

struct TStationLine {
    TStationLineKind Kind = slControlFree;
    std::string Name; // slControlHeld, slRefused, slClientName
    bool operator==(const TStationLine&) const = default;
};

// Longest name a desk is known by; the rest is cut.
inline constexpr std::size_t MaxStationName = 64;

// A name as it may stand in a line: printable, no brackets, trimmed, at most
// MaxStationName characters. Empty when nothing of it is left.
std::string CleanStationName(std::string_view Name);

// One line without its CR; nothing for anything else, or for a named line
// whose name cleans to nothing. Looks at no more than a bounded prefix.
std::optional<TStationLine> ParseStationLine(std::string_view Line);
// The line without its CR; the name is cleaned.
std::string FormatStationLine(const TStationLine& Line);

} // namespace dravane::comm
