// The serial device layer on pseudo-terminal pairs: the master end plays the
// cable and the controller. The dispatcher is driven directly, with window
// and event handlers standing in for the port component.

#include "serial/Win32Dispatcher.h"
#include "platform/AppException.h"
#include "platform/Event.h"
#include "platform/MessageWindow.h"
#include "platform/SettingsPath.h"
#include "serial/PortErrors.h"
#include "support/EventLoop.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <thread>

using namespace dravane::serial;
using dravane::platform::TEvent;
using dravane::platform::TMessageWindow;
using dravane::test::PtyPair;
using dravane::test::PumpUntil;
using dravane::test::TempDir;
using std::chrono::milliseconds;

namespace {

std::string Pattern(std::size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (std::size_t k = 0; k < n; ++k)
        s[k] = static_cast<char>((k * 31 + k / 251 + seed) & 0xFF);
    return s;
}

// A pty pair mapped to COM7 through a settings file of the test's own.
class TPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string ini = Dir.File("ports.ini");
        dravane::test::WriteAll(ini,
                                "[Ports]\nCOM7=" + Pty.SlavePath() + "\nCOM8=" + Dir.File("gone") + "\n");
        dravane::platform::SetSettingsFileName(ini);
    }
    void TearDown() override {
        dravane::platform::SetErrorSink({});
        dravane::platform::SetSettingsFileName({});
    }
    int Open(TWin32Dispatcher& d, int OutSize = 4096) {
        const int rc =
            d.InitPort("\\\\.\\COM7", 57600, NOPARITY, 8, 1, 4096, OutSize, ipAssertDTR | ipAssertRTS);
        Pty.CloseSlaveKeeper();
        return rc;
    }
    // A window handler the way the port component installs it.
    static void Install(TWin32Dispatcher& d, TMessageWindow& w) {
        d.ChangeLengthTrigger(1);
        d.RegisterWndTriggerHandler(&w);
        d.UpdateHandlerFlags(fuEnablePort);
    }

    TempDir Dir;
    PtyPair Pty;
};

