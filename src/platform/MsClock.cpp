#include "platform/MsClock.h"

#include <chrono>
#include <thread>

namespace dravane::platform {

std::uint32_t TMsClock::NowMs() const {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void TMsClock::SleepMs(std::uint32_t ms) const {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

const TMsClock& TMsClock::System() {
    static const TMsClock clock;
    return clock;
}

} // namespace dravane::platform
