// The com port component over real termios devices: pseudo-terminal pairs
// mapped to COM numbers, the master end playing the cable and the controller.

#include "platform/AppException.h"
#include "platform/SerialDevice.h"
#include "platform/SettingsPath.h"
#include "serial/ComPort.h"
#include "serial/PortException.h"
#include "serial/SelectPortDialog.h"
#include "serial/Win32Dispatcher.h"
#include "support/EventLoop.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"

#include <QComboBox>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace dravane::serial;
using dravane::test::PtyPair;
using dravane::test::PumpUntil;
using dravane::test::TempDir;
using namespace std::chrono_literals;

namespace {

// Counts the port's own threads (and the test's feeder), by their "dvn-"
// names: Qt and GLib may start threads of their own at any moment.
int ThreadCount() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(e.path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name.rfind("dvn-", 0) == 0 ? 1 : 0;
    }
    return n;
}

// The kernel lists a joined thread for a moment after join has returned;
// a thread that still runs stays listed.
bool ThreadsAre(int n) {
    return PumpUntil([n] { return ThreadCount() == n; }, 2s);
}

// Writes on a master end until stopped; the device's end may come and go.
class TFeeder {
public:
    explicit TFeeder(int Master)
        : FThread([this, Master] {
              ::pthread_setname_np(::pthread_self(), "dvn-feeder");
              const std::string chunk = "[R98T4BH0203]\r";
              while (!FStop) {
                  pollfd p{Master, POLLOUT, 0};
                  if (::poll(&p, 1, 10) > 0 && (p.revents & POLLOUT))
                      (void)!::write(Master, chunk.data(), chunk.size());
              }
          }) {}
    ~TFeeder() {
        FStop = true;
        FThread.join();
    }
    TFeeder(const TFeeder&) = delete;
    TFeeder& operator=(const TFeeder&) = delete;

private:
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Two pty pairs mapped to COM7 and COM9, COM8 to a device that is not there.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        Pty[0] = std::make_unique<PtyPair>();
        Pty[1] = std::make_unique<PtyPair>();
        WriteTable();
        Port.SetAutoOpen(false);
        Port.SetComNumber(7);
        Port.SetBaud(57600);
        // ThreadSanitizer starts a helper thread with the first thread; let that happen first.
        std::thread([] {}).join();
        Baseline = ThreadCount();
        dravane::platform::SetErrorSink([this](const std::string& text) { Shown.push_back(text); });
    }
    void TearDown() override {
        Port.SetOnTriggerAvail({});
        Port.SetOnTriggerData({});
        Port.SetOpen(false);
        EXPECT_TRUE(PumpUntil([&] { return Port.PortState() == psClosed; }));
        dravane::platform::SetErrorSink({});
        dravane::platform::SetSettingsFileName({});
    }
    void WriteTable() {
        const std::string ini = Dir.File("ports.ini");
        dravane::test::WriteAll(ini, "[Ports]\nCOM7=" + Pty[0]->SlavePath() + "\nCOM8=" + Dir.File("gone") +
                                         "\nCOM9=" + Pty[1]->SlavePath() + "\n");
        dravane::platform::SetSettingsFileName(ini);
    }
    int DeviceFd() {
        auto* d = dynamic_cast<TWin32Dispatcher*>(Port.DispatcherOrNull());
        return d ? d->DeviceFd() : -1;
    }
    void CollectAvail() {
        Port.SetOnTriggerAvail([this](TCustomComPort* CP, std::uint16_t Count) {
            Counts.push_back(Count);
            OnUiThread = OnUiThread && std::this_thread::get_id() == UiThread;
            for (int k = 0; k < Count; ++k)
                Got += static_cast<char>(CP->GetChar());
        });
    }

    TempDir Dir;
    std::unique_ptr<PtyPair> Pty[2];
    TComPort Port;
    int Baseline = 0;
    std::vector<std::string> Shown;
    std::string Got;
    std::vector<int> Counts;
    const std::thread::id UiThread = std::this_thread::get_id();
    bool OnUiThread = true;
};

