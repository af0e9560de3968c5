#pragma once
// The fuzz target of the controller's line format: line assembly, report and
// command parsing, action codes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravane::test {

// Returns an empty text, or what broke.
std::string PacketFuzzOne(const std::uint8_t* data, std::size_t size);

} // namespace dravane::test
