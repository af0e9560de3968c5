#include "platform/IniFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

using dravane::platform::EIniFileException;
using dravane::platform::ParseIniInteger;
using dravane::platform::TIniFile;
using dravane::platform::TIniSection;
using dravane::test::ReadAll;
using dravane::test::TempDir;
using dravane::test::WriteAll;

TEST(IniNumbers, AcceptsHexDollarAndSignedDecimal) {
    EXPECT_EQ(ParseIniInteger("0xFF"), 255);
    EXPECT_EQ(ParseIniInteger("0XfF"), 255);
    EXPECT_EQ(ParseIniInteger("$FF"), 255);
    EXPECT_EQ(ParseIniInteger("  42  "), 42);
    EXPECT_EQ(ParseIniInteger("-1200"), -1200);
    EXPECT_EQ(ParseIniInteger("+7"), 7);
    EXPECT_EQ(ParseIniInteger("0xFFFFFFFF"), -1); // eight digits: two's complement
    EXPECT_EQ(ParseIniInteger("2147483647"), 2147483647);
    EXPECT_EQ(ParseIniInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseIniInteger("0x0000000FF"), 255); // leading zeros are not digits that count
    EXPECT_EQ(ParseIniInteger("$00000000000"), 0);
}

TEST(IniNumbers, RejectsGarbageOverflowAndLongHex) {
    for (const char* bad : {"", "abc", "12abc", "2147483648", "-2147483649", "0x", "$", "0x123456789",
                            "0x00123456789", "0xG1", "1 2", "--1", "99999999999999999999"})
        EXPECT_FALSE(ParseIniInteger(bad)) << bad;
}

TEST(IniFile, MissingFileGivesDefaultsAndFirstWriteCreatesIt) {
    TempDir dir;
    TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadInteger("Display", "Left", 17), 17);
    EXPECT_EQ(ini.ReadString("Comm", "ipPort", "54902"), "54902");
    EXPECT_TRUE(ini.ReadBool("Options", "DefaultOffColor", true));
    ini.WriteInteger("Display", "Left", -5);
    ini.WriteInteger("Display", "Top", 3);
    ini.WriteInteger("Colors", "ControllerColor", 16776960);
    EXPECT_EQ(ReadAll(dir.File("a.ini")),
              "[Display]\nLeft=-5\nTop=3\n\n[Colors]\nControllerColor=16776960\n");
    EXPECT_EQ(ini.ReadInteger("display", " LEFT ", 0), -5);
}

TEST(IniFile, WritesInPlaceAndKeepsEveryOtherByte) {
    TempDir dir;
    const std::string path = dir.File("b.ini");
    WriteAll(path,
             "; settings\r\n[Comm]\r\nPort=3\r\n\r\n[ Colors ]\r\nfoo = bar\r\nANTOFFCOLOR = 1\r\n; tail\r\n"
             "\r\n[Other]\r\nx=1");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Colors", "foo", ""), "bar");
    ini.WriteInteger("Colors", "AntOffColor", 8421504); // replaced in place, its own spelling lost
    ini.WriteInteger("Colors", "ControllerColor", 255); // after the last non-blank line of the section
    ini.WriteString("Other", "y", "2");                 // last line had no line end
    EXPECT_EQ(ReadAll(path),
              "; settings\r\n[Comm]\r\nPort=3\r\n\r\n[ Colors ]\r\nfoo = bar\r\nAntOffColor=8421504\r\n"
              "; tail\r\nControllerColor=255\r\n\r\n[Other]\r\nx=1\r\ny=2\r\n");
}

