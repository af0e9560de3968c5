#pragma once
// Why a serial device cannot be opened, in words a user can act on: the
// cause for the system error an open met, checked against what the device
// path is now (absent, not a character device), with the remedy where one
// exists (the group to join, the program to close).

#include <string>

namespace dravane::platform {

enum class TDeviceFault : unsigned char {
    Absent,       // nothing at the path (unplugged, never there)
    Denied,       // the user may not open it
    Busy,         // another program holds it
    NotSerial,    // something that is no serial device
    NotAnswering, // there, but its driver or adapter does not answer
    Other,
};

struct TDeviceFaultText {
    TDeviceFault Kind = TDeviceFault::Other;
    std::string Text; // "permission denied: add the user to ...", without the path
};

// Err is the errno the open met (0: unknown, e.g. refused before opening).
TDeviceFaultText DescribeDeviceFault(const std::string& Path, int Err);

// The program holding the device, as "minicom (process 4242)", from a UUCP
// lock file or /proc; empty when neither tells.
std::string DeviceHolder(const std::string& Path);

} // namespace dravane::platform
