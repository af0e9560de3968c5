#include "platform/Event.h"

#include <algorithm>

namespace dravane::platform {

// One multi-event wait. Set on any of its events raises Woken under the
// waiter's own lock, so a Set between the waiter's checks and its sleep is
// never lost. Lock order: event lock, then waiter lock.
struct TEvent::TWaiter {
    std::mutex Lock;
    std::condition_variable Wake; // Lock
    bool Woken = false;           // Lock
};

TEvent::TEvent(TResetMode Mode, bool InitiallySet) : FMode(Mode), FSet(InitiallySet) {
    FWaiters.reserve(2);
}

void TEvent::Set() {
    std::lock_guard lock(FLock);
    FSet = true;
    if (FMode == rmManual)
        FChanged.notify_all();
    else
        FChanged.notify_one();
    for (TWaiter* w : FWaiters) {
        std::lock_guard wl(w->Lock);
        w->Woken = true;
        w->Wake.notify_one();
    }
}

void TEvent::Reset() {
    std::lock_guard lock(FLock);
    FSet = false;
}

bool TEvent::IsSet() const {
    std::lock_guard lock(FLock);
    return FSet;
}

bool TEvent::tryConsume() {
    if (!FSet)
        return false;
    if (FMode == rmAutomatic)
        FSet = false;
    return true;
}

bool TEvent::Wait(std::chrono::milliseconds Timeout) {
    std::unique_lock lock(FLock);
    if (!FChanged.wait_for(lock, Timeout, [this] { return FSet; }))
        return false;
    return tryConsume();
}

void TEvent::attach(TWaiter* W) {
    std::lock_guard lock(FLock);
    FWaiters.push_back(W);
}

void TEvent::detach(TWaiter* W) {
    std::lock_guard lock(FLock);
    FWaiters.erase(std::find(FWaiters.begin(), FWaiters.end(), W));
}

int TEvent::WaitForEither(TEvent& A, TEvent& B, std::chrono::milliseconds Timeout) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    TWaiter waiter;
    A.attach(&waiter);
    B.attach(&waiter);
    int fired = -1;
    for (;;) {
        {
            std::lock_guard wl(waiter.Lock);
            waiter.Woken = false;
        }
        {
            std::lock_guard lock(A.FLock);
            if (A.tryConsume()) {
                fired = 0;
                break;
            }
        }
        {
            std::lock_guard lock(B.FLock);
            if (B.tryConsume()) {
                fired = 1;
                break;
            }
        }
        std::unique_lock wl(waiter.Lock);
        if (!waiter.Wake.wait_until(wl, deadline, [&] { return waiter.Woken; }))
            break;
    }
    A.detach(&waiter);
    B.detach(&waiter);
    return fired;
}

} // namespace dravane::platform
