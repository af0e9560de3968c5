#pragma once
// Collects received bytes into CR-ended lines, one byte at a time.
//
// Printable characters (code 32 and above) are kept, a CR ends the line, every
// other control character (LF included) is dropped. A line is bounded: once
// it reaches MaxLine characters the rest up to the next CR is dropped and the
// whole line is discarded, so a noisy or hostile peer cannot grow it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dravane::comm {

class TLineAssembler {
public:
    static constexpr std::size_t MaxLine = 1024;

    // Feeds one byte; true when it completed a non-empty line, now in `line`.
    bool Feed(std::uint8_t byte, std::string& line);

    const std::string& Pending() const { return FLine; }
    bool Overflowed() const { return FOverflow; }
    void Clear();

private:
    std::string FLine;
    bool FOverflow = false;
};

} // namespace dravane::comm