TEST_F(TPortTest, OpensByNumberReportsWhyNotAndProgramsTheLine) {
    TWin32Dispatcher missing;
    EXPECT_EQ(missing.InitPort("COM8", 57600, NOPARITY, 8, 1, 4096, 4096, 0), -2);
    EXPECT_EQ(missing.DeviceErrno(), ENOENT);
    EXPECT_FALSE(missing.CheckPort("COM8"));
    EXPECT_FALSE(missing.CheckPort("COM9"));
    EXPECT_TRUE(missing.CheckPort("COM7"));
    EXPECT_EQ(TWin32Dispatcher::ComNumberOf("\\\\.\\COM12"), 12);
    EXPECT_EQ(TWin32Dispatcher::ComNumberOf("COM1x"), 0);

    {
        // Another holder's lock stops even root.
        const int other = ::open(Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        TWin32Dispatcher held;
        EXPECT_EQ(Open(held), -5);
        ::close(other);
    }

    TWin32Dispatcher d;
    ASSERT_EQ(Open(d), ecOK);
    EXPECT_TRUE(PumpUntil([&] { return d.ActiveThreadCount() == 4; }, milliseconds(3000)));
    EXPECT_THROW(d.StartDispatcher(), std::logic_error);
    termios tio{};
    ASSERT_EQ(::tcgetattr(d.DeviceFd(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B57600);
    EXPECT_EQ(d.ChangeBaud(19200), ecOK);
    ASSERT_EQ(::tcgetattr(d.DeviceFd(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B19200);
    EXPECT_EQ(d.ChangeBaud(12345), ecBaudRate);
    std::int32_t baud = 0;
    int parity = -1, bits = 0, stop = 0;
    d.GetLine(baud, parity, bits, stop);
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(stop, 1);
}

TEST_F(TPortTest, BytesFlowBothWaysWithTheRightCounts) {
    TWin32Dispatcher d;
    ASSERT_EQ(Open(d, 32768), ecOK);
    std::string got;
    int notes = 0, wrongCounts = 0;
    TMessageWindow w([&](std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (Msg != pw_TriggerAvail)
            return 0;
        const int n = static_cast<int>(wParam);
        if (n != d.InBuffUsed())
            ++wrongCounts;
        std::string chunk(static_cast<std::size_t>(n), '\0');
        if (d.GetBlock(chunk.data(), n) != n)
            ++wrongCounts;
        got += chunk;
        ++notes;
        return 0;
    });
    Install(d, w);

    // Status lines written in random pieces, so lines split over notifications.
    std::string sent;
    for (int k = 0; k < 600; ++k)
        sent += "[R98T4BH02" + std::to_string(k % 10) + "0]\r";
    std::thread writer([&] {
        std::mt19937 rng(5);
        for (std::size_t at = 0; at < sent.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng() % 40, sent.size() - at);
            Pty.Write(sent.substr(at, n));
            at += n;
        }
    });
    const bool all = PumpUntil([&] { return got.size() >= sent.size(); });
    writer.join();
    ASSERT_TRUE(all) << got.size() << " of " << sent.size();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(wrongCounts, 0);
    EXPECT_GT(notes, 1);

    // Output: twice 20000 bytes through a 32768-byte buffer, so the second
    // wraps; in pieces while the master reads, so that bytes handed to the
    // driver at once and bytes left to the write thread interleave.
    for (unsigned round = 0; round < 2; ++round) {
        const std::string out = Pattern(20000, round);
        std::string arrived;
        std::thread reader([&] { arrived = Pty.Read(out.size(), 5000); });
        for (std::size_t at = 0; at < out.size(); at += 500)
            ASSERT_EQ(d.PutString(std::string_view(out).substr(at, 500)), ecOK);
        reader.join();
        EXPECT_TRUE(arrived == out) << arrived.size() << " bytes";
    }
}

// A quiet port wakes none of its threads, yet a timer set and a byte
// arriving meanwhile are served at once.
TEST_F(TPortTest, QuietPortSleepsButAnswersAtOnce) {
    TWin32Dispatcher d;
    ASSERT_EQ(Open(d), ecOK);
    std::atomic<int> timers{0};
    std::string got;
    TMessageWindow w([&](std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (Msg == pw_TriggerTimer)
            ++timers;
        if (Msg == pw_TriggerAvail) {
            std::string chunk(wParam, '\0');
            d.GetBlock(chunk.data(), static_cast<int>(wParam));
            got += chunk;
        }
        return 0;
    });
    Install(d, w);
    TEvent never;
    never.Wait(milliseconds(200)); // the cycles of the start have passed
    const std::uint64_t reads = d.ReadWakeups(), cycles = d.DispatchWaits();
    never.Wait(milliseconds(1000));
    EXPECT_LE(d.ReadWakeups() - reads, 1u);
    EXPECT_LE(d.DispatchWaits() - cycles, 2u);

    // One tick (55 ms) set while the dispatcher sleeps.
    const auto timer = static_cast<std::uint16_t>(d.AddTimerTrigger());
    d.SetTimerTrigger(timer, 1, true);
    EXPECT_TRUE(PumpUntil([&] { return timers.load() == 1; }, milliseconds(1500)));
    Pty.Write("[LINKOK]\r");
    EXPECT_TRUE(PumpUntil([&] { return got == "[LINKOK]\r"; }, milliseconds(1500))) << got;
    d.DonePort();
}

TEST_F(TPortTest, PulledCableEndsEveryThreadAndReportsOnce) {
    std::vector<std::string> shown;
    dravane::platform::SetErrorSink([&](const std::string& text) { shown.push_back(text); });
    TWin32Dispatcher d;
    ASSERT_EQ(Open(d), ecOK);
    Pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return d.ActiveThreadCount() == 0 && !shown.empty(); }));
    EXPECT_FALSE(d.ThreadsActive());
    EXPECT_EQ(shown, std::vector<std::string>{"Device read error"});

    // Nothing sends any more: the output buffer fills up.
    const std::string block(100, 'x');
    int accepted = 0, rc;
    while ((rc = d.PutString(block)) == ecOK)
        ++accepted;
    EXPECT_EQ(rc, ecOutputBufferTooSmall);
    EXPECT_EQ(accepted, 4096 / 100);

    d.DonePort();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(shown.size(), 1u);
}

// Closes while a notification waits for the UI thread (not pumping here) and
// bytes flow both ways.
TEST_F(TPortTest, CloseWhileANotificationWaitsEndsEveryThread) {
    for (int round = 0; round < 200; ++round) {
        PtyPair pty;
        const std::string ini = Dir.File("ports.ini");
        dravane::test::WriteAll(ini, "[Ports]\nCOM7=" + pty.SlavePath() + "\n");
        TWin32Dispatcher d;
        ASSERT_EQ(d.InitPort("COM7", 57600, NOPARITY, 8, 1, 4096, 4096, 0), ecOK);
        pty.CloseSlaveKeeper();
        TEvent queued(TEvent::rmManual);
        TMessageWindow w([&](std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t { return 0; });
        w.SetProbe([&](TMessageWindow::TProbe p) {
            if (p == TMessageWindow::prQueued)
                queued.Set();
        });
        Install(d, w);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop) {
                if (::write(pty.Master(), "0123456789", 10) < 0) {
                    pollfd p{pty.Master(), POLLOUT, 0};
                    ::poll(&p, 1, 10);
                }
            }
        });
        ASSERT_EQ(d.PutString(Pattern(1000)), ecOK);
        ASSERT_TRUE(queued.Wait(milliseconds(5000)));
        if (round % 2 == 0) {
            EXPECT_EQ(d.CloseCom(), 0);
            EXPECT_EQ(d.ActiveThreadCount(), 0);
            EXPECT_EQ(d.ComHandle(), -1);
        } else {
            // A close during a delivery only marks itself: the threads end
            // by themselves and the destructor joins them.
            d.DonePort();
            EXPECT_TRUE(d.IsClosePending());
            EXPECT_TRUE(PumpUntil([&] { return !d.ThreadsActive(); }));
        }
        stop = true;
        writer.join();
    }
}

