#pragma once
// COM numbers for Linux serial devices.
//
// The program names its serial port by number ("COM3"); this table maps the
// numbers to device nodes, in this order of precedence:
//   1. settings section "Ports", keys "COM<n>", value a device path
//      (/dev/ttyUSB0, a /dev/serial/by-id link, a pseudo-terminal);
//   2. an on-board UART ttyS<k> with a real UART behind it (sysfs "type" not
//      0) is COM<k+1>;
//   3. any other serial device in sysfs takes the lowest free number when it
//      is first seen, and the choice is remembered in "Ports" under its
//      by-id path (so an adapter keeps its number across re-plugging and
//      reboots). A failed remember write keeps the number for this run only.
// Devices are found by walking sysfs; none is ever opened (opening raises DTR
// and can reset the equipment on the line). Pseudo-terminals appear only
// through explicit entries whose path exists.
//
// Threading: one table is used from one thread (the UI thread), like the
// settings file it reads.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dravane::platform {

struct TComPortInfo {
    int Number = 0;
    std::string DevicePath; // what to open
    std::string Maker;      // from sysfs where the device reports one
    std::string Model;

    bool operator==(const TComPortInfo&) const = default;
};

inline constexpr const char* DefaultSysfsTtyRoot = "/sys/class/tty";
inline constexpr const char* DefaultSerialByIdDir = "/dev/serial/by-id";

class TComNumbers {
public:
    // An empty settings file name means the program's own (SettingsFileName()),
    // looked up on every call so a test override applies.
    explicit TComNumbers(std::string settingsFile = {}, std::string sysfsRoot = DefaultSysfsTtyRoot,
                         std::string byIdDir = DefaultSerialByIdDir);

    // The ports present now, ordered by number. Devices seen for the first
    // time get their number here. Raises std::filesystem::filesystem_error
    // when the sysfs root cannot be listed.
    std::vector<TComPortInfo> Enumerate();

    // The device to open for COM<comNumber>: an explicit entry's path even
    // when it is gone (opening then reports the missing device), otherwise
    // the present device with that number; nullopt when none.
    std::optional<std::string> DevicePathFor(int comNumber);

    struct TExplicitPort {
        int Number;
        std::string Path;
    };

private:
    std::string settingsFile() const;
    const std::vector<TExplicitPort>& explicitPorts(const std::string& iniName);

    std::string FSettingsFile;
    std::string FSysfsRoot;
    std::string FByIdDir;
    // Numbers handed out in this run, by the identity they were remembered
    // under; they hold even when the settings file could not be written.
    std::map<std::string, int> FAssigned;
    // The "Ports" entries as last read, and the file's identity, size and
    // modification time then.
    std::vector<TExplicitPort> FExplicit;
    std::string FExplicitFile;
    std::optional<std::array<std::int64_t, 5>> FExplicitStamp;
    bool FExplicitRead = false;
};

// The program's table: its own settings file, the real sysfs and by-id folder.
TComNumbers& ComNumbers();

} // namespace dravane::platform
