// The Communications window in the Normal role against a controller on a
// pseudo-terminal: commands and their retries, link supervision tick by tick,
// and the settings and port choices.

#include "comm/CommFixture.h"
#include "comm/GetComPorts.h"
#include "comm/NetDefs.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
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
        EXPECT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));
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
    EXPECT_EQ(w.ComLabel(), "Using COM3");
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
        EXPECT_EQ(ticks.Ticks, 6 * TCommControl::RetryDelay);
    }
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[R98T4AH01]") == 6; }));
    EXPECT_FALSE(w.NetIsBusy());

    // Command 8 waits 100 ticks per try.
    {
        BoundWaits();
        TTickDriver ticks(w, Settled(w));
        EXPECT_FALSE(w.SendCommand(baseDravane, cmd485_SetDefaults, "", 0x09));
        EXPECT_EQ(ticks.Ticks, 6 * TCommControl::SetDefaultsDelay);
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
    w.Tick(TCommControl::LinkTestInterval + 1); // a link test behind them on the line
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
        ticks.OnTick = [this](int) { Controller.Advance(std::chrono::milliseconds(TCommControl::TickMs)); };
        EXPECT_TRUE(w.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus));
        EXPECT_EQ(ticks.Ticks, 1500 / TCommControl::TickMs);
    }
    EXPECT_EQ(Controller.Count("[R98T4AH02]"), 2);
    EXPECT_EQ(Controller.Direction(), (before + 2) % 8);
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
    ASSERT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready" && w.LinkTries == 0; }));
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
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    EXPECT_EQ(w.Led("LinkLed")->Color(), 0x0000FFu);
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[LINK]") == 9; }));
}

namespace {
class Settings : public CommFixture {};

QTreeWidget* listOf(TTestComm& w) {
    return w.findChild<QTreeWidget*>("ComListBox");
}
QLineEdit* edit(TTestComm& w, const char* name) {
    return w.findChild<QLineEdit*>(name);
}
} // namespace

TEST_F(Settings, StartWithoutFileOrWithAPortThatCannotBeOpened) {
    TTestComm& w = Open("");
    EXPECT_EQ(w.GetOpMode(), omNormal);
    EXPECT_FALSE(w.Port->Open());
    EXPECT_FALSE(w.RemotePort->Open());
    EXPECT_EQ(w.ComLabel(), "Disabled");
    EXPECT_EQ(edit(w, "EditIP")->text(), "");
    EXPECT_EQ(edit(w, "EditPort")->text(), "54902");
    EXPECT_FALSE(edit(w, "EditIP")->isEnabled());
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    EXPECT_EQ(w.RemoteCaption(), "Disconnected");
    EXPECT_EQ(w.Led("RemoteLed")->Color(), 0x0000FFu);
    EXPECT_EQ(w.Port->AutoOpen(), false);
    EXPECT_EQ(w.RemotePort->DeviceLayer(), serial::dlWinsock);
    EXPECT_EQ(MainForm.Count(mcUpdateRadioNumbers), 1);

    // A port missing from the system, and one whose number would wrap to
    // COM3 through 16 bits: neither opens, and the message waits for the
    // event loop instead of holding up the window's creation.
    for (const char* number : {"9", "65539"}) {
        Errors.clear();
        TTestComm& bad = Open("[Ports]\nCOM3=" + Controller.SlavePath() + "\nCOM9=" + Dir.File("absent") +
                              "\n[Comm]\nPort=" + number + "\n");
        EXPECT_TRUE(Errors.empty());
        EXPECT_FALSE(bad.Port->Open()) << number;
        EXPECT_EQ(bad.ComLabel(), "Disabled");
        EXPECT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
        EXPECT_EQ(Errors, std::vector<std::string>{"Error opening COM port"});
    }
}