// A flood the handler does not read: memory stays bounded, the read thread
// sleeps instead of spinning, and every byte arrives once the handler reads.
TEST_F(TPortTest, FloodIsBoundedWithoutSpinningAndLosesNothing) {
    TWin32Dispatcher d;
    ASSERT_EQ(Open(d), ecOK);
    struct THandler {
        TWin32Dispatcher* D = nullptr;
        std::atomic<bool> Hold{true};
        std::string Got; // dispatcher thread only until Done
        std::size_t Expected = 0;
        TEvent Done{TEvent::rmManual};
        std::uint16_t Timer = 0;
        void Handle(std::uint32_t Msg, std::uintptr_t, std::intptr_t) {
            if (Msg == pw_TriggerTimer)
                D->SetTimerTrigger(Timer, 1, true);
            if (Hold || Done.IsSet())
                return;
            const int n = D->InBuffUsed();
            std::string chunk(static_cast<std::size_t>(n), '\0');
            D->GetBlock(chunk.data(), n);
            Got += chunk;
            if (Got.size() >= Expected)
                Done.Set();
        }
    } h;
    h.D = &d;
    const std::string sent = Pattern(512 * 1024, 7);
    h.Expected = sent.size();
    d.ChangeLengthTrigger(1);
    h.Timer = static_cast<std::uint16_t>(d.AddTimerTrigger());
    d.SetTimerTrigger(h.Timer, 1, true);
    d.RegisterEventTriggerHandler(TNotifyEvent::Bind<THandler, &THandler::Handle>(&h));

    std::thread writer([&] {
        for (std::size_t at = 0; at < sent.size();) {
            const ssize_t n = ::write(Pty.Master(), sent.data() + at, sent.size() - at);
            if (n > 0) {
                at += static_cast<std::size_t>(n);
                continue;
            }
            pollfd p{Pty.Master(), POLLOUT, 0};
            ::poll(&p, 1, 200);
        }
    });
    // The handler holds, so once the dispatch buffer is full nothing takes
    // from the queue: a pause of the read thread after that is for good.
    ASSERT_TRUE(PumpUntil([&] { return d.InBuffUsed() == DispatchBufferSize; }, std::chrono::seconds(20)));
    const std::uint64_t pauses = d.ReadPauses();
    ASSERT_TRUE(PumpUntil([&] { return d.ReadPauses() > pauses; }));
    EXPECT_LE(d.QueuedBytes(), IOQueueDataSlots * IO_BUFFER_SIZE);
    const std::uint64_t before = d.ReadWakeups(), cycles = d.DispatchWaits();
    TEvent never;
    never.Wait(milliseconds(1000)); // the observation window
    EXPECT_LE(d.ReadWakeups() - before, 4u);
    EXPECT_LE(d.DispatchWaits() - cycles, 40u); // one 50 ms wait per cycle, not a busy loop

    h.Hold = false;
    const bool done = h.Done.Wait(milliseconds(30000));
    writer.join();
    ASSERT_TRUE(done);
    d.DeregisterEventTriggerHandler(TNotifyEvent::Bind<THandler, &THandler::Handle>(&h));
    d.DonePort();
    EXPECT_TRUE(h.Got == sent) << h.Got.size() << " of " << sent.size();
}

