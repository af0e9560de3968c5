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
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
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
    return PumpUntil([n] { return ThreadCount() == n; });
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

// Counts the live copies of a handler's closure: a handler that destroys its
// port must still have one while it runs.
struct TClosureGuard {
    static inline int Live = 0;
    TClosureGuard() { ++Live; }
    TClosureGuard(const TClosureGuard&) { ++Live; }
    ~TClosureGuard() { --Live; }
};

// Holds the UI thread until the port's dispatcher is delivering a
// notification, which then waits for this thread; false after ten seconds.
bool NotificationWaits(TCustomComPort& Port) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Port.DispatcherOrNull()->EventBusy()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// A serial dispatcher whose open is slow: it finishes only once a whole
// dispatch cycle has offered the bytes waiting on the line while the port
// is otherwise ready (no window is there yet to hear of them).
class TSlowOpenDispatcher : public TWin32Dispatcher {
public:
    TSlowOpenDispatcher(TCustomComPort* Owner, int Waiting) : TWin32Dispatcher(Owner), FWaiting(Waiting) {}
    bool WaitForComItem(int TimeoutMs) override {
        {
            std::lock_guard lock(FLock);
            if (FArmed && InBuffUsed() >= FWaiting)
                ++FCycles;
        }
        FChanged.notify_all();
        return TWin32Dispatcher::WaitForComItem(TimeoutMs);
    }
    void SetThreadBoost(TThreadBoost Boost) override {
        {
            std::unique_lock lock(FLock);
            FArmed = true;
            FChanged.wait_for(lock, 3s, [this] { return FCycles >= 2; });
        }
        TWin32Dispatcher::SetThreadBoost(Boost);
    }

private:
    const int FWaiting;
    std::mutex FLock;
    std::condition_variable FChanged; // FLock
    bool FArmed = false;              // FLock
    int FCycles = 0;                  // FLock: cycle starts seen with the bytes in the ring
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

// ---- reception ----

// Bytes that wait on the line at the open are announced, also when the
// dispatcher offered them before the port's window existed.
TEST_F(PtyPort, BytesWaitingAtOpenAreAnnounced) {
    const std::string line = "[R01T4BH0203]\r";
    Port.SetCustomDispatcher([&](TCustomComPort* Owner) -> std::unique_ptr<TBaseDispatcher> {
        return std::make_unique<TSlowOpenDispatcher>(Owner, static_cast<int>(line.size()));
    });
    CollectAvail();
    Pty[0]->Write(line);
    Port.SetOpen(true);
    EXPECT_TRUE(PumpUntil([&] { return Got == line; })) << Got.size() << " bytes announced";
}

// A zero-interval timer reads while notifications are delivered: every byte
// arrives once, in order, whoever reads it.
TEST_F(PtyPort, ReadsOutsideTheHandlerNeitherDuplicateNorLoseBytes) {
    std::string sent(256 * 1024, '\0');
    for (std::size_t k = 0; k < sent.size(); ++k)
        sent[k] = static_cast<char>(k % 251);
    Port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t) {
        while (CP->CharReady())
            Got += static_cast<char>(CP->GetChar());
    });
    Port.SetOpen(true);
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] {
        for (int k = 0; k < 3 && Port.CharReady(); ++k)
            Got += static_cast<char>(Port.GetChar());
    });
    reader.start(0);
    std::thread writer([&] {
        ::pthread_setname_np(::pthread_self(), "dvn-writer");
        Pty[0]->Write(sent);
    });
    const bool all = PumpUntil([&] { return Got.size() >= sent.size(); }, 20s);
    writer.join();
    ASSERT_TRUE(all) << Got.size() << " of " << sent.size();
    EXPECT_EQ(Got.size(), sent.size());
    EXPECT_TRUE(Got == sent) << "bytes read twice or out of order";
}

// ---- the close contract ----

// A timer doing what the Communications window does, each time while a
// notification waits for the UI thread: the close is complete when it
// returns and the next open's failure reaches its caller.
TEST_F(PtyPort, CloseOutsideTheHandlersIsCompleteWhenItReturnsAndAFailedOpenRaises) {
    CollectAvail();
    TFeeder feeder(Pty[0]->Master());
    for (int round = 0; round < 20; ++round) {
        Port.SetComNumber(7);
        Port.SetOpen(true);
        bool fired = false;
        QTimer::singleShot(0, [&] {
            fired = true;
            ASSERT_TRUE(NotificationWaits(Port));
            Port.SetOpen(false);
            EXPECT_FALSE(Port.Open()) << "round " << round;
            EXPECT_EQ(Port.DispatcherOrNull(), nullptr);
            dravane::platform::TSerialDevice other;
            EXPECT_EQ(other.Open(Pty[0]->SlavePath()), 0) << "the device is still held";
            other.Close();
            Port.SetComNumber(8);
            EXPECT_THROW(Port.SetOpen(true), EBadId) << "round " << round;
        });
        ASSERT_TRUE(PumpUntil([&] { return fired; }));
    }
    EXPECT_TRUE(ThreadsAre(Baseline + 1)); // the feeder's
    EXPECT_TRUE(Shown.empty());
}

// A port destroyed inside its own event frees the device before the destroy
// returns, so a replacement opens at once; the running handler keeps its closure.
TEST_F(PtyPort, APortDestroyedInsideItsOwnEventFreesTheDeviceAndKeepsTheRunningHandler) {
    for (int round = 0; round < 10; ++round) {
        auto doomed = std::make_unique<TComPort>();
        doomed->SetAutoOpen(false);
        doomed->SetComNumber(9);
        std::unique_ptr<TComPort> next = std::make_unique<TComPort>();
        next->SetAutoOpen(false);
        next->SetComNumber(9);
        bool done = false;
        doomed->SetOnTriggerAvail([&, guard = TClosureGuard()](TCustomComPort*, std::uint16_t) {
            doomed.reset();
            EXPECT_GT(TClosureGuard::Live, 0) << "the running handler was freed";
            EXPECT_NO_THROW(next->SetOpen(true));
            done = true;
        });
        doomed->SetOpen(true);
        Pty[1]->Write("x");
        ASSERT_TRUE(PumpUntil([&] { return done; }));
        EXPECT_TRUE(next->Open());
        next->PutString("n");
        EXPECT_EQ(Pty[1]->Read(1), "n");
        next.reset();
        EXPECT_TRUE(ThreadsAre(Baseline)) << "round " << round;
    }
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
