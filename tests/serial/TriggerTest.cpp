// Trigger records, handles, pattern matching, event timers and status
// triggers.

#include "serial/PortErrors.h"
#include "support/ScriptDispatcher.h"

#include <gtest/gtest.h>
#include <random>

using namespace dravane::serial;
using dravane::test::TManualClock;
using dravane::test::TScriptDispatcher;

namespace {

int Matches(TDataTrigger& t, std::string_view s) {
    int n = 0;
    for (char c : s)
        n += t.Offer(static_cast<std::uint8_t>(c)) ? 1 : 0;
    return n;
}

TDataTrigger Pattern(std::string_view p, bool ignoreCase = false) {
    TDataTrigger t;
    t.SetPattern(reinterpret_cast<const std::uint8_t*>(p.data()), static_cast<int>(p.size()), ignoreCase);
    return t;
}

TEST(DataPattern, FollowsSeveralPartialMatchesAndSkipsOverlaps) {
    auto t = Pattern("aab");
    EXPECT_EQ(Matches(t, "aaab"), 1);
    auto u = Pattern("aa");
    EXPECT_EQ(Matches(u, "aaa"), 1); // the overlapping second occurrence is not reported
    EXPECT_EQ(Matches(u, "a"), 1);
    auto v = Pattern("abab");
    EXPECT_EQ(Matches(v, "abababab"), 2);
    auto w = Pattern("ok", true);
    EXPECT_EQ(Matches(w, "xOkxoKx\xe9"), 2);
    auto one = Pattern("\r");
    EXPECT_EQ(Matches(one, "a\rb\r"), 2);
    auto empty = Pattern("");
    EXPECT_EQ(Matches(empty, "abc"), 0);
}

// Brute force reference: the pattern ends at position i and does not overlap
// the previous reported match.
TEST(DataPattern, AgreesWithABruteForceMatcherOnRandomInput) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::string pat(1 + rng() % 5, 'a');
        for (auto& c : pat)
            c = "ab"[rng() % 2];
        std::string text(40, 'a');
        for (auto& c : text)
            c = "ab"[rng() % 2];
        auto t = Pattern(pat);
        std::size_t lastEnd = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool got = t.Offer(static_cast<std::uint8_t>(text[i]));
            const bool want =
                i + 1 >= pat.size() + lastEnd && text.compare(i + 1 - pat.size(), pat.size(), pat) == 0;
            ASSERT_EQ(got, want) << pat << " in " << text << " at " << i;
            if (want)
                lastEnd = i + 1;
        }
    }
}

TEST(EventTimer, CountsTicksAcrossTheClockWrap) {
    TEventTimer t;
    const std::uint32_t nearWrap = TicksPerWrap - 3;
    t.Start(nearWrap, 10);
    EXPECT_FALSE(t.Expired(nearWrap + 2));
    EXPECT_FALSE(t.Expired(5)); // after the wrap: 8 ticks passed
    EXPECT_EQ(t.Remaining(5), 2u);
    EXPECT_TRUE(t.Expired(7));
    EXPECT_EQ(t.Remaining(8), 0u);
    t.Start(0, 0xFFFFFFFFu); // capped to half a cycle
    EXPECT_FALSE(t.Expired(MaxTimerTicks - 1));
    EXPECT_TRUE(t.Expired(MaxTimerTicks));
    t.Start(100, 5);
    t.Extend(5);
    EXPECT_EQ(t.Remaining(100), 10u);
}

struct TriggerTest : ::testing::Test {
    TManualClock Clock;
    TScriptDispatcher D{Clock};
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> Notes;

    static TriggerTest* Self;
    static void Proc(std::uint32_t Msg, std::uintptr_t w, std::intptr_t l) {
        Self->Notes.emplace_back(Msg, w);
        Self->Data.push_back(static_cast<std::uint16_t>(l & 0xFFFF));
    }
    std::vector<std::uint16_t> Data;

    void SetUp() override {
        Self = this;
        ASSERT_EQ(D.Open(), ecOK);
        D.RegisterProcTriggerHandler(&Proc);
    }
};
TriggerTest* TriggerTest::Self = nullptr;

TEST_F(TriggerTest, HandlesAreCounterTimesEightWithTheStatusTypeInTheLowBits) {
    EXPECT_EQ(D.AddTimerTrigger(), 8);
    EXPECT_EQ(D.AddDataTrigger("x", false), 16);
    EXPECT_EQ(D.AddStatusTrigger(stOutSent), 29);
    EXPECT_EQ(TBaseDispatcher::ClassifyStatusTrigger(29), stOutSent);
    EXPECT_EQ(D.AddStatusTrigger(6), ecBadArgument);
    EXPECT_EQ(D.AddStatusTrigger(stNotActive), ecBadArgument);
    EXPECT_EQ(D.AddDataTrigger("0123456789012345678901", false), ecTriggerTooLong);
    EXPECT_GT(D.AddDataTrigger("012345678901234567890", false), 0);
    EXPECT_EQ(D.RemoveTrigger(0), ecBadTriggerHandle);
    EXPECT_EQ(D.RemoveTrigger(17), ecOK); // data triggers ignore the low bits
    EXPECT_EQ(D.RemoveTrigger(16), ecBadTriggerHandle);
    EXPECT_EQ(D.SetTimerTrigger(29, 1, true), ecBadTriggerHandle); // wrong type
    EXPECT_EQ(D.SetStatusTrigger(8, 1, true), ecBadTriggerHandle);
}

