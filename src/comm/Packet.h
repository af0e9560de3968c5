#pragma once
// The controller's packet lines: outgoing command lines and the parsing of
// incoming report lines. Characters are bytes 0..255, never re-encoded.

#include "comm/Defines.h"

#include <cstdint>
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

} // namespace dravane::comm
