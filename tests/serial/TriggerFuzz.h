#pragma once
// The fuzz target of data triggers: patterns (some ignoring case) matched in
// a byte stream that arrives in arbitrary pieces.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravane::test {

// Returns an empty text, or what broke.
std::string TriggerFuzzOne(const std::uint8_t* data, std::size_t size);

} // namespace dravane::test
