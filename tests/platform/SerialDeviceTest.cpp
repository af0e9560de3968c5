#include "platform/SerialDevice.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <thread>

using namespace dravane::platform;
using dravane::test::PtyPair;

namespace {
std::string readAvailable(TSerialDevice& dev, const TWakeFd& wake, std::size_t count) {
    std::string out;
    char buf[256];
    while (out.size() < count) {
        if (dev.WaitReadable(wake, 10000) != TWaitResult::Ready)
            break;
        const auto n = dev.Read(buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}
} // namespace

TEST(SerialDevice, BytesPassBothWaysUnchanged) {
    PtyPair pty;
    TSerialDevice dev;
    ASSERT_EQ(dev.Open(pty.SlavePath()), 0);
    pty.CloseSlaveKeeper();
    TWakeFd wake;
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    ASSERT_EQ(dev.Write(all.data(), all.size()), 256);
    EXPECT_EQ(pty.Read(256), all);
    pty.Write(all);
    EXPECT_EQ(readAvailable(dev, wake, 256), all);
    char c;
    EXPECT_EQ(dev.Read(&c, 1), 0); // nothing waiting: no block, no error
}

TEST(SerialDevice, OpenFailuresKeepTheirReason) {
    PtyPair pty;
    dravane::test::TempDir dir;
    TSerialDevice dev;
    EXPECT_EQ(dev.Open(dir.File("no-such-tty")), -ENOENT);
    EXPECT_EQ(dev.Open(dir.Path().string()), -EISDIR);
    ASSERT_EQ(dev.Open(pty.SlavePath()), 0);
    TSerialDevice second; // held by another: the lock refuses, even for root
    EXPECT_EQ(second.Open(pty.SlavePath()), -EWOULDBLOCK);
    dev.Close();
    EXPECT_EQ(second.Open(pty.SlavePath()), 0);
}

TEST(SerialDevice, LineSettingsReadBackAndUnsupportedRateChangesNothing) {
    PtyPair pty;
    TSerialDevice dev;
    ASSERT_EQ(dev.Open(pty.SlavePath()), 0);
    TLineSettings s;
    ASSERT_EQ(dev.GetLine(s), 0);
    EXPECT_EQ(s.Baud, 57600u);
    EXPECT_EQ(s.DataBits, 8);
    EXPECT_EQ(s.Parity, TParity::None);
    EXPECT_EQ(s.StopBits, 1);

    // Pseudo-terminals force 8 bits without parity; rate, stop bits and flow stick.
    TLineSettings want{9600, 8, TParity::None, 2, true, true, false, 0x11, 0x13};
    ASSERT_EQ(dev.SetLine(want), 0);
    TLineSettings got;
    ASSERT_EQ(dev.GetLine(got), 0);
    EXPECT_EQ(got.Baud, 9600u);
    EXPECT_EQ(got.StopBits, 2);
    EXPECT_TRUE(got.RtsCts);
    EXPECT_TRUE(got.XonXoffOut);
    EXPECT_FALSE(got.XonXoffIn);

    TLineSettings bad = want;
    bad.Baud = 12345;
    EXPECT_EQ(dev.SetLine(bad), -EINVAL);
    bad = want;
    bad.DataBits = 9;
    EXPECT_EQ(dev.SetLine(bad), -EINVAL);
    ASSERT_EQ(dev.GetLine(got), 0);
    EXPECT_EQ(got.Baud, 9600u);
    EXPECT_FALSE(TSerialDevice::SupportedBaud(12345));
    EXPECT_TRUE(TSerialDevice::SupportedBaud(57600));
}

TEST(SerialDevice, ModemCallsThatPseudoTerminalsLackAreHarmless) {
    PtyPair pty;
    TSerialDevice dev;
    ASSERT_EQ(dev.Open(pty.SlavePath()), 0);
    EXPECT_EQ(dev.SetDtr(true), 0);
    EXPECT_EQ(dev.SetRts(false), 0);
    TModemState state;
    EXPECT_EQ(dev.GetModemState(state), 0);
    EXPECT_FALSE(state.Counted);
}

TEST(SerialDevice, WaitEndsOnDataWakeTimeOutAndHangUp) {
    PtyPair pty;
    TSerialDevice dev;
    ASSERT_EQ(dev.Open(pty.SlavePath()), 0);
    pty.CloseSlaveKeeper();
    TWakeFd wake;
    EXPECT_EQ(dev.WaitReadable(wake, 0), TWaitResult::TimedOut);

    std::thread waker([&] { wake.Wake(); });
    EXPECT_EQ(dev.WaitReadable(wake, 10000), TWaitResult::Woken);
    waker.join();
    wake.Drain();
    EXPECT_EQ(dev.WaitReadable(wake, 0), TWaitResult::TimedOut);

    pty.Write("x");
    EXPECT_EQ(dev.WaitReadable(wake, 10000), TWaitResult::Ready);
    char c;
    EXPECT_EQ(dev.Read(&c, 1), 1);

    pty.CloseMaster(); // the cable is pulled
    const auto r = dev.WaitReadable(wake, 10000);
    EXPECT_TRUE(r == TWaitResult::HangUp || r == TWaitResult::Ready);
    EXPECT_EQ(dev.Read(&c, 1), -EIO);
    EXPECT_EQ(dev.Write("y", 1), -EIO);
}
