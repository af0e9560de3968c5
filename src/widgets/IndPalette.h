#pragma once
// A colour pair (0x00BBGGRR): Low for an index of 0 or less, High otherwise.

#include "widgets/IndPersistent.h"

#include <cstdint>

namespace dravane::widgets {

class TIndPalette : public TIndPersistent {
public:
    explicit TIndPalette(std::uint32_t low = 0x008000, std::uint32_t high = 0x00FF00)
        : FLow(low), FHigh(high) {}

    std::uint32_t Low() const { return FLow; }
    std::uint32_t High() const { return FHigh; }
    void SetLow(std::uint32_t value);
    void SetHigh(std::uint32_t value);
    // Copies both colours with a single notification.
    void Assign(const TIndPalette& source);
    std::uint32_t GetColors(int index) const { return index <= 0 ? FLow : FHigh; }

private:
    std::uint32_t FLow;
    std::uint32_t FHigh;
};

} // namespace dravane::widgets
