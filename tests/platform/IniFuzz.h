#pragma once
// The fuzz target of the settings file: arbitrary file content, one key
// written, the file read again.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravane::test {

// Returns an empty text, or what broke.
std::string IniFuzzOne(const std::uint8_t* data, std::size_t size);

} // namespace dravane::test
