#pragma once
// Who holds control of a shared station. While someone holds it only they
// may command; it is free again when they release it, leave, or give no
// command for the idle time.

#include <algorithm>
#include <cstdint>
#include <string>

namespace dravane::comm {

class TControlLock {
public:
    using TId = std::uint64_t;
    static constexpr TId Nobody = 0;

    // IdleTicks: ticks without a command after which the holder loses
    // control; 0 for never.
    explicit TControlLock(std::int64_t IdleTicks = 0) : FIdleTicks(IdleTicks) {}
    void SetIdleTicks(std::int64_t Ticks) { FIdleTicks = Ticks; }

    TId Holder() const { return FHolder; }
    const std::string& HolderName() const { return FHolderName; }
    bool Held() const { return FHolder != Nobody; }

    // True when Id holds control now (it was free, or Id's already).
    bool Take(TId Id, const std::string& Name) {
        if (FHolder != Nobody && FHolder != Id)
            return false;
        FHolder = Id;
        FHolderName = Name;
        FIdle = 0;
        return true;
    }
    // True when Id held it and it is free now.
    bool Release(TId Id) {
        if (FHolder == Nobody || FHolder != Id)
            return false;
        FHolder = Nobody;
        FHolderName.clear();
        return true;
    }
    // Nobody holds control, or Id does.
    bool MayCommand(TId Id) const { return FHolder == Nobody || FHolder == Id; }
    // A command by the holder starts its idle time again.
    void Commanded(TId Id) {
        if (Id == FHolder)
            FIdle = 0;
    }
    // Ticks that only count before Tick frees control (none held: no limit).
    std::int64_t QuietTicks() const {
        return FHolder == Nobody || FIdleTicks <= 0 ? INT64_MAX
                                                    : std::max<std::int64_t>(FIdleTicks - FIdle - 1, 0);
    }
    // One tick; true when the holder's idle time ran out and control is free.
    bool Tick() {
        if (FHolder == Nobody || FIdleTicks <= 0 || ++FIdle < FIdleTicks)
            return false;
        FHolder = Nobody;
        FHolderName.clear();
        return true;
    }

private:
    TId FHolder = Nobody;
    std::string FHolderName;
    std::int64_t FIdleTicks;
    std::int64_t FIdle = 0;
};

} // namespace dravane::comm
