#pragma once
// Reading a fuzz input as a small script: the fuzz entry functions take their
// choices (lengths, flags, split points) from the front of the bytes and use
// the rest as data, so one corpus file drives both.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dravane::test {

class TFuzzInput {
public:
    TFuzzInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

    bool Empty() const { return FAt >= FSize; }
    std::size_t Left() const { return FSize - FAt; }

    // The next byte; 0 once the input is used up.
    std::uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }
    // A value in [0, bound); 0 for a bound of 0.
    std::size_t Below(std::size_t bound) { return bound == 0 ? 0 : Byte() % bound; }
    bool Flag() { return (Byte() & 1) != 0; }
    // Up to n bytes.
    std::string Take(std::size_t n) {
        n = std::min(n, Left());
        std::string s(reinterpret_cast<const char*>(FData + FAt), n);
        FAt += n;
        return s;
    }
    // A piece of length given by the next byte (at most maxLen).
    std::string Piece(std::size_t maxLen) { return Take(Below(maxLen + 1)); }
    std::string Rest() { return Take(Left()); }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
    std::size_t FAt = 0;
};

} // namespace dravane::test
