#include "comm/GetComPorts.h"
#include "support/FakeTtyTree.h"
#include "support/TempDir.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using dravane::comm::GetComPorts;
using dravane::comm::PortDetailText;
using dravane::comm::TGetComPorts;
using dravane::platform::TComPortInfo;
using dravane::test::FakeTtyTree;
using dravane::test::TempDir;

namespace {

struct Discovery : ::testing::Test {
    TempDir dir;
    FakeTtyTree tree{dir.Path()};

    std::unique_ptr<TGetComPorts> make() {
        return std::make_unique<TGetComPorts>(dir.File("dravane.ini"), tree.SysfsRoot(), tree.ByIdDir());
    }
};

QStringList entries(std::initializer_list<const char*> names) {
    QStringList list;
    for (const char* n : names)
        list << QString::fromLatin1(n);
    return list;
}

} // namespace

TEST_F(Discovery, ListsDisableThenEachPortAndFollowsTheCountOfPorts) {
    tree.AddVirtual("tty1");
    tree.AddUart(0, 4);
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", "usb-FTDI-if00-port0");
    auto ports = make();
    EXPECT_EQ(ports->GetPortList(), entries({"Disable", "COM1", "COM2"}));
    ASSERT_EQ(ports->GetPortDetails().size(), 3u);
    EXPECT_EQ(ports->GetPortDetails()[0], TComPortInfo{});
    EXPECT_EQ(ports->GetPortDetails()[2], (TComPortInfo{2, "/dev/ttyUSB0", "FTDI", "FT232R USB UART"}));

    tree.AddUsb("ttyACM0", "Arduino", "Uno");
    ports->Timer1Timer();
    EXPECT_EQ(ports->GetPortList(), entries({"Disable", "COM1", "COM2", "COM3"}));
    EXPECT_EQ(ports->GetPortDetails()[3].DevicePath, "/dev/ttyACM0");

    // Same count after a swap: the list is left as it was, stale entry included.
    tree.Remove("ttyACM0");
    tree.AddUsb("ttyUSB1", "Prolific", "PL2303");
    ports->Timer1Timer();
    EXPECT_EQ(ports->GetPortList(), entries({"Disable", "COM1", "COM2", "COM3"}));
    EXPECT_EQ(ports->GetPortDetails()[3].DevicePath, "/dev/ttyACM0");

    // The count moves: rebuilt, and the new adapter did not take the absent one's number.
    tree.Remove("ttyUSB0", "usb-FTDI-if00-port0");
    ports->Timer1Timer();
    EXPECT_EQ(ports->GetPortList(), entries({"Disable", "COM1", "COM4"}));
    EXPECT_EQ(ports->GetPortDetails()[2].DevicePath, "/dev/ttyUSB1");
}

TEST_F(Discovery, NoPortsGivesAnEmptyListWithoutDisable) {
    tree.AddVirtual("tty0");
    tree.AddUart(0, 0);
    tree.AddUart(1, 0);
    auto ports = make();
    EXPECT_TRUE(ports->GetPortList().isEmpty());
    EXPECT_TRUE(ports->GetPortDetails().empty());
}

TEST_F(Discovery, AFailedRefreshKeepsTheList) {
    tree.AddUart(0, 4);
    tree.AddUart(1, 4);
    auto ports = make();
    const auto before = ports->GetPortList();
    ASSERT_EQ(before.size(), 3);
    const auto root = std::filesystem::path(tree.SysfsRoot());
    std::filesystem::rename(root, root.string() + ".away");
    ports->Timer1Timer();
    EXPECT_EQ(ports->GetPortList(), before);
    std::filesystem::rename(root.string() + ".away", root);
    tree.AddUart(2, 4);
    ports->Timer1Timer();
    EXPECT_EQ(ports->GetPortList(), entries({"Disable", "COM1", "COM2", "COM3"}));
}

TEST_F(Discovery, RefreshedByItsOneSecondTimer) {
    auto ports = make();
    auto* timer = ports->findChild<QTimer*>(QStringLiteral("Timer1"));
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
    EXPECT_TRUE(ports->GetPortList().isEmpty());

    // The timer, not the test, picks up the new port.
    tree.AddUart(0, 4);
    timer->setInterval(5);
    QTRY_COMPARE_WITH_TIMEOUT(ports->GetPortList().size(), 2, 5000);
}

TEST_F(Discovery, TheFirstInstanceIsTheProgramsUntilItIsDestroyed) {
    ASSERT_EQ(GetComPorts, nullptr);
    auto first = make();
    auto second = make();
    EXPECT_EQ(GetComPorts, first.get());
    first.reset();
    EXPECT_EQ(GetComPorts, nullptr);
}

TEST(ExtractPortNumber, JoinsTheAsciiDigitsOfAnEntry) {
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM3")), 3);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM12")), 12);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM1 (2)")), 12);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM007")), 7);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("Disable")), 0);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QString()), 0);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM-5")), 5);
    // Digits of other scripts are not port digits.
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QString::fromUtf8("COM\u0663")), 0);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QString::fromUtf8("COM\uff14")), 0);
}

TEST(ExtractPortNumber, DigitsBeyondThe32BitRangeGiveZeroNotATruncatedNumber) {
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM2147483647")), 2147483647);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM2147483648")), 0);
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM4294967299")), 0); // 3 after a 32-bit cut
    EXPECT_EQ(TGetComPorts::ExtractPortNumber(QStringLiteral("COM1234567890123456789012345")), 0);
}

TEST(PortDetailText, ShowsThePathAndWhateverIsKnownOfTheMaker) {
    EXPECT_EQ(PortDetailText({2, "/dev/ttyUSB0", "FTDI", "FT232R USB UART"}),
              QStringLiteral("/dev/ttyUSB0  FTDI FT232R USB UART"));
    EXPECT_EQ(PortDetailText({3, "/dev/ttyACM0", "", "Uno"}), QStringLiteral("/dev/ttyACM0  Uno"));
    EXPECT_EQ(PortDetailText({1, "/dev/ttyS0", "", ""}), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(PortDetailText({}), QString());
}
