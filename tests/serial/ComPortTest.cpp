// The com port component over the scripted device layer, with a real
// dispatcher thread: open and close sequences, the deferred close, events on
// the UI thread, users, setters and the Select Port dialog.

#include "serial/ComPort.h"
#include "platform/AppException.h"
#include "serial/PortException.h"
#include "serial/SelectPortDialog.h"
#include "support/EventLoop.h"
#include "support/ScriptDispatcher.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace dravane::serial;
using namespace std::chrono_literals;
using dravane::platform::TMessageWindow;
using dravane::test::PumpUntil;
using dravane::test::TScriptDispatcher;
using namespace std::chrono_literals;

namespace {

class ScriptedPort : public ::testing::Test {
protected:
    void SetUp() override {
        Port.SetComNumber(3);
        Port.SetAutoOpen(false);
        Port.SetCustomDispatcher([this](TCustomComPort*) -> std::unique_ptr<TBaseDispatcher> {
            auto d = std::make_unique<TScriptDispatcher>(dravane::platform::TMsClock::System(), true);
            d->OpenError = NextOpenError;
            D = d.get();
            ++Created;
            return d;
        });
    }
    // The test's locals are gone: the close that follows must reach none of them.
    void TearDown() override {
        Port.SetOnPortOpen({});
        Port.SetOnPortClose({});
        Port.SetOnTriggerAvail({});
        Port.SetOnTriggerData({});
        Port.SetOpen(false);
        EXPECT_TRUE(PumpUntil([&] { return Port.PortState() == psClosed; }));
        dravane::platform::SetErrorSink({});
    }

    // Collects every OnTriggerAvail: bytes read with GetChar, and the counts.
    void CollectAvail() {
        Port.SetOnTriggerAvail([this](TCustomComPort* CP, std::uint16_t Count) {
            Counts.push_back(Count);
            for (int k = 0; k < Count; ++k)
                Got += static_cast<char>(CP->GetChar());
        });
    }

    TComPort Port;
    TScriptDispatcher* D = nullptr; // the current dispatcher while open
    int Created = 0;
    int NextOpenError = 0;
    std::string Got;
    std::vector<int> Counts;
};

// The line split over notifications, the UI thread and the real device are
// covered on pseudo-terminals; here the edges the device cannot script.
TEST_F(ScriptedPort, EmptyWritesAndReadsPastCount) {
    Port.SetOpen(true);
    Port.PutString("");
    Port.PutChar('x');
    EXPECT_EQ(D->Pending(), "x");

    bool raised = false;
    Port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t Count) {
        for (int k = 0; k < Count; ++k)
            CP->GetChar();
        try {
            CP->GetChar();
        } catch (const EBufferIsEmpty&) {
            raised = true;
        }
    });
    D->Receive("ab");
    ASSERT_TRUE(PumpUntil([&] { return raised; }));
    EXPECT_EQ(Port.InBuffUsed(), 0);
}

TEST_F(ScriptedPort, ClosedPortReadsDefaultsRaisesOrOpensByAutoOpen) {
    Port.SetOutSize(1000);
    EXPECT_EQ(Port.InBuffUsed(), 0);
    EXPECT_EQ(Port.InBuffFree(), DispatchBufferSize);
    EXPECT_EQ(Port.OutBuffUsed(), 0);
    EXPECT_EQ(Port.OutBuffFree(), 1000);
    EXPECT_THROW(Port.PutString("x"), ECommNotOpen);
    EXPECT_THROW(Port.GetChar(), ECommNotOpen);
    EXPECT_EQ(Created, 0);

    Port.SetAutoOpen(true);
    Port.PutString("x");
    EXPECT_TRUE(Port.Open());
    EXPECT_EQ(D->Pending(), "x");
    EXPECT_EQ(Port.OutBuffFree(), 999);
}

