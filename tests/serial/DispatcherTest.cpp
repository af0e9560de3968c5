// The dispatcher's receive path, notification rules, writes, line settings
// and closing, driven one dispatch cycle at a time through a scripted device.

#include "serial/PortErrors.h"
#include "support/ScriptDispatcher.h"

#include <QCoreApplication>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

using namespace dravane::serial;
using dravane::test::TManualClock;
using dravane::test::TScriptDispatcher;

namespace {

struct TNote {
    std::uint32_t Msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::string Read; // what the handler read
};

// An event handler that reads what its policy says and records everything.
class TRecorder {
public:
    explicit TRecorder(TBaseDispatcher& D) : FD(D) {}
    // Bytes to read per notification: -1 = all announced.
    int ReadPerNote = -1;
    std::function<void(const TNote&)> OnNote;
    std::vector<TNote> Notes;
    std::vector<int> UsedAfterEachRead;

    void Handle(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
        TNote n{Msg, wParam, lParam, {}};
        if (Msg == pw_TriggerAvail) {
            const int want = ReadPerNote < 0 ? static_cast<int>(wParam) : ReadPerNote;
            for (int k = 0; k < want; ++k) {
                std::uint8_t c = 0;
                if (FD.GetChar(c) != ecOK)
                    break;
                n.Read += static_cast<char>(c);
                UsedAfterEachRead.push_back(FD.InBuffUsed());
            }
        }
        Notes.push_back(n);
        if (OnNote)
            OnNote(n);
    }
    TNotifyEvent Event() { return TNotifyEvent::Bind<TRecorder, &TRecorder::Handle>(this); }
    std::vector<std::uintptr_t> Counts() const {
        std::vector<std::uintptr_t> c;
        for (auto& n : Notes)
            if (n.Msg == pw_TriggerAvail)
                c.push_back(n.wParam);
        return c;
    }

private:
    TBaseDispatcher& FD;
};

struct DispatcherTest : ::testing::Test {
    TManualClock Clock;
    TScriptDispatcher D{Clock};
    TRecorder Rec{D};

