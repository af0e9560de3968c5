#pragma once
// The fuzz target of the controller simulator's line handling: arbitrary
// bytes in arbitrary pieces at arbitrary moments, under arbitrary options.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravane::test {

// Returns an empty text, or what broke.
std::string SimFuzzOne(const std::uint8_t* data, std::size_t size);

} // namespace dravane::test
