#pragma once
// Result codes shared by the serial and TCP port layers: 0 or a positive count
// is success, a negative code is a failure. The constants come from the lists
// in PortErrorList.h. Every function here is pure or uses only thread-safe
// system calls, so any thread may call it.

#include "serial/PortErrorList.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dravane::serial {

inline constexpr std::int32_t ecOK = 0;

// Code groups: the thousands of a code (socket groups are positive).
inline constexpr std::int32_t egDos = 0;
inline constexpr std::int32_t egGeneral = -1;
inline constexpr std::int32_t egOpenComm = -2;
inline constexpr std::int32_t egSerialIO = -3;
inline constexpr std::int32_t egModem = -4;
inline constexpr std::int32_t egTrigger = -5;
inline constexpr std::int32_t egProtocol = -6;
inline constexpr std::int32_t egINI = -7;
inline constexpr std::int32_t egFax = -8;
inline constexpr std::int32_t egSocketLayer = 9;
inline constexpr std::int32_t egWinsock = 10;
inline constexpr std::int32_t egWinsockEx = 11;
inline constexpr std::int32_t egTapi = -13;

#define DRAVANE_DECLARE_CODE(Name, Code, ...) inline constexpr std::int32_t Name = Code;
DRAVANE_PORT_CLASSED_CODES(DRAVANE_DECLARE_CODE)
DRAVANE_PORT_NAMED_CODES(DRAVANE_DECLARE_CODE)
DRAVANE_PORT_SOCKET_CODES(DRAVANE_DECLARE_CODE)
#undef DRAVANE_DECLARE_CODE

inline constexpr std::int32_t wsaNo_Address = wsaNo_Data;

// One record of the message table. Records are sorted by the absolute value of
// MessageNumber and no two share it.
struct TMessageRecord {
    std::int32_t MessageNumber;
    std::string_view MessageString;
};

inline constexpr std::size_t MaxMessageLength = 255;

// The program's message table; MaxMessages is its last index.
std::span<const TMessageRecord> MessageNumberLookup();
inline std::size_t MaxMessages() {
    return MessageNumberLookup().size() - 1;
}

// Binary search of a table sorted by absolute number; the text is cut to
// MaxMessageLength. Empty when the number is missing.
std::string_view LookupMessage(std::span<const TMessageRecord> Table, std::int64_t Code);

// The table text for |Code|, or empty.
std::string_view MessageNumberToString(std::int64_t Code);

// The operating system's text for error number |Code| (empty when it has none),
// on one line: control characters become spaces, runs of spaces one space,
// and at most MaxMessageLength characters.
std::string SystemMessageText(std::int64_t Code);

// The table text for |Code|, else the operating system's text, else empty.
std::string ErrorMessage(std::int64_t Code);

// A system error met by the serial device layer, in the numbering the port
// layer expects: missing device 2, access denied or held by another 5, too
// many files 4, no memory 8. An errno without an entry keeps its own number
// (and so its own system text), unless that number already names something
// else in the message table, in which case it becomes 162 ("General failure").
// Errno is kept for message details (EACCES wants the dialout hint, EBUSY not).
struct TDeviceError {
    std::int32_t Code; // positive; the port layer returns -Code
    int Errno;
};
TDeviceError MapDeviceErrno(int Errno);

// Control characters become spaces, then double spaces are collapsed until none remains.
std::string CleanMessageText(std::string_view Text);

} // namespace dravane::serial