TEST(IniFile, FirstMatchingSectionWinsAndCommentsAreNotKeys) {
    TempDir dir;
    const std::string path = dir.File("c.ini");
    WriteAll(path, "[S]\n;k=commented\nk=1\n  K = 3 \nn=$10\n[s]\nk=2\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("S", "k", 0), 1);
    // A section read at once answers as key by key does.
    const TIniSection section = ini.ReadSection("s");
    EXPECT_EQ(section.ReadInteger(" K", 0), 1);
    EXPECT_EQ(section.ReadInteger("N", 0), 16);
    EXPECT_EQ(section.ReadString("missing", "def"), "def");
    WriteAll(path, "[S]\n;k=commented\nk=1\n[s]\nk=2\n");
    ini.WriteInteger("s", "k", 9);
    EXPECT_EQ(ReadAll(path), "[S]\n;k=commented\nk=9\n[s]\nk=2\n");
}

TEST(IniFile, UnwritablePathReportsUnableToWrite) {
    TempDir dir;
    WriteAll(dir.File("plain"), "x");
    // A path below a regular file cannot be created, even by root.
    const std::string path = dir.File("plain") + "/dravane.ini";
    TIniFile ini(path);
    try {
        ini.WriteInteger("Display", "Left", 1);
        FAIL() << "write succeeded";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
    }
}

TEST(IniFile, ReplaceKeepsFileModeAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.File("d.ini");
    WriteAll(path, "[A]\nk=1\n");
    std::filesystem::permissions(path, std::filesystem::perms(0600));
    TIniFile(path).WriteInteger("A", "k", 2);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0600));
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST(IniFile, AFileThatExistsButCannotBeReadGivesDefaultsAndIsNeverReplaced) {
    TempDir dir;
    const std::string folder = dir.File("folder.ini");
    std::filesystem::create_directory(folder);
    TIniFile ini(folder);
    EXPECT_EQ(ini.ReadInteger("Display", "Left", 17), 17);
    EXPECT_TRUE(ini.ReadSectionValues("Ports").empty());
    EXPECT_THROW(ini.WriteInteger("Display", "Left", 1), EIniFileException);
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    // Root reads any file, so this half only runs for an ordinary user.
    if (::geteuid() != 0) {
        const std::string locked = dir.File("locked.ini");
        WriteAll(locked, "[Comm]\nPort=3\n[Ports]\nCOM1=/dev/ttyUSB0\n");
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        TIniFile other(locked);
        EXPECT_EQ(other.ReadInteger("Comm", "Port", 0), 0);
        EXPECT_THROW(other.WriteInteger("Display", "Left", 1), EIniFileException);
        std::filesystem::permissions(locked, std::filesystem::perms::owner_read);
        EXPECT_EQ(ReadAll(locked), "[Comm]\nPort=3\n[Ports]\nCOM1=/dev/ttyUSB0\n");
    }
}

TEST(IniFile, ByteOrderMarkIsSkippedOnReadAndKeptOnWrite) {
    TempDir dir;
    const std::string path = dir.File("bom.ini");
    WriteAll(path, "\xEF\xBB\xBF[Display]\r\nLeft=3\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("Display", "Left", 0), 3);
    ini.WriteInteger("Display", "Top", 4);
    EXPECT_EQ(ReadAll(path), "\xEF\xBB\xBF[Display]\r\nLeft=3\r\nTop=4\r\n");
}

TEST(IniFile, WriteThroughASymbolicLinkReplacesTheTargetAndKeepsTheLink) {
    TempDir dir;
    std::filesystem::create_directory(dir.Path() / "real");
    WriteAll(dir.File("real/settings.ini"), "[A]\nk=1\n");
    std::filesystem::create_symlink("real/settings.ini", dir.Path() / "link.ini");
    TIniFile(dir.File("link.ini")).WriteInteger("A", "k", 2);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path() / "link.ini"));
    EXPECT_EQ(ReadAll(dir.File("real/settings.ini")), "[A]\nk=2\n");
    // The temporary file was made (and renamed) in the target's folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path() / "real"), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

TEST(IniFile, LineBreaksAndControlCharactersInValuesNeverBecomeFileStructure) {
    TempDir dir;
    const std::string path = dir.File("e.ini");
    TIniFile ini(path);
    ini.WriteString("Comm", "ipAddress", "10.0.0.1\n[Display]\r\nLeft=5\x01");
    EXPECT_EQ(ReadAll(path), "[Comm]\nipAddress=10.0.0.1 [Display]  Left=5 \n");
    EXPECT_EQ(ini.ReadInteger("Display", "Left", 0), 0);
}