TEST_F(Settings, OkCancelAndTheModeApplyWhatTheOperatorChose) {
    TTestComm& w = Open(NormalOn());
    comm::SystemReady = true;
    EXPECT_TRUE(w.Port->Open());
    EXPECT_EQ(w.ComLabel(), "Using COM3");
    w.Tick();
    ASSERT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));

    // Cancel with the number unchanged leaves the port open and working.
    w.findChild<QPushButton*>("CancelBtn")->click();
    EXPECT_EQ(w.LinkCaption(), "Ready");
    const int links = Controller.Count("[LINK]");
    w.Tick(TCommControl::LinkTestInterval + 1);
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[LINK]") > links; }));
    EXPECT_TRUE(w.Port->Open());

    // Letters in the port field become the default port when the Client
    // role is applied; the address and port fields are for the Client only.
    edit(w, "EditPort")->setText("abc");
    w.findChild<QRadioButton*>("ComModeClient")->click();
    EXPECT_EQ(w.GetOpMode(), omClient);
    EXPECT_EQ(edit(w, "EditPort")->text(), "54902");
    EXPECT_TRUE(edit(w, "EditIP")->isEnabled());
    EXPECT_TRUE(w.Port->Open()); // same number: left open

    // OK saves; the Port key takes the port's own number.
    edit(w, "EditIP")->setText("127.0.0.1");
    w.findChild<QPushButton*>("OkBtn")->click();
    const std::string saved = ReadAll(Ini);
    EXPECT_NE(saved.find("Port=3\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Mode=1\n"), std::string::npos);
    EXPECT_NE(saved.find("ipAddress=127.0.0.1\n"), std::string::npos);
    EXPECT_NE(saved.find("ipPort=54902\n"), std::string::npos);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(Settings, ThePortListOpensOnAClickOrEnterOnly) {
    TTestComm& w = Open("[Ports]\nCOM3=" + Controller.SlavePath() + "\nCOM4=" + Dir.File("absent") + "\n");
    comm::SystemReady = true;
    QTreeWidget* list = listOf(w);
    for (const char* entry : {"Disable", "COM3", "COM4"})
        new QTreeWidgetItem(list, QStringList{entry});

    // Moving through the list opens nothing (opening raises DTR).
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentItem()->text(0), "COM3");
    EXPECT_FALSE(w.Port->Open());

    // Enter opens; the link test goes out on the next tick.
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_TRUE(w.Port->Open());
    EXPECT_EQ(w.ComLabel(), "Using COM3");
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    w.Tick();
    EXPECT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));

    // A port that cannot be opened.
    w.ComPortBtnClick(list->topLevelItem(2));
    EXPECT_FALSE(w.Port->Open());
    EXPECT_EQ(w.ComLabel(), "Disabled");
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    EXPECT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
    EXPECT_EQ(Errors, std::vector<std::string>{"Error opening COM4"});

    // "Disable".
    w.ComPortBtnClick(list->topLevelItem(0));
    EXPECT_FALSE(w.Port->Open());
    EXPECT_EQ(w.ComLabel(), "COM disabled");
    EXPECT_EQ(w.Port->ComNumber(), 0);
}

TEST_F(Settings, AnUnpluggedAdapterIsOpenedAgainWhenItComesBack) {
    // The settings name a stable path, as /dev/serial/by-id does for an adapter.
    const std::string byId = Dir.File("usb-Dravane-if00");
    std::filesystem::create_symlink(Controller.SlavePath(), byId);
    TTestComm& w = Open("[Ports]\nCOM3=" + byId + "\n[Comm]\nPort=3\nMode=0\n");
    comm::SystemReady = true;
    w.Tick();
    ASSERT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));

    Controller.Unplug();
    std::filesystem::remove(byId);
    ASSERT_TRUE(PumpUntil([&] { return w.Port->DeviceLost(); }));
    MainForm.Codes.clear();
    for (int tick = 0; tick <= TCommControl::LinkTestInterval && w.Port->Open(); ++tick)
        w.Tick();
    EXPECT_FALSE(w.Port->Open());
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    EXPECT_EQ(MainForm.Count(mcCommLinkFail), 1);
    w.Tick(3 * (TCommControl::TimerRate + 1)); // absent: nothing to open
    EXPECT_FALSE(w.Port->Open());

    // Back, but held by another program: said once, not tried again.
    Controller.Replug();
    const int holder = ::open(Controller.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    std::filesystem::create_symlink(Controller.SlavePath(), byId);
    w.Tick(3 * (TCommControl::TimerRate + 1));
    ::close(holder);
    w.Tick(3 * (TCommControl::TimerRate + 1));
    EXPECT_FALSE(w.Port->Open());
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(std::count(Errors.begin(), Errors.end(), "Error opening COM port"), 1);

    // Unplugged and plugged in again: opened at the next list refresh, no message.
    Controller.Unplug();
    std::filesystem::remove(byId);
    w.findChild<QTreeWidget*>("ComListBox")->clear();
    QTreeWidgetItem com3(QStringList{"COM3"});
    w.ComPortBtnClick(&com3); // the device is absent: watched for
    Errors.clear();
    Controller.Replug();
    std::filesystem::create_symlink(Controller.SlavePath(), byId);
    w.Tick(TCommControl::TimerRate + 1);
    ASSERT_TRUE(w.Port->Open());
    EXPECT_EQ(w.ComLabel(), "Using COM3");
    w.Tick();
    EXPECT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(std::count(Errors.begin(), Errors.end(), "Error opening COM port"), 0);
}