    void SetUp() override {
        ASSERT_EQ(D.Open(), ecOK);
        D.ChangeLengthTrigger(1);
        D.RegisterEventTriggerHandler(Rec.Event());
    }
    void RunUntilIdle() {
        for (int k = 0; k < 20 && D.QueuedBytes() > 0; ++k)
            D.Cycle();
        D.Cycle();
    }
};

TEST_F(DispatcherTest, AvailabilityCountsIncludeBytesAnEarlierHandlerLeft) {
    Rec.ReadPerNote = 2;
    D.Receive("abc");
    D.Cycle();
    ASSERT_EQ(Rec.Counts(), (std::vector<std::uintptr_t>{3}));
    EXPECT_EQ(Rec.Notes[0].Read, "ab");
    EXPECT_EQ(Rec.Notes[0].lParam >> 16, D.Handle());
    EXPECT_EQ(D.InBuffUsed(), 1);
    D.Cycle(); // no new byte: no notification
    EXPECT_EQ(Rec.Notes.size(), 1u);
    Rec.ReadPerNote = -1;
    D.Receive("d");
    D.Cycle();
    ASSERT_EQ(Rec.Counts(), (std::vector<std::uintptr_t>{3, 2}));
    EXPECT_EQ(Rec.Notes[1].Read, "cd");
    EXPECT_EQ(D.InBuffUsed(), 0);
}

TEST_F(DispatcherTest, HandlersShareTheSameBytesAndTheRingAdvancesByTheLargestRead) {
    TRecorder second(D);
    TRecorder third(D);
    third.ReadPerNote = 1;
    D.RegisterProcTriggerHandler([](std::uint32_t, std::uintptr_t, std::intptr_t) {});
    D.RegisterEventTriggerHandler(second.Event());
    D.RegisterEventTriggerHandler(third.Event());
    D.Receive("hello");
    D.Cycle();
    EXPECT_EQ(Rec.Notes.at(0).Read, "hello");
    EXPECT_EQ(second.Notes.at(0).Read, "hello");
    EXPECT_EQ(third.Notes.at(0).Read, "h");
    EXPECT_EQ(D.InBuffUsed(), 0);
    D.Receive("!");
    D.Cycle();
    EXPECT_EQ(Rec.Notes.at(1).Read, "!");
    EXPECT_EQ(second.Notes.at(1).wParam, 1u);
}

TEST_F(DispatcherTest, InBuffUsedFallsAsTheHandlerReads) {
    D.Receive("wxyz");
    D.Cycle();
    EXPECT_EQ(Rec.UsedAfterEachRead, (std::vector<int>{3, 2, 1, 0}));
    std::uint8_t c;
    EXPECT_EQ(D.GetChar(c), ecBufferIsEmpty);
}

TEST_F(DispatcherTest, DataTriggerAnnouncesTheBytesBeforeThePatternFirst) {
    const int h = D.AddDataTrigger("OK", true);
    ASSERT_GT(h, 0);
    D.Receive("xyzok\r");
    RunUntilIdle();
    ASSERT_GE(Rec.Notes.size(), 3u);
    EXPECT_EQ(Rec.Notes[0].Msg, pw_TriggerAvail);
    EXPECT_EQ(Rec.Notes[0].Read, "xyz");
    EXPECT_EQ(Rec.Notes[1].Msg, pw_TriggerData);
    EXPECT_EQ(Rec.Notes[1].wParam, static_cast<std::uintptr_t>(h));
    EXPECT_EQ(Rec.Notes[1].lParam & 0xFFFF, 2);
    EXPECT_EQ(Rec.Notes[2].Msg, pw_TriggerAvail);
    EXPECT_EQ(Rec.Notes[2].Read, "ok\r");
}

TEST_F(DispatcherTest, LengthTriggerCanBeRemovedAndRestored) {
    EXPECT_EQ(D.RemoveTrigger(1), ecOK);
    D.Receive("ab");
    D.Cycle();
    EXPECT_TRUE(Rec.Notes.empty());
    D.ChangeLengthTrigger(1);
    D.Receive("c");
    D.Cycle();
    ASSERT_EQ(Rec.Counts(), (std::vector<std::uintptr_t>{3}));
    D.ChangeLengthTrigger(5);
    D.Receive("1234");
    D.Cycle();
    EXPECT_EQ(Rec.Counts().size(), 1u);
    D.Receive("5");
    D.Cycle();
    EXPECT_EQ(Rec.Counts().back(), 5u);
}

TEST_F(DispatcherTest, DeregistrationInsideANotificationTakesEffectAfterIt) {
    TRecorder later(D);
    D.RegisterEventTriggerHandler(later.Event());
    Rec.OnNote = [&](const TNote&) {
        D.DeregisterEventTriggerHandler(later.Event()); // later one: skipped in this delivery
        D.DeregisterEventTriggerHandler(Rec.Event());   // itself: gone from the next one
    };
    D.Receive("a");
    D.Cycle();
    EXPECT_EQ(Rec.Notes.size(), 1u);
    EXPECT_TRUE(later.Notes.empty());
    EXPECT_FALSE(D.EventBusy());
    D.Receive("b");
    D.Cycle();
    EXPECT_EQ(Rec.Notes.size(), 1u);
    EXPECT_FALSE(D.HandlerServiceIsNeeded());
}

TEST_F(DispatcherTest, FullRingStopsExtractionAndResumesAsTheReaderFreesSpace) {
    D.DeregisterEventTriggerHandler(Rec.Event());
    std::string big(DispatchBufferSize + 808, 'q');
    big[0] = '1';
    D.Receive(big);
    for (int k = 0; k < 40; ++k)
        D.Cycle();
    EXPECT_EQ(D.InBuffUsed(), DispatchBufferSize);
    EXPECT_EQ(D.InBuffFree(), 0);
    EXPECT_EQ(D.QueuedBytes(), 808u);
    std::vector<char> buf(100);
    ASSERT_EQ(D.GetBlock(buf.data(), 100), 100);
    EXPECT_EQ(buf[0], '1');
    D.Cycle();
    EXPECT_EQ(D.InBuffUsed(), DispatchBufferSize);
    EXPECT_EQ(D.QueuedBytes(), 708u);
}

// Head, tail and the last notification's position all equal after an exact
// wrap: the full ring must still be announced and scanned.
TEST_F(DispatcherTest, ExactWrapToAFullRingStillNotifiesAndScans) {
    const int h = D.AddDataTrigger("END", false);
    D.Receive("0123456789");
    D.Cycle(); // positions now 10; then exactly one ring's worth arrives
    std::string ring(DispatchBufferSize, '.');
    ring.replace(ring.size() - 3, 3, "END");
    Rec.Notes.clear();
    Rec.ReadPerNote = 0;
    D.Receive(ring, DispatchBufferSize);
    D.Cycle();
    EXPECT_EQ(D.InBuffUsed(), DispatchBufferSize);
    ASSERT_GE(Rec.Notes.size(), 2u);
    EXPECT_EQ(Rec.Notes[0].Msg, pw_TriggerAvail);
    EXPECT_EQ(Rec.Notes[0].wParam, static_cast<std::uintptr_t>(DispatchBufferSize - 3));
    EXPECT_EQ(Rec.Notes[1].Msg, pw_TriggerData);
    EXPECT_EQ(Rec.Notes[1].wParam, static_cast<std::uintptr_t>(h));
    ASSERT_EQ(Rec.Notes.size(), 3u); // then the whole full ring
    EXPECT_EQ(Rec.Notes[2].Msg, pw_TriggerAvail);
    EXPECT_EQ(Rec.Notes[2].wParam, static_cast<std::uintptr_t>(DispatchBufferSize));
    // With the reader gone the rest waits in the queue, and arrives once space is freed.
    D.Receive("tail");
    D.Cycle();
    EXPECT_EQ(D.QueuedBytes(), 4u);
    std::vector<char> sink(DispatchBufferSize);
    ASSERT_EQ(D.GetBlock(sink.data(), DispatchBufferSize), DispatchBufferSize);
    Rec.ReadPerNote = -1;
    D.Cycle();
    EXPECT_EQ(Rec.Notes.back().Read, "tail");
}

TEST_F(DispatcherTest, CancelledWindowDeliveryIsOfferedAgainWithoutNewBytes) {
    std::vector<std::uintptr_t> seen;
    dravane::platform::TMessageWindow window([&](std::uint32_t Msg, std::uintptr_t w, std::intptr_t) {
        if (Msg == pw_TriggerAvail) {
            seen.push_back(w);
            std::vector<char> buf(w);
            D.GetBlock(buf.data(), static_cast<int>(w));
        }
        return std::intptr_t(0);
    });
    D.DeregisterEventTriggerHandler(Rec.Event());
    D.RegisterWndTriggerHandler(&window);
    D.UpdateHandlerFlags(fuEnablePort);
    D.RemainingWndSends = 0; // the next send times out before the window starts
    D.Receive("abc");
    D.Cycle();
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(D.InBuffUsed(), 3);
    D.RemainingWndSends = -1;
    D.Cycle(); // no new byte
    EXPECT_EQ(seen, (std::vector<std::uintptr_t>{3}));
    EXPECT_EQ(D.InBuffUsed(), 0);
}

TEST_F(DispatcherTest, WindowHandlersAreSkippedUnlessThePortWantsThemOrThereAreTwo) {
    int calls = 0;
    dravane::platform::TMessageWindow window([&](std::uint32_t, std::uintptr_t, std::intptr_t) {
        ++calls;
        return std::intptr_t(0);
    });
    D.RegisterWndTriggerHandler(&window);
    D.Receive("a");
    D.Cycle();
    EXPECT_EQ(calls, 0);
    D.UpdateHandlerFlags(fuEnablePort);
    D.Receive("b");
    D.Cycle();
    EXPECT_EQ(calls, 1);
    D.UpdateHandlerFlags(fuDisablePort);
    EXPECT_TRUE(D.HandlerServiceIsNeeded()); // the event handler still wants notifications
    D.DeregisterEventTriggerHandler(Rec.Event());
    EXPECT_FALSE(D.HandlerServiceIsNeeded());
}

TEST_F(DispatcherTest, AThrowingOrVanishedHandlerDoesNotStopTheOthers) {
    struct TThrower {
        void Handle(std::uint32_t, std::uintptr_t, std::intptr_t) {
            throw std::runtime_error("handler failed");
        }
    } thrower;
    D.RegisterEventTriggerHandler(TNotifyEvent::Bind<TThrower, &TThrower::Handle>(&thrower));
    auto gone = std::make_unique<dravane::platform::TMessageWindow>(
        [](std::uint32_t, std::uintptr_t, std::intptr_t) { return std::intptr_t(0); });
    D.RegisterWndTriggerHandler(gone.get());
    D.UpdateHandlerFlags(fuEnablePort);
    gone.reset(); // its address stays registered, its messages go nowhere
    D.Receive("abc");
    D.Cycle();
    EXPECT_FALSE(D.EventBusy());
    EXPECT_EQ(Rec.Notes.back().Read, "abc");
    EXPECT_EQ(D.InBuffUsed(), 0); // consumed once, not offered again
    D.Cycle();
    EXPECT_EQ(Rec.Notes.size(), 1u);
}

TEST_F(DispatcherTest, NoTriggerFiresWhileTheOwnerMarksAnEventBusy) {
    bool was = true;
    D.SetEventBusy(was, true);
    EXPECT_FALSE(was);
    D.Receive("ab");
    D.Cycle();
    EXPECT_TRUE(Rec.Notes.empty());
    EXPECT_EQ(D.InBuffUsed(), 2); // extracted all the same
    D.SetEventBusy(was, false);
    EXPECT_TRUE(was);
    D.Cycle();
    EXPECT_EQ(Rec.Counts(), (std::vector<std::uintptr_t>{2}));
}

TEST_F(DispatcherTest, CloseDuringANotificationAbortsWithoutConsuming) {
    Rec.OnNote = [&](const TNote&) { D.DonePort(); };
    Rec.ReadPerNote = 2;
    D.Receive("abc");
    EXPECT_FALSE(D.Cycle());
    EXPECT_TRUE(D.IsClosePending());
    EXPECT_TRUE(D.DoDonePortPrimRequested());
    EXPECT_EQ(D.InBuffUsed(), 3); // the handler's reads were not consumed
    EXPECT_GE(D.ComHandle(), 0);  // the device is closed by the deferred part only
    D.DonePortPrim();
    EXPECT_EQ(D.ComHandle(), -1);
    EXPECT_EQ(D.InBuffUsed(), 0);
    EXPECT_EQ(D.InBuffFree(), DispatchBufferSize);
}

TEST_F(DispatcherTest, FlushInBufferDuringANotificationEmptiesTheRingAfterIt) {
    D.AddDataTrigger("Z", false);
    Rec.ReadPerNote = 0;
    Rec.OnNote = [&](const TNote&) { D.FlushInBuffer(); };
    D.Receive("abcd");
    D.Cycle();
    EXPECT_EQ(D.InBuffUsed(), 0);
    Rec.OnNote = nullptr;
    Rec.Notes.clear();
    D.Receive("xZ"); // the flushed bytes are not rescanned or announced again
    D.Cycle();
    ASSERT_GE(Rec.Notes.size(), 2u);
    EXPECT_EQ(Rec.Notes[0].Msg, pw_TriggerAvail);
    EXPECT_EQ(Rec.Notes[0].wParam, 1u);
    EXPECT_EQ(Rec.Notes[1].Msg, pw_TriggerData);
}

TEST_F(DispatcherTest, PeekAndBlockReadsCrossTheWrapPoint) {
    D.DeregisterEventTriggerHandler(Rec.Event());
    std::string first(DispatchBufferSize - 2, 'a');
    D.Receive(first, DispatchBufferSize);
    D.Cycle();
    std::vector<char> sink(first.size());
    ASSERT_EQ(D.GetBlock(sink.data(), static_cast<int>(sink.size())), static_cast<int>(sink.size()));
    D.Receive("WRAP");
    D.Cycle();
    std::uint8_t c = 0;
    EXPECT_EQ(D.PeekChar(c, 3), ecOK);
    EXPECT_EQ(c, 'A');
    EXPECT_EQ(D.PeekChar(c, 5), ecBufferIsEmpty);
    EXPECT_EQ(D.PeekChar(c, 0), ecBadArgument);
    char buf[5] = {};
    EXPECT_EQ(D.PeekBlock(buf, 4), 4);
    EXPECT_STREQ(buf, "WRAP");
    EXPECT_EQ(D.GetBlock(buf, 5), ecBufferIsEmpty);
    EXPECT_EQ(D.GetBlock(buf, 4), 4);
    EXPECT_FALSE(D.CharReady());
}

TEST_F(DispatcherTest, PutBlockWritesWholeBlocksOrNothing) {
    TScriptDispatcher small(Clock);
    ASSERT_EQ(small.Open(8), ecOK);
    EXPECT_EQ(small.PutBlock("", 0), ecOK);
    EXPECT_EQ(small.PutString("12345"), ecOK);
    EXPECT_EQ(small.OutBuffFree(), 3);
    EXPECT_EQ(small.PutString("6789"), ecOutputBufferTooSmall);
    EXPECT_EQ(small.Pending(), "12345"); // nothing of the refused block was written
    EXPECT_EQ(small.PutString("678"), ecOK);
    EXPECT_EQ(small.TakeWritten(), "12345678");
    small.WriteResult = 0;
    EXPECT_EQ(small.PutChar('x'), ecPutBlockFail);
}

TEST(DispatcherLine, DrainDelayIsBoundedAndNeverDividesByZero) {
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(9600, 8, NOPARITY, ONESTOPBIT), 19u);
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(115200, 8, NOPARITY, ONESTOPBIT), 2u);
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(0xFEFF, 8, NOPARITY, ONESTOPBIT), 2u); // legacy code for 115200
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(0xFF16, 7, EVENPARITY, TWOSTOPBITS), 21u); // legacy 9600, 7E2
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(0, 8, NOPARITY, ONESTOPBIT), 0u);
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(0xFF19, 8, NOPARITY, ONESTOPBIT), 0u); // reserved code
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(110, 8, NOPARITY, TWOSTOPBITS), 1000u);
    EXPECT_EQ(TBaseDispatcher::DrainDelayMs(4000000000u, 8, NOPARITY, ONESTOPBIT), 0u);
    EXPECT_LE(TBaseDispatcher::DrainDelayMs(1, 255, ODDPARITY, TWOSTOPBITS), 1000u);
}