TEST_F(ScriptedPort, OpenFailuresLeaveThePortClosedAndASecondOpenWorks) {
    Port.SetComNumber(0);
    Port.SetPromptForPort(false);
    EXPECT_THROW(Port.SetOpen(true), ENoPortSelected);
    EXPECT_EQ(Created, 0);

    Port.SetComNumber(3);
    struct TCase {
        int Device;
        std::int32_t Raised;
    };
    for (const TCase c : {TCase{-5, ecAlreadyOpen}, TCase{-2, ecBadId}, TCase{-3, ecBadId}}) {
        NextOpenError = c.Device;
        try {
            Port.SetOpen(true);
            ADD_FAILURE() << "no exception for " << c.Device;
        } catch (const EPortException& e) {
            EXPECT_EQ(e.ErrorCode(), c.Raised);
        }
        EXPECT_FALSE(Port.Open());
        EXPECT_EQ(Port.PortState(), psClosed);
        EXPECT_EQ(Port.DispatcherOrNull(), nullptr);
        EXPECT_EQ(Port.NotifyWindow(), nullptr);
    }
    NextOpenError = -87;
    try {
        Port.SetOpen(true);
        ADD_FAILURE() << "no exception for -87";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 87);
    }
    NextOpenError = 0;
    Port.SetOpen(true);
    EXPECT_TRUE(Port.Open());
}

TEST_F(ScriptedPort, CloseInsideOnTriggerAvailIsDeferredThenCompletesAndAPendingOpenFollows) {
    bool closedEvent = false;
    bool insideOpen = false;
    TPortState insideState = psClosed;
    Port.SetOnPortClose([&](TCustomComPort*) { closedEvent = true; });
    Port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t) {
        CP->SetOpen(false);
        insideOpen = CP->Open();
        insideState = CP->PortState();
        EXPECT_EQ(CP->GetChar(), 0); // shutting down: no effect
        CP->SetOpen(true);           // remembered, performed after the close
    });
    Port.SetOpen(true);
    D->Receive("hello");
    ASSERT_TRUE(PumpUntil([&] { return closedEvent; }));
    EXPECT_TRUE(insideOpen);
    EXPECT_EQ(insideState, psShuttingDown);
    ASSERT_TRUE(PumpUntil([&] { return Created == 2 && Port.PortState() == psOpen; }));
    EXPECT_TRUE(Port.Open());
    EXPECT_FALSE(Port.OpenPending());

    // Without a reopen the deferred close ends closed.
    Port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t) { CP->SetOpen(false); });
    D->Receive("again");
    ASSERT_TRUE(PumpUntil([&] { return !Port.Open(); }));
    EXPECT_EQ(Port.PortState(), psClosed);
    EXPECT_EQ(Port.DispatcherOrNull(), nullptr);
    EXPECT_EQ(Created, 2);
}

TEST_F(ScriptedPort, AClosingPortFiresNoTriggerEvents) {
    int events = 0;
    Port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t Count) {
        if (++events > 1)
            return;
        CP->SetOpen(false);
        // A notification that reaches the window while the close is pending.
        const auto lParam = static_cast<std::intptr_t>(CP->DispatcherOrNull()->Handle()) << 16;
        CP->NotifyWindow()->Post(pw_TriggerAvail, Count, lParam);
    });
    Port.SetOpen(true);
    D->Receive("abc");
    ASSERT_TRUE(PumpUntil([&] { return events > 0 && !Port.Open(); }));
    EXPECT_EQ(events, 1);
}

TEST(ComPortLifetime, DestroyedInsideItsOwnEventReleasesTheDispatcherOnceIdle) {
    auto port = std::make_unique<TComPort>();
    port->SetComNumber(1);
    TScriptDispatcher* d = nullptr;
    port->SetCustomDispatcher([&](TCustomComPort*) -> std::unique_ptr<TBaseDispatcher> {
        auto made = std::make_unique<TScriptDispatcher>(dravane::platform::TMsClock::System(), true);
        d = made.get();
        return made;
    });
    bool destroyed = false;
    port->SetOnTriggerAvail([&](TCustomComPort*, std::uint16_t) {
        destroyed = true;
        port.reset(); // this closure goes with the port: nothing after this line
    });
    port->SetOpen(true);
    d->Receive("x");
    ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
    // The dispatcher's threads are joined by the release; a leak or a late
    // touch of the port shows under the sanitizers.
    PumpUntil([] { return false; }, 100ms);
}

