#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace dravane::platform;
using namespace std::chrono_literals;

// Bound for waits that are expected to succeed; a failure shows as a timeout.
constexpr auto kLong = 5000ms;

TEST(Event, AutomaticResetLetsOneWaitThroughPerSet) {
    TEvent e(TEvent::rmAutomatic);
    EXPECT_FALSE(e.Wait(0ms));
    e.Set();
    e.Set();
    EXPECT_TRUE(e.IsSet());
    EXPECT_TRUE(e.Wait(0ms));
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(e.Wait(0ms));

    TEvent initially(TEvent::rmAutomatic, true);
    EXPECT_TRUE(initially.Wait(0ms));
    EXPECT_FALSE(initially.Wait(0ms));
}

TEST(Event, ManualResetStaysSetUntilReset) {
    TEvent e(TEvent::rmManual);
    e.Set();
    EXPECT_TRUE(e.Wait(0ms));
    EXPECT_TRUE(e.Wait(0ms));
    e.Reset();
    EXPECT_FALSE(e.Wait(0ms));
}

TEST(Event, SetFromAnotherThreadWakesEveryManualWaiterAndOneAutomaticWaiter) {
    TEvent manual(TEvent::rmManual);
    std::atomic<int> passed{0};
    std::thread a([&] { passed += manual.Wait(kLong); });
    std::thread b([&] { passed += manual.Wait(kLong); });
    manual.Set();
    a.join();
    b.join();
    EXPECT_EQ(passed.load(), 2);

    TEvent automatic;
    TEvent started(TEvent::rmManual);
    bool got = false;
    std::thread c([&] {
        started.Set();
        got = automatic.Wait(kLong);
    });
    ASSERT_TRUE(started.Wait(kLong));
    automatic.Set();
    c.join();
    EXPECT_TRUE(got);
    EXPECT_FALSE(automatic.IsSet()) << "the waiter consumed the automatic event";
}

TEST(Event, WaitForEitherReportsWhichFiredAndConsumesOnlyThat) {
    TEvent a;
    TEvent b(TEvent::rmManual);
    EXPECT_EQ(TEvent::WaitForEither(a, b, 0ms), -1);
    EXPECT_EQ(TEvent::WaitForEither(a, b, 10ms), -1);

    b.Set();
    EXPECT_EQ(TEvent::WaitForEither(a, b, 0ms), 1);
    EXPECT_TRUE(b.IsSet()) << "a manual event is not consumed";
    b.Reset();

    a.Set();
    b.Set();
    EXPECT_EQ(TEvent::WaitForEither(a, b, 0ms), 0);
    EXPECT_FALSE(a.IsSet());
    EXPECT_TRUE(b.IsSet());
    b.Reset();

    a.Set();
    EXPECT_EQ(TEvent::WaitForEither(b, a, 0ms), 1);
    EXPECT_FALSE(a.IsSet());
}

TEST(Event, WaitForEitherWakesOnASetFromAnotherThread) {
    for (int which = 0; which < 2; ++which) {
        TEvent a;
        TEvent b;
        int fired = -2;
        std::thread waiter([&] { fired = TEvent::WaitForEither(a, b, kLong); });
        (which == 0 ? a : b).Set();
        waiter.join();
        EXPECT_EQ(fired, which);
        EXPECT_FALSE(a.IsSet());
        EXPECT_FALSE(b.IsSet());
    }
}

TEST(Event, ManySetsAndWaitsAcrossThreadsLoseNothing) {
    // Ping-pong: each side sets the other's event after its own fired, so any
    // lost wake-up stalls the exchange and shows as a timed-out wait.
    TEvent ping;
    TEvent pong;
    TEvent stop(TEvent::rmManual);
    constexpr int rounds = 2000;
    int answered = 0;
    std::thread other([&] {
        for (;;) {
            const int fired = TEvent::WaitForEither(stop, ping, kLong);
            if (fired != 1)
                return;
            ++answered;
            pong.Set();
        }
    });
    int completed = 0;
    for (int i = 0; i < rounds; ++i) {
        ping.Set();
        if (!pong.Wait(kLong))
            break;
        ++completed;
    }
    stop.Set();
    other.join();
    EXPECT_EQ(completed, rounds);
    EXPECT_EQ(answered, rounds);
}