TEST_F(TriggerTest, HandlesAreReusedWithinSixteenBitsOnceTheCounterRunsOut) {
    for (int k = 1; k < MaxTriggerHandle; ++k)
        ASSERT_EQ(D.AddTimerTrigger(), k * 8);
    EXPECT_EQ(D.AddTimerTrigger(), ecNoMoreTriggers);
    EXPECT_EQ(D.RemoveTrigger(800), ecOK);
    EXPECT_EQ(D.RemoveTrigger(80), ecOK);
    EXPECT_EQ(D.AddStatusTrigger(stModem), 81);
    EXPECT_EQ(D.AddTimerTrigger(), 800);
    EXPECT_EQ(D.AddTimerTrigger(), ecNoMoreTriggers);
    D.RemoveAllTriggers();
    EXPECT_EQ(D.AddTimerTrigger(), 8);
}

TEST_F(TriggerTest, TimerFiresOnceWhenItsTicksHavePassed) {
    const int a = D.AddTimerTrigger();
    const int b = D.AddTimerTrigger();
    ASSERT_EQ(D.SetTimerTrigger(a, 2, true), ecOK);
    ASSERT_EQ(D.SetTimerTrigger(b, 2, true), ecOK);
    Clock.Advance(2 * TickMs - 1 - Clock.NowMs() % TickMs);
    D.ProcessTimer();
    EXPECT_TRUE(Notes.empty());
    std::uint32_t left = 0;
    EXPECT_EQ(D.TimerTicksRemaining(a, left), ecOK);
    EXPECT_EQ(left, 1u);
    Clock.Advance(1);
    EXPECT_TRUE(D.CheckTimerTriggers()); // at most one per call
    EXPECT_EQ(Notes.size(), 1u);
    D.ProcessTimer();
    ASSERT_EQ(Notes.size(), 2u);
    EXPECT_EQ(Notes[0], std::make_pair(pw_TriggerTimer, std::uintptr_t(a)));
    EXPECT_EQ(Notes[1].second, std::uintptr_t(b));
    Clock.Advance(10 * TickMs);
    D.ProcessTimer();
    EXPECT_EQ(Notes.size(), 2u);
    ASSERT_EQ(D.SetTimerTrigger(a, 0, true), ecOK); // re-armed with the last count
    Clock.Advance(2 * TickMs);
    D.ProcessTimer();
    EXPECT_EQ(Notes.size(), 3u);
}

TEST_F(TriggerTest, StatusTriggersFireOnTheirConditionsOnePerCall) {
    const int used = D.AddStatusTrigger(stOutBuffUsed);
    const int freeT = D.AddStatusTrigger(stOutBuffFree);
    const int sent = D.AddStatusTrigger(stOutSent);
    const int modem = D.AddStatusTrigger(stModem);
    const int line = D.AddStatusTrigger(stLine);
    D.PutString("0123456789");
    D.SetStatusTrigger(used, 4, true);
    D.SetStatusTrigger(freeT, 4090, true);
    D.SetStatusTrigger(sent, 0, true);
    D.SetStatusTrigger(modem, CTSMask, true);
    D.SetStatusTrigger(line, lsFraming, true);
    EXPECT_TRUE(D.CheckStatusTriggers());
    ASSERT_EQ(Notes.size(), 1u);
    EXPECT_EQ(Notes[0].second, std::uintptr_t(sent)); // the buffer levels are not reached yet
    EXPECT_FALSE(D.CheckStatusTriggers());
    D.TakeWritten();
    EXPECT_TRUE(D.CheckStatusTriggers());
    EXPECT_TRUE(D.CheckStatusTriggers());
    ASSERT_EQ(Notes.size(), 3u);
    EXPECT_EQ(Notes[1].second, std::uintptr_t(used));
    EXPECT_EQ(Data[1], 0);
    EXPECT_EQ(Notes[2].second, std::uintptr_t(freeT));
    EXPECT_EQ(Data[2], 4096);
    D.Lines = CTSMask;
    D.Event(evCts);
    D.Cycle();
    ASSERT_EQ(Notes.size(), 4u);
    EXPECT_EQ(Notes[3].second, std::uintptr_t(modem));
    D.ErrorWord = ceOverrun;
    D.Event(evErr);
    D.Cycle();
    EXPECT_EQ(Notes.size(), 4u); // overrun is not in the mask
    D.SetStatusTrigger(line, lsFraming | lsOverrun, true);
    D.Cycle();
    ASSERT_EQ(Notes.size(), 5u);
    EXPECT_EQ(Notes[4].second, std::uintptr_t(line));
    EXPECT_EQ(D.GetLineError(), leOverrun);
    EXPECT_EQ(D.GetLineError(), leNoError);
}

TEST_F(TriggerTest, SavedTriggersComeBackWithTheirHandlesAndNewOnesDoNotCollide) {
    D.ChangeLengthTrigger(3);
    const int t = D.AddTimerTrigger();
    const int p = D.AddDataTrigger("AT", true);
    TTriggerSave save;
    D.SaveTriggers(save);
    TScriptDispatcher next(Clock);
    ASSERT_EQ(next.Open(), ecOK);
    next.RestoreTriggers(save);
    EXPECT_EQ(next.SetTimerTrigger(t, 1, true), ecOK);
    EXPECT_EQ(next.RemoveTrigger(p), ecOK);
    const int fresh = next.AddTimerTrigger();
    EXPECT_NE(fresh, t);
    EXPECT_NE(fresh, p);
    TBaseDispatcher::ClearSaveBuffers(save);
    EXPECT_TRUE(save.tsTimerTriggers.empty());
    EXPECT_EQ(save.tsLenTrigger, 0);
}

} // namespace