TEST_F(ScriptedPort, ComNumberChangeKeepsTriggersAndTraceStates) {
    std::vector<std::uint16_t> dataHits;
    Port.SetOnTriggerData([&](TCustomComPort*, std::uint16_t h) { dataHits.push_back(h); });
    Port.SetOpen(true);
    const std::uint16_t ok = Port.AddDataTrigger("OK", true);
    dravane::test::TempDir dir;
    Port.SetTraceName(dir.File("port.trc"));
    Port.SetTracing(tlOn);
    Port.SetComNumber(4);
    EXPECT_TRUE(std::filesystem::exists(dir.File("port.trc"))); // the close wrote the trace
    EXPECT_EQ(Created, 2);
    EXPECT_EQ(D->DeviceName, "COM4");
    EXPECT_EQ(Port.Tracing(), tlOn);
    EXPECT_TRUE(D->TracingOn());
    D->Receive("xxok");
    ASSERT_TRUE(PumpUntil([&] { return !dataHits.empty(); }));
    EXPECT_EQ(dataHits.front(), ok);

    // Changed from inside an event: the deferred close reopens on the new number.
    Port.SetOnTriggerData([&](TCustomComPort* CP, std::uint16_t h) {
        dataHits.push_back(h);
        CP->SetComNumber(5);
    });
    D->Receive("OK");
    ASSERT_TRUE(PumpUntil([&] { return Created == 3 && Port.PortState() == psOpen; }));
    EXPECT_EQ(D->DeviceName, "COM5");
    EXPECT_EQ(Port.ComNumber(), 5);
    Port.SetOnTriggerData([&](TCustomComPort*, std::uint16_t h) { dataHits.push_back(h); });
    const std::size_t before = dataHits.size();
    D->Receive("Ok");
    ASSERT_TRUE(PumpUntil([&] { return dataHits.size() > before; }));
    EXPECT_EQ(dataHits.back(), ok);
    EXPECT_EQ(Port.Tracing(), tlOn);
    Port.SetTracing(tlOff);
}

TEST_F(ScriptedPort, LineSettingsApplyAtOpenOrAtOnce) {
    Port.SetBaud(57600);
    EXPECT_EQ(Created, 0);
    Port.SetOpen(true);
    EXPECT_EQ(D->Device.BaudRate, 57600u);
    Port.SetBaud(9600);
    Port.SetParity(pEven);
    EXPECT_EQ(D->Device.BaudRate, 9600u);
    EXPECT_EQ(D->Device.Parity, EVENPARITY);

    // DTR follows the device's answer.
    D->EscapeResult = 1;
    Port.SetDTR(false);
    EXPECT_TRUE(Port.DTR());
    D->EscapeResult = 0;
    Port.SetDTR(false);
    EXPECT_FALSE(Port.DTR());

    // Hardware flow fills in the thresholds and ends RS-485 mode.
    Port.SetRS485Mode(true);
    Port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_FALSE(Port.RS485Mode());
    EXPECT_EQ(Port.BufferFull(), 4096 * 9 / 10);
    EXPECT_EQ(Port.BufferResume(), 4096 / 10);
    EXPECT_EQ(D->Device.RtsControl(), TDCB::CONTROL_HANDSHAKE);
    // A threshold above the input size is brought within it, so the device accepts it.
    Port.SetBufferFull(5000);
    EXPECT_EQ(Port.BufferFull(), 4096 * 9 / 10);
}

TEST_F(ScriptedPort, ClearingOnTriggerAvailStopsNotifyingThePortWindow) {
    CollectAvail();
    Port.SetOpen(true);
    D->Receive("ab");
    ASSERT_TRUE(PumpUntil([&] { return Got == "ab"; }));
    Port.SetOnTriggerAvail({});
    D->Receive("cd");
    ASSERT_TRUE(PumpUntil([&] { return Port.InBuffUsed() == 2; }));
    CollectAvail();
    D->Receive("e");
    ASSERT_TRUE(PumpUntil([&] { return Got.size() == 5; }));
    EXPECT_EQ(Got, "abcde");
    EXPECT_EQ(Counts, (std::vector<int>{2, 3}));
}

struct TUserLog {
    std::vector<std::string> Lines;
    void Plain(TCustomComPort*, bool Opening) { Lines.push_back(Opening ? "plain open" : "plain closed"); }
    void Ex(TCustomComPort*, TCallbackType T) {
        static const char* Names[] = {"ex open", "ex closing", "ex closed"};
        Lines.push_back(Names[T]);
    }
};