TEST_F(PtyPort, OpensByNumberAndCarriesBytesBothWays) {
    CollectAvail();
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open());
    EXPECT_TRUE(ThreadsAre(Baseline + 4));
    Port.PutString("[R98T4AH02]\r");
    EXPECT_EQ(Pty[0]->Read(12), "[R98T4AH02]\r");

    // A status line split in two writes, collected across notifications.
    Pty[0]->Write("[R01T4BH");
    ASSERT_TRUE(PumpUntil([&] { return Got.size() == 8; }));
    Pty[0]->Write("0203]\r");
    ASSERT_TRUE(PumpUntil([&] { return Got.size() == 14; }));
    EXPECT_EQ(Got, "[R01T4BH0203]\r");
    EXPECT_GE(Counts.size(), 2u);
    EXPECT_TRUE(OnUiThread);

    // With no notification in delivery the close completes before it returns.
    ASSERT_TRUE(PumpUntil([&] { return !Port.DispatcherOrNull()->EventBusy(); }));
    Port.SetOpen(false);
    EXPECT_FALSE(Port.Open());
    EXPECT_EQ(Port.PortState(), psClosed);
    EXPECT_TRUE(ThreadsAre(Baseline));
}

TEST_F(PtyPort, OpenFailuresThenAGoodOpen) {
    Port.SetComNumber(8);
    EXPECT_THROW(Port.SetOpen(true), EBadId);
    EXPECT_FALSE(Port.Open());

    // Another holder has the device locked (root ignores TIOCEXCL; the lock holds).
    {
        dravane::platform::TSerialDevice holder;
        ASSERT_EQ(holder.Open(Pty[0]->SlavePath()), 0);
        Port.SetComNumber(7);
        EXPECT_THROW(Port.SetOpen(true), EAlreadyOpen);
        EXPECT_FALSE(Port.Open());
        EXPECT_EQ(Port.DispatcherOrNull(), nullptr);
    }
    Port.SetComNumber(0);
    Port.SetPromptForPort(false);
    EXPECT_THROW(Port.SetOpen(true), ENoPortSelected);
    EXPECT_TRUE(ThreadsAre(Baseline));

    Port.SetComNumber(7);
    Port.SetOpen(true);
    EXPECT_TRUE(Port.Open());
    Port.PutString("ok");
    EXPECT_EQ(Pty[0]->Read(2), "ok");
}

TEST_F(PtyPort, CloseInsideOnTriggerAvailWhileBytesFlowCompletesAndEndsTheThreads) {
    int events = 0;
    Port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t Count) {
        ++events;
        CP->GetChar();
        if (events == 3) {
            CP->SetOpen(false);
            EXPECT_TRUE(CP->Open()); // deferred until this handler has returned
        }
        (void)Count;
    });
    Port.SetOpen(true);
    {
        TFeeder feeder(Pty[0]->Master());
        ASSERT_TRUE(PumpUntil([&] { return !Port.Open(); }));
    }
    EXPECT_EQ(Port.PortState(), psClosed);
    EXPECT_TRUE(ThreadsAre(Baseline));
    EXPECT_TRUE(Shown.empty());
}

TEST_F(PtyPort, CloseFromATimerWhileBytesFlowBothWays) {
    CollectAvail();
    TFeeder feeder(Pty[0]->Master());
    for (int round = 0; round < 20; ++round) {
        Port.SetOpen(true);
        bool fired = false;
        QTimer::singleShot(round % 7, [&] {
            Port.PutString("[R98T4AH02]\r");
            Port.SetOpen(false);
            fired = true;
        });
        ASSERT_TRUE(PumpUntil([&] { return fired && !Port.Open(); }));
        EXPECT_TRUE(ThreadsAre(Baseline + 1)); // the feeder's
    }
    EXPECT_TRUE(Shown.empty());
}

