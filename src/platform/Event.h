#pragma once
// Automatic- and manual-reset events over a mutex and a condition variable.
//
// Threading contract: every operation may be called from any thread at the
// same time as any other, except that an event must outlive every call on it
// (destroying an event while a thread waits on it is a caller error). Waits
// are always bounded by a time-out; nothing spins.
//
// An automatic-reset event lets exactly one waiter through per Set and is
// cleared by the wait that consumes it; a manual-reset event stays set until
// Reset and lets every waiter through.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace dravane::platform {

class TEvent {
public:
    enum TResetMode : bool { rmAutomatic = false, rmManual = true };

    explicit TEvent(TResetMode Mode = rmAutomatic, bool InitiallySet = false);
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

    // True when the event was (or became) set within Timeout; an automatic
    // event is cleared by the successful wait.
    bool Wait(std::chrono::milliseconds Timeout);

    // Waits for whichever of two events is set first: 0 for A, 1 for B, -1
    // on time-out. When both are set, A wins and B is left untouched.
    static int WaitForEither(TEvent& A, TEvent& B, std::chrono::milliseconds Timeout);

private:
    struct TWaiter;

    bool tryConsume(); // FLock held
    void attach(TWaiter* W);
    void detach(TWaiter* W);

    const TResetMode FMode;
    mutable std::mutex FLock;
    std::condition_variable FChanged; // FLock
    bool FSet;                        // FLock
    std::vector<TWaiter*> FWaiters;   // FLock; multi-event waits to wake on Set
};

} // namespace dravane::platform