TEST(DispatcherLine, SetLineProgramsOnlyChangesAndKeepsTheModemLines) {
    TManualClock clock;
    TScriptDispatcher d(clock);
    ASSERT_EQ(d.Open(), ecOK);
    const int calls = d.SetStateCalls;
    EXPECT_EQ(d.SetLine(19200, NOPARITY, 8, 1), ecOK);
    EXPECT_EQ(d.SetStateCalls, calls); // unchanged: the device is not touched
    clock.Slept = 0;
    d.PutString("zz");
    d.TakeWritten();
    EXPECT_EQ(d.SetLine(57600, DontChangeParity, 5, 2), ecOK);
    EXPECT_EQ(clock.Slept.load(), TBaseDispatcher::DrainDelayMs(19200, 5, NOPARITY, ONE5STOPBITS));
    // Nothing written since: nothing can be on its way at the old rate.
    clock.Slept = 0;
    EXPECT_EQ(d.SetLine(57600, DontChangeParity, 5, 1), ecOK);
    EXPECT_EQ(clock.Slept.load(), 0u);
    EXPECT_EQ(d.SetLine(57600, DontChangeParity, 5, 2), ecOK);
    std::int32_t baud;
    int parity, bits, stop;
    d.GetLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 57600);
    EXPECT_EQ(bits, 5);
    EXPECT_EQ(d.Device.StopBits, ONE5STOPBITS);
    EXPECT_EQ(d.Device.DtrControl(), TDCB::CONTROL_ENABLE);
    EXPECT_TRUE(d.Device.Flags & TDCB::fBinary);
    EXPECT_EQ(d.SetDtr(false), ecOK);
    EXPECT_EQ(d.Escapes.back(), CLRDTR);
    d.EscapeResult = -1;
    EXPECT_EQ(d.SetRts(false), ecBadArgument);
    EXPECT_EQ(d.HWFlowOptions(100, 200, hfUseRTS), ecBadArgument);
    EXPECT_EQ(d.HWFlowOptions(5000, 10, hfUseRTS), ecBadArgument);
    EXPECT_EQ(d.SWFlowEnable(50, 60, sfReceiveFlow), ecBadArgument);
    EXPECT_EQ(d.HWFlowOptions(3000, 400, hfUseRTS), ecOK);
    EXPECT_EQ(d.SetRts(true), 1); // under automatic handshake now
    EXPECT_EQ(d.Device.RtsControl(), TDCB::CONTROL_HANDSHAKE);
}