// Threads of this process whose nice value is `nice`.
int ThreadsAtNice(int nice) {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* e = dir ? ::readdir(dir) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string line;
        std::getline(in, line);
        // Fields after the command's closing parenthesis; nice is field 19.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int k = 3; k <= 19 && rest >> field; ++k) {
        }
        count += !field.empty() && std::stoi(field) == nice;
    }
    if (dir)
        ::closedir(dir);
    return count;
}

TEST_F(TPortTest, ThreadBoostRaisesEveryThreadWherePermitted) {
    if (::geteuid() != 0 || ::getpriority(PRIO_PROCESS, 0) != 0)
        GTEST_SKIP() << "raising a priority needs root at nice 0";
    TWin32Dispatcher d;
    ASSERT_EQ(Open(d), ecOK);
    ASSERT_TRUE(PumpUntil([&] { return d.ActiveThreadCount() == 4; }, milliseconds(3000)));
    EXPECT_EQ(ThreadsAtNice(-10), 0);
    d.SetThreadBoost(tbPlusTwo);
    EXPECT_EQ(ThreadsAtNice(-10), 4);
    d.SetThreadBoost(tbNone);
    EXPECT_EQ(ThreadsAtNice(-10), 0);
}

TEST(IOQueue, BoundedStatusKeptAndSpaceAnnounced) {
    TIOQueue q(2, 2);
    int spaced = 0;
    q.SetSpaceCallback([&] { ++spaced; });
    const std::string a = Pattern(300);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(a.data());
    EXPECT_TRUE(q.PushData(bytes, 256));
    q.PushStatus(evCts);
    EXPECT_TRUE(q.PushData(bytes + 256, 44));
    EXPECT_FALSE(q.PushData(bytes, 1)); // full: nothing taken
    EXPECT_TRUE(q.DataFull());
    q.PushStatus(evDsr);
    q.PushStatus(evRlsd); // out of status slots: merged into the newest
    EXPECT_EQ(q.BytesQueued(), 300);

    std::uint8_t buf[512];
    EXPECT_EQ(q.TakeStatus(), 0u); // data first
    EXPECT_EQ(q.Read(buf, 100), 100);
    EXPECT_EQ(spaced, 0);
    EXPECT_EQ(q.HeadDataUnread(), 156);
    EXPECT_EQ(q.Read(buf + 100, 500), 156); // stops at the status item
    EXPECT_EQ(spaced, 1);
    EXPECT_TRUE(q.WaitForItem(0, false)); // a status item is always usable
    EXPECT_EQ(q.TakeStatus(), evCts);
    EXPECT_FALSE(q.WaitForItem(0, false)); // data at the head, ring full
    EXPECT_TRUE(q.WaitForItem(0, true));
    EXPECT_EQ(q.Read(buf + 256, 500), 44);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 300), a);
    EXPECT_EQ(q.TakeStatus(), evDsr | evRlsd);
    EXPECT_FALSE(q.WaitForItem(0));
    EXPECT_EQ(q.BytesQueued(), 0);
}

} // namespace