TEST_F(ScriptedPort, UsersAreToldLastToFirst) {
    TUserLog log;
    auto window = [&](const char* who) {
        return std::make_unique<TMessageWindow>(
            [&log, who](std::uint32_t Msg, std::uintptr_t, std::intptr_t) {
                log.Lines.push_back(std::string(who) + " " + std::to_string(Msg));
                return std::intptr_t(0);
            });
    };
    auto plainWindow = window("wnd");
    auto exWindow = window("exwnd");
    const auto plain = TPortCallback::Bind<TUserLog, &TUserLog::Plain>(&log);
    const auto ex = TPortCallbackEx::Bind<TUserLog, &TUserLog::Ex>(&log);
    Port.RegisterUserCallback(plain);
    Port.RegisterUserCallbackEx(ex);
    Port.RegisterUser(plainWindow.get());
    Port.RegisterUserEx(exWindow.get());
    Port.SetOnPortOpen([&](TCustomComPort*) { log.Lines.push_back("OnPortOpen"); });
    Port.SetOnPortClose([&](TCustomComPort*) { log.Lines.push_back("OnPortClose"); });
    Port.SetOpen(true);
    Port.SetOpen(false);
    const std::vector<std::string> expected{"exwnd 32264", "wnd 32264",   "ex open",      "plain open",
                                            "OnPortOpen",  "exwnd 32266", "ex closing",   "exwnd 32265",
                                            "wnd 32265",   "ex closed",   "plain closed", "OnPortClose"};
    EXPECT_EQ(log.Lines, expected);

    log.Lines.clear();
    Port.DeregisterUser(plainWindow.get());
    Port.DeregisterUser(exWindow.get());
    Port.DeregisterUserCallback(plain);
    Port.DeregisterUserCallbackEx(ex);
    Port.SetOpen(true);
    EXPECT_EQ(log.Lines, std::vector<std::string>{"OnPortOpen"});
}

TEST_F(ScriptedPort, LoadingDefersTheOpenAndAFailureIsShownNotRaised) {
    std::vector<std::string> shown;
    dravane::platform::SetErrorSink([&](const std::string& text) { shown.push_back(text); });
    Port.BeginLoading();
    Port.SetOpen(true);
    EXPECT_EQ(Created, 0);
    NextOpenError = -2;
    Port.Loaded();
    EXPECT_FALSE(Port.Open());
    ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
    EXPECT_EQ(shown.front(), "ie_BadId - Specified comport doesn't exist");

    // A handler's exception is shown as well, and the port goes on working.
    NextOpenError = 0;
    Port.SetOnTriggerAvail([](TCustomComPort* CP, std::uint16_t) {
        CP->GetChar();
        throw EBufferIsEmpty();
    });
    Port.SetOpen(true);
    D->Receive("a");
    ASSERT_TRUE(PumpUntil([&] { return shown.size() == 2; }));
    EXPECT_EQ(shown.back(), "Buffer is empty");
    EXPECT_EQ(Port.InBuffUsed(), 0);
}

TEST(SelectPortDialog, ListsAvailablePortsFirstSelected) {
    TComSelectForm form([](int n) { return n % 7 == 0; });
    auto* list = form.findChild<QComboBox*>("PortsComboBox");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 7);
    EXPECT_EQ(list->itemText(0), "COM7");
    EXPECT_EQ(list->itemText(6), "COM49");
    EXPECT_EQ(form.SelectedNumber(), 7);
    list->setCurrentIndex(2);
    EXPECT_EQ(form.SelectedNumber(), 21);
    TComSelectForm none([](int) { return false; });
    EXPECT_EQ(none.SelectedNumber(), 0);
}

// Answers the modal dialog once it shows: picks the entry, then OK or Cancel.
void AnswerDialog(int index, const char* button) {
    QTimer::singleShot(0, [index, button] {
        auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
        ASSERT_NE(form, nullptr);
        form->findChild<QComboBox*>("PortsComboBox")->setCurrentIndex(index);
        form->findChild<QPushButton*>(button)->click();
    });
}

TEST_F(ScriptedPort, PortNumberZeroAsksThroughTheDialog) {
    InstallSelectPortDialog();
    Port.SetComNumber(0);
    AnswerDialog(4, "AbortBtn");
    EXPECT_THROW(Port.SetOpen(true), ENoPortSelected);
    EXPECT_FALSE(Port.Open());
    AnswerDialog(4, "OkBtn");
    Port.SetOpen(true);
    EXPECT_TRUE(Port.Open());
    EXPECT_EQ(Port.ComNumber(), 5);
    EXPECT_EQ(D->DeviceName, "COM5");
}

} // namespace
