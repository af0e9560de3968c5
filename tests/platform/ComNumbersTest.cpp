#include "platform/ComNumbers.h"
#include "platform/IniFile.h"
#include "platform/SettingsPath.h"
#include "support/FakeTtyTree.h"
#include "support/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using dravane::platform::TComNumbers;
using dravane::platform::TComPortInfo;
using dravane::platform::TIniFile;
using dravane::test::FakeTtyTree;
using dravane::test::ReadAll;
using dravane::test::TempDir;
using dravane::test::WriteAll;

namespace {

constexpr const char* FtdiLink = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
constexpr const char* ProlificLink = "usb-Prolific_USB-Serial_Controller-if00-port0";

struct Fixture : ::testing::Test {
    TempDir dir;
    FakeTtyTree tree{dir.Path()};
    std::string ini = dir.File("dravane.ini");

    TComNumbers table() const { return TComNumbers(ini, tree.SysfsRoot(), tree.ByIdDir()); }
    std::optional<std::string> ports(const std::string& key) const {
        return TIniFile(ini).ReadValue("Ports", key);
    }
};

std::vector<int> numbers(const std::vector<TComPortInfo>& list) {
    std::vector<int> result;
    for (const auto& p : list)
        result.push_back(p.Number);
    return result;
}

// A pseudo-terminal pair that lives as long as the object.
struct Pty {
    int master = -1, slave = -1;
    char name[256] = {};
    Pty() {
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
    }
    ~Pty() {
        ::close(slave);
        ::close(master);
    }
};

} // namespace

using ComNumbers = Fixture;

TEST_F(ComNumbers, RealUartsKeepTheirKernelNumberAndNothingElseIsListed) {
    tree.AddVirtual("tty0");
    tree.AddVirtual("ptmx");
    tree.AddUart(0, 4);
    tree.AddUart(1, 0); // empty slot
    tree.AddUart(3, 4);
    auto t = table();
    const auto list = t.Enumerate();
    EXPECT_EQ(list, (std::vector<TComPortInfo>{{1, "/dev/ttyS0", "", ""}, {4, "/dev/ttyS3", "", ""}}));
    // Built-in numbers are not remembered: nothing to write.
    EXPECT_FALSE(std::filesystem::exists(ini));
    EXPECT_EQ(t.DevicePathFor(4), "/dev/ttyS3");
    EXPECT_EQ(t.DevicePathFor(2), std::nullopt); // the empty slot
}

TEST_F(ComNumbers, NewAdaptersTakeTheLowestFreeNumbersAndAreRememberedByTheirIdLink) {
    tree.AddUart(0, 4);
    tree.AddUart(2, 4);
    tree.AddUsb("ttyUSB10", "Prolific", "USB-Serial Controller", ProlificLink);
    tree.AddUsb("ttyUSB2", "FTDI", "FT232R USB UART", FtdiLink);
    tree.AddUsb("ttyACM0", "", "");
    auto t = table();
    const auto list = t.Enumerate();
    // Kernel order decides among new devices: ACM before USB, USB2 before USB10.
    EXPECT_EQ(list, (std::vector<TComPortInfo>{{1, "/dev/ttyS0", "", ""},
                                               {2, "/dev/ttyACM0", "0403", "6001"},
                                               {3, "/dev/ttyS2", "", ""},
                                               {4, "/dev/ttyUSB2", "FTDI", "FT232R USB UART"},
                                               {5, "/dev/ttyUSB10", "Prolific", "USB-Serial Controller"}}));
    EXPECT_EQ(ports("COM2"), "/dev/ttyACM0"); // no by-id link: its node
    EXPECT_EQ(ports("COM4"), tree.ByIdPath(FtdiLink));
    EXPECT_EQ(ports("COM5"), tree.ByIdPath(ProlificLink));
    EXPECT_EQ(ports("COM1"), std::nullopt);
    // A second refresh hands out nothing new.
    const std::string before = ReadAll(ini);
    EXPECT_EQ(t.Enumerate(), list);
    EXPECT_EQ(ReadAll(ini), before);
}

