#pragma once
// Trigger records: the conditions under which a dispatcher notifies its
// handlers. Plain values, copied freely (saving and restoring triggers keeps
// handles and states). Matching and timing are pure so they can be tested
// and fuzzed on their own.

#include "serial/DispatchDefs.h"

#include <array>
#include <cstdint>
#include <vector>

namespace dravane::serial {

// Event timers count 55 ms ticks of a 32-bit millisecond clock.
constexpr std::uint32_t TickMs = 55;
// Tick values one 2^32 ms clock cycle holds (0 .. 78090314).
constexpr std::uint32_t TicksPerWrap = 78090315;
// Half a cycle, so that an expiry is never mistaken for one a whole wrap later.
constexpr std::uint32_t MaxTimerTicks = 39045157;

// Upper case for the 8-bit character set the ports carry (ASCII and Latin-1).
inline std::uint8_t UpCase8(std::uint8_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<std::uint8_t>(c - 0x20);
    return c;
}

inline std::uint32_t MsToTicks(std::uint32_t ms) {
    return ms / TickMs;
}

struct TEventTimer {
    std::uint32_t StartTicks = 0;
    std::uint32_t ExpireTicks = 0;

    void Start(std::uint32_t nowTicks, std::uint32_t ticks);
    void Extend(std::uint32_t ticks);
    bool Expired(std::uint32_t nowTicks) const;
    std::uint32_t Remaining(std::uint32_t nowTicks) const;

private:
    std::uint32_t Span() const;
};

struct TTimerTrigger {
    std::uint16_t Handle = 0;
    TEventTimer Timer;
    std::uint32_t Ticks = 0; // the tick count last set, reused when armed with 0
    bool Active = false;
};

struct TDataTrigger {
    std::uint16_t Handle = 0;
    std::uint8_t Len = 0;
    // One partial match per pattern position: Progress[k] = bytes matched so far, 0 = idle.
    std::array<std::uint8_t, MaxDataTriggerLen> Progress{};
    std::uint8_t Open = 0; // partial matches in progress (nonzero Progress entries)
    bool Matched = false;
    bool IgnoreCase = false;
    std::array<std::uint8_t, MaxDataTriggerLen> Data{}; // upper-cased when IgnoreCase

    // Sets the pattern (len <= MaxDataTriggerLen, checked by the caller).
    void SetPattern(const std::uint8_t* pattern, int len, bool ignoreCase);
    // Offers the next received byte; true when the pattern completes with it.
    bool Offer(std::uint8_t b) {
        if (Len == 0)
            return false;
        const std::uint8_t c = IgnoreCase ? UpCase8(b) : b;
        if (Open == 0 && Data[0] != c)
            return false; // the common case, kept inline: nothing in progress, nothing starts
        return Advance(c);
    }
    bool Advance(std::uint8_t c);
    void ResetProgress() {
        Progress.fill(0);
        Open = 0;
    }
};

struct TStatusTrigger {
    std::uint16_t Handle = 0;
    std::uint16_t SType = stNotActive;
    // stModem: low byte masked modem state at activation, high byte mask;
    // stLine: device error mask; buffer types: threshold in bytes.
    std::uint16_t Value = 0;
    bool Active = false;
    bool Hit = false;
};

// Triggers saved by a port between a close and the next open.
struct TTriggerSave {
    std::uint16_t tsLenTrigger = 0;
    std::vector<TTimerTrigger> tsTimerTriggers;
    std::vector<TDataTrigger> tsDataTriggers;
    std::vector<TStatusTrigger> tsStatusTriggers;
};

} // namespace dravane::serial
