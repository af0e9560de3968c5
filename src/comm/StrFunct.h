#pragma once
// Small text routines of the controller protocol.

#include <cstdint>
#include <string_view>

namespace dravane::comm {

// 0..15 for "0"-"9" and upper-case "A"-"F"; every other character is 0.
std::uint8_t GetValue(char c);

// The first two characters as a hex number; a missing character counts as 0.
std::uint8_t HexToByte(std::string_view s);

// Decimal digits only, converting to a signed 64-bit integer without overflow.
bool ValidInteger(std::string_view s);

} // namespace dravane::comm
