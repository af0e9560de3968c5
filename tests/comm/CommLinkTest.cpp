// The link in the Normal role against a controller on a pseudo-terminal:
// commands and their retries, link supervision tick by tick, and a device
// that goes and comes back.

#include "comm/CommFixture.h"
#include "comm/NetDefs.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace dravane;
using namespace dravane::test;
using namespace dravane::comm;

namespace {

class NormalRole : public CommFixture {
protected:
    // The window on COM3 with the link confirmed.
    TTestComm& Linked() {
        TTestComm& w = Open(NormalOn());
        comm::SystemReady = true;
        w.Tick();
        EXPECT_TRUE(PumpUntil([&] { return w.GetLinkStatus() == comm::lsReady; }));
        return w;
    }
    // Every transmission of the running command has reached the controller
    // and every report it sent has been decoded, and the reply is still
    // awaited: only then may time pass.
    std::function<bool()> Settled(TTestComm& w) {
        const int base = Controller.CommandCount();
        return [this, &w, base] {
            return w.Response != 0 && Controller.CommandCount() - base == w.Attempts &&
                   MainForm.Count(mcDravaneStatus) + MainForm.Count(mcUnitAStatus) == Controller.Replies;
        };
    }
};

} // namespace

TEST_F(NormalRole, CommandsAreAnsweredRepeatedOrGivenUp) {
    TTestComm& w = Linked();
    EXPECT_EQ(w.PortText(), "Using COM3");
    EXPECT_GE(MainForm.Count(mcCommLinkOk), 1);
    BoundWaits();

    // Answered at the first try; the report reaches the main window.
    EXPECT_TRUE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus));
    EXPECT_FALSE(w.NetIsBusy());
    EXPECT_EQ(Controller.Count("[R98T4AH02]"), 1);
    EXPECT_EQ(w.GetData(), std::string("\x01\x01", 2));
    EXPECT_EQ(MainForm.Count(mcDravaneStatus), 1);

    // Silent: six transmissions, 20 ticks each, then false.
    Controller.SetOptions({.Silent = true});
    {
        BoundWaits(); // each command its own bound: the whole test is slow under sanitizers
        TTickDriver ticks(w, Settled(w));
        EXPECT_FALSE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x01", cmd485_DravaneStatus));
        EXPECT_EQ(ticks.Ticks, 6 * TCommLink::RetryDelay);
    }
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[R98T4AH01]") == 6; }));
    EXPECT_FALSE(w.NetIsBusy());

    // Command 8 waits 100 ticks per try.
    {
        BoundWaits();
        TTickDriver ticks(w, Settled(w));
        EXPECT_FALSE(w.SendCommand(baseDravane, cmd485_SetDefaults, "", 0x09));
        EXPECT_EQ(ticks.Ticks, 6 * TCommLink::SetDefaultsDelay);
    }
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[R98T08H]") == 6; }));

    // A report with another command byte does not end the wait.
    Controller.SetOptions({.LinkOkOnly = true});
    Controller.OnLine = [this](const std::string& line) {
        if (line == "[R98T4AH03]")
            Controller.Send("[T41R0198H00M0101]\r");
    };
    {
        BoundWaits();
        TTickDriver ticks(w, Settled(w));
        EXPECT_FALSE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x03", cmd485_DravaneStatus));
    }
    EXPECT_TRUE(PumpUntil([&] { return MainForm.Count(mcUnitAStatus) == 6; }));
    EXPECT_EQ(Controller.Count("[R98T4AH03]"), 6);

    // No reply awaited, or the broadcast address: sent once, true at once.
    Controller.SetOptions({});
    Controller.OnLine = nullptr;
    EXPECT_TRUE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x04", 0));
    EXPECT_TRUE(w.SendCommand(addrBroadcast, cmd485_SetDravane, "\x05", cmd485_DravaneStatus));
    EXPECT_FALSE(w.NetIsBusy());
    const int links = Controller.Count("[LINK]");
    w.Tick(TCommLink::LinkTestInterval + 1); // a link test behind them on the line
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[LINK]") > links; }));
    EXPECT_TRUE(PumpUntil([&] {
        return MainForm.Count(mcDravaneStatus) + MainForm.Count(mcUnitAStatus) == Controller.Replies;
    }));
    EXPECT_EQ(Controller.Count("[R98T4AH04]"), 1);
    EXPECT_EQ(Controller.Count("[RFAT4AH05]"), 1);

    // A controller slower than the wait carries out both transmissions:
    // relative commands carry no sequence number, so the antenna turns twice.
    Controller.SetOptions({.Delay = std::chrono::milliseconds(1500)});
    Controller.Lines.clear();
    const std::uint8_t before = Controller.Direction();
    {
        BoundWaits();
        TTickDriver ticks(w, Settled(w));
        ticks.OnTick = [this](int) { Controller.Advance(std::chrono::milliseconds(TCommLink::TickMs)); };
        EXPECT_TRUE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus));
        EXPECT_EQ(ticks.Ticks, 1500 / TCommLink::TickMs);
    }
    EXPECT_EQ(Controller.Count("[R98T4AH02]"), 2);
    EXPECT_EQ(Controller.Direction(), (before + 2) % 8);
    EXPECT_FALSE(TimedOut);
}