TEST_F(ComNumbers, AnAdapterKeepsItsNumberWhenRepluggedAndInANewRun) {
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", FtdiLink);
    auto t = table();
    EXPECT_EQ(numbers(t.Enumerate()), std::vector<int>{1});

    tree.Remove("ttyUSB0", FtdiLink);
    tree.AddUsb("ttyUSB1", "Prolific", "USB-Serial Controller", ProlificLink);
    auto list = t.Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Number, 2) << "an absent adapter's number is not handed out again";
    EXPECT_EQ(t.DevicePathFor(1), tree.ByIdPath(FtdiLink)) << "opening an absent adapter reports it missing";

    // Back under another kernel name: the by-id link carries the number.
    tree.Remove("ttyUSB1", ProlificLink);
    tree.AddUsb("ttyUSB1", "FTDI", "FT232R USB UART", FtdiLink);
    tree.AddUsb("ttyUSB2", "Prolific", "USB-Serial Controller", ProlificLink);
    list = t.Enumerate();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (TComPortInfo{1, "/dev/ttyUSB1", "FTDI", "FT232R USB UART"}));
    EXPECT_EQ(list[1].Number, 2);
    EXPECT_EQ(list[1].DevicePath, "/dev/ttyUSB2");

    auto nextRun = table();
    EXPECT_EQ(nextRun.Enumerate(), list);
    EXPECT_EQ(nextRun.DevicePathFor(1), "/dev/ttyUSB1");
}

TEST_F(ComNumbers, ExplicitEntriesWinOverEveryOtherRule) {
    tree.AddUart(0, 4);
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", FtdiLink);
    tree.AddUsb("ttyUSB1", "Prolific", "USB-Serial Controller");
    WriteAll(ini, "[Ports]\ncom1 = " + tree.ByIdPath(FtdiLink) +
                      "\nCOM7=/dev/ttyUSB1\nCOM1=/dev/ttyS0\nCOMx=/dev/ttyS0\n");
    auto t = table();
    const auto list = t.Enumerate();
    // The UART lost its number to the adapter and is listed as a new device instead.
    EXPECT_EQ(list, (std::vector<TComPortInfo>{{1, "/dev/ttyUSB0", "FTDI", "FT232R USB UART"},
                                               {2, "/dev/ttyS0", "", ""},
                                               {7, "/dev/ttyUSB1", "Prolific", "USB-Serial Controller"}}));
    EXPECT_EQ(ports("COM2"), "/dev/ttyS0");
}

TEST_F(ComNumbers, PseudoTerminalsAppearOnlyThroughEntriesWhosePathExists) {
    Pty pty;
    std::string gone = "/dev/pts/" + std::to_string(1'000'000);
    WriteAll(ini, std::string("[Ports]\nCOM3=") + pty.name + "\nCOM4=" + gone +
                      "\nCOM5=" + dir.File("nowhere") + "\n");
    auto t = table();
    EXPECT_EQ(t.Enumerate(), (std::vector<TComPortInfo>{{3, pty.name, "", ""}}));
    EXPECT_EQ(t.DevicePathFor(3), std::string(pty.name));
    EXPECT_EQ(t.DevicePathFor(4), gone);
    EXPECT_EQ(t.DevicePathFor(6), std::nullopt);
}

