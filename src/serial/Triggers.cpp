#include "serial/Triggers.h"

#include <algorithm>

namespace dravane::serial {

void TEventTimer::Start(std::uint32_t nowTicks, std::uint32_t ticks) {
    StartTicks = nowTicks % TicksPerWrap;
    ExpireTicks = (StartTicks + std::min(ticks, MaxTimerTicks)) % TicksPerWrap;
}

std::uint32_t TEventTimer::Span() const {
    return (ExpireTicks + TicksPerWrap - StartTicks) % TicksPerWrap;
}

void TEventTimer::Extend(std::uint32_t ticks) {
    const std::uint32_t span = std::min<std::uint64_t>(std::uint64_t(Span()) + ticks, MaxTimerTicks);
    ExpireTicks = (StartTicks + span) % TicksPerWrap;
}

bool TEventTimer::Expired(std::uint32_t nowTicks) const {
    const std::uint32_t elapsed = (nowTicks % TicksPerWrap + TicksPerWrap - StartTicks) % TicksPerWrap;
    return elapsed >= Span();
}

std::uint32_t TEventTimer::Remaining(std::uint32_t nowTicks) const {
    const std::uint32_t elapsed = (nowTicks % TicksPerWrap + TicksPerWrap - StartTicks) % TicksPerWrap;
    return elapsed >= Span() ? 0 : Span() - elapsed;
}

void TDataTrigger::SetPattern(const std::uint8_t* pattern, int len, bool ignoreCase) {
    Len = static_cast<std::uint8_t>(std::clamp(len, 0, MaxDataTriggerLen));
    IgnoreCase = ignoreCase;
    Data.fill(0);
    for (int k = 0; k < Len; ++k)
        Data[k] = ignoreCase ? UpCase8(pattern[k]) : pattern[k];
    ResetProgress();
    Matched = false;
}

// The byte is already upper-cased when the trigger ignores case.
bool TDataTrigger::Advance(std::uint8_t b) {
    bool complete = false;
    for (int k = 0; k < Len && Open > 0; ++k) {
        std::uint8_t& p = Progress[k];
        if (p == 0)
            continue;
        if (Data[p] == b) {
            if (++p == Len)
                complete = true;
        } else {
            p = 0;
            --Open;
        }
    }
    if (!complete && Data[0] == b) {
        // At most Len partial matches can be open at once, so a free slot exists.
        for (int k = 0; k < Len; ++k) {
            if (Progress[k] == 0) {
                Progress[k] = 1;
                ++Open;
                complete = Len == 1;
                break;
            }
        }
    }
    if (complete) {
        // An occurrence overlapping the matched one is not reported.
        ResetProgress();
        Matched = true;
    }
    return complete;
}

} // namespace dravane::serial