// The link's own timer: idle, it sleeps through the ticks that only count
// down; a command given straight after a long sleep still waits its whole
// retry time, and then the retry comes on its tick, not at the next wake.
TEST_F(NormalRole, AnIdleTickSleepsAndACommandStillRetriesOnTime) {
    TTestComm& w = Open(NormalOn());
    comm::SystemReady = true;
    auto* timer = w.findChild<QTimer*>("Timer1");
    timer->start(TCommLink::TickMs);
    ASSERT_TRUE(PumpUntil([&] { return w.GetLinkStatus() == comm::lsReady; }));
    int fired = 0;
    QObject::connect(timer, &QTimer::timeout, [&] { ++fired; });
    RunFor(std::chrono::milliseconds(1500));
    EXPECT_LE(fired, 3) << "an idle link woke every tick";
    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // a slow handler elsewhere

    BoundWaits();
    Controller.SetOptions({.AnswerEvery = 2}); // the first copy goes unanswered
    std::vector<std::chrono::steady_clock::time_point> copies;
    Controller.OnLine = [&](const std::string& line) {
        if (line == "[R98T4AH01]")
            copies.push_back(std::chrono::steady_clock::now());
    };
    EXPECT_TRUE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x01", cmd485_DravaneStatus));
    ASSERT_EQ(copies.size(), 2u);
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(copies[1] - copies[0]);
    EXPECT_GE(gap.count(), TCommLink::RetryDelay * TCommLink::TickMs - TCommLink::TickMs);
    EXPECT_LE(gap.count(), 2 * TCommLink::RetryDelay * TCommLink::TickMs);
    EXPECT_FALSE(TimedOut);
}

TEST_F(NormalRole, NestedCommandsShareOneWait) {
    TTestComm& w = Linked();
    BoundWaits();
    Controller.SetOptions({.AnswerEvery = 2}); // the first command goes unanswered
    bool innerBusy = true;
    bool innerResult = false;
    TTickDriver ticks(w);
    ticks.OnTick = [&](int tick) {
        if (tick == 3) {
            // Not waiting: only NetBusy is cleared; the outer wait goes on.
            EXPECT_TRUE(w.SendCommand(0x01, 0x10, "", 0)); // a unit that never answers
            innerBusy = w.NetIsBusy();
        } else if (tick == 5) {
            // Waiting and answered: the outer wait ends as if its own reply had come.
            innerResult = w.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus);
        }
    };
    EXPECT_TRUE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x01", cmd485_DravaneStatus));
    EXPECT_FALSE(innerBusy);
    EXPECT_TRUE(innerResult);
    EXPECT_EQ(ticks.Ticks, 5);
    EXPECT_EQ(Controller.Count("[R98T4AH01]"), 1);
    EXPECT_FALSE(w.NetIsBusy());
    EXPECT_FALSE(TimedOut);
}

