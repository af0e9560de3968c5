#pragma once
// The millisecond clock and sleeping, behind one small interface so that
// tick-counted behaviour (trigger timers, drain delays) can be driven by a
// controllable clock in tests instead of by wall time.

#include <cstdint>

namespace dravane::platform {

class TMsClock {
public:
    virtual ~TMsClock() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32 (about 49.7
    // days) so that it fits the 32-bit tick fields; users account for one wrap.
    virtual std::uint32_t NowMs() const;
    virtual void SleepMs(std::uint32_t ms) const;

    // The steady clock shared by everything that is not given another one.
    static const TMsClock& System();
};

} // namespace dravane::platform