TEST(DispatcherOpen, FailedOpenReturnsTheDeviceCodeAndReleasesEverything) {
    TScriptDispatcher d;
    d.OpenError = -5;
    EXPECT_EQ(d.Open(), -5);
    EXPECT_EQ(d.ComHandle(), -1);
    EXPECT_EQ(d.InBuffFree(), DispatchBufferSize);
    EXPECT_EQ(d.PutChar('a'), ecOutputBufferTooSmall);
}

TEST(DispatcherPortList, HandlesAreSlotsReusedAfterDestruction) {
    auto a = std::make_unique<TScriptDispatcher>();
    auto b = std::make_unique<TScriptDispatcher>();
    const std::uint16_t ha = a->Handle();
    EXPECT_NE(ha, b->Handle());
    EXPECT_EQ(TBaseDispatcher::GetTComRecPtr(ha), a.get());
    a.reset();
    EXPECT_EQ(TBaseDispatcher::GetTComRecPtr(ha), nullptr);
    TScriptDispatcher c;
    EXPECT_EQ(c.Handle(), ha);
    EXPECT_EQ(TBaseDispatcher::GetTComRecPtr(ha), &c);
}

TEST(DispatcherDiagnostics, TraceAndLogAreWrittenAsTextAndHonourTheirStates) {
    TManualClock clock;
    TScriptDispatcher d(clock);
    ASSERT_EQ(d.Open(), ecOK);
    const std::string trace = ::testing::TempDir() + "dispatcher_trace.txt";
    EXPECT_EQ(d.DumpTrace(trace, true, false), ecTracingNotEnabled);
    d.InitTracing(100);
    d.PutString("AB");
    d.Receive(std::string("C\x01", 2));
    d.Cycle();
    d.StopTracing(); // paused: nothing recorded
    d.PutString("D");
    EXPECT_EQ(d.DumpTrace(trace, true, false), ecOK);
    std::FILE* f = std::fopen(trace.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[200] = {};
    const std::size_t length = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, length), "Transmit: AB\nReceive:  C[01]\n");
    EXPECT_FALSE(d.TracingOn());

    d.InitDispatchLogging(2);
    d.AddStringToLog("one");
    clock.Advance(1500);
    d.AddStringToLog("two");
    d.AddStringToLog("three"); // the ring keeps the last two
    const std::string log = ::testing::TempDir() + "dispatcher_log.txt";
    EXPECT_EQ(d.DumpDispatchLog(log, false, false), ecOK);
    f = std::fopen(log.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string text(400, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    EXPECT_EQ(text.find("one"), std::string::npos);
    EXPECT_NE(text.find("two"), std::string::npos);
    EXPECT_NE(text.find("1.500"), std::string::npos);
    EXPECT_EQ(d.DumpDispatchLog(log, false, false), ecLoggingNotEnabled);
}

} // namespace