TEST_F(NormalRole, LinkTestsFollowTheLinkState) {
    TTestComm& w = Open(NormalOn());
    w.Tick(3); // not ready yet: nothing happens
    EXPECT_EQ(w.LinkTries, 0);
    comm::SystemReady = true;
    w.Tick();
    EXPECT_EQ(w.LinkTries, 1);
    ASSERT_TRUE(PumpUntil([&] { return w.GetLinkStatus() == comm::lsReady && w.LinkTries == 0; }));
    EXPECT_EQ(Controller.Lines, std::vector<std::string>{"[LINK]"});
    EXPECT_EQ(MainForm.Count(mcCommLinkOk), 1);

    // From here the controller is silent: record the ticks that send a test
    // and those that declare the link lost.
    Controller.SetOptions({.Silent = true});
    MainForm.Codes.clear();
    std::vector<int> tests, failures;
    for (int tick = 2; tick <= 570; ++tick) {
        const int tries = w.LinkTries;
        const int fails = MainForm.Count(mcCommLinkFail);
        w.Tick();
        if (w.LinkTries != tries)
            tests.push_back(tick);
        if (MainForm.Count(mcCommLinkFail) != fails)
            failures.push_back(tick);
    }
    // The first test was sent while the link was still down (21 ticks),
    // the next ones 101 ticks apart; the sixth unanswered one declares the
    // link lost, and every further one, 21 ticks apart, declares it again.
    EXPECT_EQ(tests, (std::vector<int>{22, 123, 224, 325, 426}));
    EXPECT_EQ(failures, (std::vector<int>{527, 548, 569}));
    EXPECT_EQ(w.GetLinkStatus(), comm::lsDisconnected);
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[LINK]") == 9; }));
}

namespace {
class Settings : public CommFixture {};
} // namespace

TEST_F(Settings, AnUnpluggedAdapterIsOpenedAgainWhenItComesBack) {
    // The settings name a stable path, as /dev/serial/by-id does for an adapter.
    const std::string byId = Dir.File("usb-Dravane-if00");
    std::filesystem::create_symlink(Controller.SlavePath(), byId);
    TTestComm& w = Open("[Ports]\nCOM3=" + byId + "\n[Comm]\nPort=3\nMode=0\n");
    comm::SystemReady = true;
    w.Tick();
    ASSERT_TRUE(PumpUntil([&] { return w.GetLinkStatus() == comm::lsReady; }));

    MainForm.Codes.clear();
    Controller.Unplug();
    std::filesystem::remove(byId);
    // Closed on the device threads' notice, or at the latest by the next link test.
    ASSERT_TRUE(PumpUntil([&] { return w.Port->DeviceLost() || !w.Port->Open(); }));
    for (int tick = 0; tick <= TCommLink::LinkTestInterval && w.Port->Open(); ++tick)
        w.Tick();
    EXPECT_FALSE(w.Port->Open());
    EXPECT_EQ(w.GetLinkStatus(), comm::lsDisconnected);
    EXPECT_EQ(MainForm.Count(mcCommLinkFail), 1);
    w.Tick(3 * (TCommLink::TimerRate + 1)); // absent: nothing to open
    EXPECT_FALSE(w.Port->Open());

    // Back, but held by another program: said once, not tried again.
    Controller.Replug();
    const int holder = ::open(Controller.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    std::filesystem::create_symlink(Controller.SlavePath(), byId);
    w.Tick(3 * (TCommLink::TimerRate + 1));
    ::close(holder);
    w.Tick(3 * (TCommLink::TimerRate + 1));
    EXPECT_FALSE(w.Port->Open());
    QCoreApplication::sendPostedEvents();
    // Said once, naming the port, its device and who holds it (this test: "another program").
    EXPECT_EQ(std::count(Errors.begin(), Errors.end(),
                         "Error opening COM port " + comm::TCommLink::PortWhere(3) +
                             ": in use by another program: close it first"),
              1)
        << testing::PrintToString(Errors);

    // Unplugged and plugged in again: opened at the next list refresh, no message.
    Controller.Unplug();
    std::filesystem::remove(byId);
    w.UseComPort(3); // the device is absent: watched for
    Errors.clear();
    Controller.Replug();
    std::filesystem::create_symlink(Controller.SlavePath(), byId);
    w.Tick(TCommLink::TimerRate + 1);
    ASSERT_TRUE(w.Port->Open());
    EXPECT_EQ(w.PortText(), "Using COM3");
    w.Tick();
    EXPECT_TRUE(PumpUntil([&] { return w.GetLinkStatus() == comm::lsReady; }));
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(Errors.empty());
}