// The close meets a notification queued for the port's window and not yet
// handled, while the master writes and the port writes.
TEST_F(PtyPort, CloseWithANotificationWaitingRepeated) {
    int events = 0;
    Port.SetOnTriggerAvail([&](TCustomComPort*, std::uint16_t) { ++events; });
    TFeeder feeder(Pty[0]->Master());
    for (int round = 0; round < 300; ++round) {
        Port.SetOpen(true);
        Port.PutString("[R98T4AH02]\r");
        // No event processing here: the first notification waits for this thread.
        auto* d = Port.DispatcherOrNull();
        for (int k = 0; k < 2000 && d->InBuffUsed() == 0; ++k)
            std::this_thread::yield();
        Port.SetOpen(false);
        ASSERT_TRUE(PumpUntil([&] { return !Port.Open(); })) << "round " << round;
        ASSERT_TRUE(ThreadsAre(Baseline + 1)) << "round " << round; // the feeder's
    }
    EXPECT_TRUE(Shown.empty());
}

// ---- device loss ----

TEST_F(PtyPort, CablePulledReportsOnceMarksTheDeviceLostRefusesWritesAndTheDeviceComesBack) {
    Port.SetOutSize(64);
    CollectAvail();
    Port.SetOpen(true);
    EXPECT_FALSE(Port.DeviceLost());
    Pty[0]->CloseSlaveKeeper();
    Pty[0]->CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !Shown.empty() && ThreadCount() == Baseline; }));
    dravane::test::RunFor(200ms); // a second report would arrive here
    EXPECT_EQ(Shown, std::vector<std::string>{"Device read error"});
    EXPECT_TRUE(Port.Open());
    EXPECT_TRUE(Port.DeviceLost());

    // Nothing would take the bytes out: every write says why at once.
    for (int k = 0; k < 10; ++k) {
        try {
            Port.PutString("0123456789");
            ADD_FAILURE() << "write " << k << " was queued on a lost device";
            break;
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Device read error");
        }
    }
    EXPECT_EQ(Port.OutBuffUsed(), 0);

    Port.SetOpen(false);
    EXPECT_FALSE(Port.Open());
    EXPECT_FALSE(Port.DeviceLost());
    Pty[0] = std::make_unique<PtyPair>();
    WriteTable();
    Port.SetOpen(true);
    EXPECT_FALSE(Port.DeviceLost());
    Pty[0]->Write("back");
    ASSERT_TRUE(PumpUntil([&] { return Got == "back"; }));
    Port.PutString("ok");
    EXPECT_EQ(Pty[0]->Read(2), "ok");
}

TEST_F(PtyPort, ComNumberChangeOnAnOpenPortKeepsItsTriggers) {
    std::vector<std::uint16_t> hits;
    Port.SetOnTriggerData([&](TCustomComPort*, std::uint16_t h) { hits.push_back(h); });
    Port.SetOpen(true);
    const std::uint16_t ok = Port.AddDataTrigger("OK", false);
    Port.SetComNumber(9);
    ASSERT_TRUE(Port.Open());
    Pty[1]->Write("xOKy");
    ASSERT_TRUE(PumpUntil([&] { return !hits.empty(); }));
    EXPECT_EQ(hits, std::vector<std::uint16_t>{ok});
    Port.PutString("9");
    EXPECT_EQ(Pty[1]->Read(1), "9");
    EXPECT_TRUE(ThreadsAre(Baseline + 4));
}

TEST_F(PtyPort, BaudAppliesAtTheNextOpenOrAtOnce) {
    Port.SetBaud(9600);
    Port.SetOpen(true);
    termios t{};
    ASSERT_EQ(::tcgetattr(DeviceFd(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    Port.SetBaud(57600);
    ASSERT_EQ(::tcgetattr(DeviceFd(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B57600);
    EXPECT_EQ(::cfgetispeed(&t), B57600);
    Port.SetOpen(false);
    Port.SetBaud(19200);
    Port.SetOpen(true);
    ASSERT_EQ(::tcgetattr(DeviceFd(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
}

TEST_F(PtyPort, SelectPortListsTheMappedDevicesThatExist) {
    TWin32Dispatcher probe;
    TComSelectForm form([&](int n) { return probe.CheckPort("COM" + std::to_string(n)); });
    auto* list = form.findChild<QComboBox*>("PortsComboBox");
    ASSERT_NE(list, nullptr);
    EXPECT_NE(list->findText("COM7"), -1);
    EXPECT_NE(list->findText("COM9"), -1);
    EXPECT_EQ(list->findText("COM8"), -1);
}

} // namespace
