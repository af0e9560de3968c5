#pragma once
// The controller's packet lines: outgoing command lines and the parsing of
// incoming report lines. Characters are bytes 0..255, never re-encoded.

#include "comm/Defines.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravane::comm {

inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

// "[R<addr>T<cmd>H<payload hex>]" followed by CR, hex digits in upper case.
std::string FormatPacket(std::uint8_t Addr, std::uint8_t Cmd, std::string_view Data);

// Clears the packet and fills it from a received line (without its CR).
// True when all four field markers matched, so the packet is complete;
// a short or malformed line stops at the first mismatch, never fails.
bool ParsePacketLine(std::string_view line, TNetPacket& packet);

// The controller's side of the line, for whatever plays the controller:
// "[T<cmd>R<dest><source>H<channel>M<payload hex>]" followed by CR.
std::string FormatReportLine(const TNetPacket& packet);

// A command line as FormatPacket writes it (without its CR). Strict: upper-case
// hex, whole payload pairs, "]" last; anything else is not a command.
struct TCommandLine {
    std::uint8_t Addr = 0;
    std::uint8_t Cmd = 0;
    std::string Data;
};
std::optional<TCommandLine> ParseCommandLine(std::string_view line);

} // namespace dravane::comm