TEST_F(ComNumbers, NumbersHoldForTheRunWhenTheSettingsFileCannotBeWritten) {
    ini = dir.File("missing-folder/dravane.ini");
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", FtdiLink);
    auto t = table();
    EXPECT_EQ(numbers(t.Enumerate()), std::vector<int>{1});
    tree.Remove("ttyUSB0", FtdiLink);
    tree.AddUsb("ttyUSB1", "Prolific", "USB-Serial Controller", ProlificLink);
    EXPECT_EQ(numbers(t.Enumerate()), std::vector<int>{2});
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", FtdiLink);
    EXPECT_EQ(numbers(t.Enumerate()), (std::vector<int>{1, 2}));
    EXPECT_FALSE(std::filesystem::exists(ini));

    // Once an explicit entry claims COM1, the adapter holding it only for
    // this run moves to a free number instead of sharing it.
    std::filesystem::create_directory(dir.File("missing-folder"));
    tree.AddUsb("ttyACM0", "Arduino", "Uno");
    WriteAll(ini, "[Ports]\nCOM1=/dev/ttyACM0\n");
    const auto list = t.Enumerate();
    ASSERT_EQ(numbers(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list[0].DevicePath, "/dev/ttyACM0");
    EXPECT_EQ(list[2].DevicePath, "/dev/ttyUSB0");
    EXPECT_EQ(ports("COM3"), tree.ByIdPath(FtdiLink));
}

TEST_F(ComNumbers, AProgramThatNeverWritesItsSettingsKeepsNewNumbersForTheRun) {
    WriteAll(ini, "; kept\n[Ports]\n");
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", FtdiLink);
    dravane::platform::SetSettingsReadOnly(true);
    auto t = table();
    const auto list = t.Enumerate();
    dravane::platform::SetSettingsReadOnly(false);
    ASSERT_EQ(numbers(list), std::vector<int>{1});
    EXPECT_EQ(t.DevicePathFor(1), "/dev/ttyUSB0");
    EXPECT_EQ(ReadAll(ini), "; kept\n[Ports]\n");
}

TEST_F(ComNumbers, AnUnreadableSysfsRaisesButExplicitEntriesStillOpen) {
    WriteAll(ini, "[Ports]\nCOM2=/dev/ttyUSB0\n");
    TComNumbers t(ini, dir.File("no-sysfs"), tree.ByIdDir());
    EXPECT_THROW(t.Enumerate(), std::filesystem::filesystem_error);
    EXPECT_EQ(t.DevicePathFor(2), "/dev/ttyUSB0");
    EXPECT_EQ(t.DevicePathFor(1), std::nullopt);
}

TEST_F(ComNumbers, PortsAreReadAgainOnlyWhenTheSettingsFileHasChanged) {
    WriteAll(ini, "[Ports]\nCOM7=/dev/ttyUSB0\n");
    auto t = table();
    EXPECT_EQ(t.DevicePathFor(7), "/dev/ttyUSB0");
    // Rewritten in place with the same size and modification time: not read again.
    struct stat before {};
    ASSERT_EQ(::stat(ini.c_str(), &before), 0);
    WriteAll(ini, "[Ports]\nCOM8=/dev/ttyUSB0\n");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);
    EXPECT_EQ(t.DevicePathFor(7), "/dev/ttyUSB0");
    EXPECT_EQ(t.DevicePathFor(8), std::nullopt);
    // Any change of size, modification time or identity is seen.
    WriteAll(ini, "[Ports]\nCOM9=/dev/ttyUSB0\n; x\n");
    EXPECT_EQ(t.DevicePathFor(9), "/dev/ttyUSB0");
    TIniFile(ini).WriteString("Ports", "COM9", "/dev/ttyUSB1");
    EXPECT_EQ(t.DevicePathFor(9), "/dev/ttyUSB1");
}

TEST_F(ComNumbers, DeviceStringsAreCutAndCleanedBeforeDisplay) {
    tree.AddUsb("ttyUSB0", "  Evil\x1b[2JCorp\n", std::string(500, 'x'));
    auto list = table().Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Maker, "Evil [2JCorp");
    EXPECT_EQ(list[0].Model, std::string(128, 'x'));
}

TEST(IniSectionValues, ListsTheFirstMatchingSectionInFileOrder) {
    TempDir dir;
    WriteAll(
        dir.File("a.ini"),
        "[Comm]\nPort=3\n[ports]\r\n COM2 = /dev/a \r\n; COM9=/dev/c\r\nnoise\r\n[Ports]\nCOM1=/dev/b\n");
    TIniFile ini(dir.File("a.ini"));
    using Values = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ini.ReadSectionValues("Ports"), (Values{{"COM2", "/dev/a"}}));
    EXPECT_EQ(ini.ReadSectionValues("Colors"), Values{});
}
