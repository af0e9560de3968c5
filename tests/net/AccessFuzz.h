#pragma once
// The fuzz entry over who a Server lets in: the challenge and answer lines,
// the allow-list text, and a scripted run of the challenge gate.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravane::test {

// Returns an empty text, or what broke.
std::string AccessFuzzOne(const std::uint8_t* data, std::size_t size);

} // namespace dravane::test
