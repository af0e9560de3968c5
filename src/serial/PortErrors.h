#pragma once
// Result codes shared by the serial and TCP port layers: 0 or a positive count
// is success, a negative code is a failure. The constants come from the lists
// in PortErrorList.h. Every function here is pure or uses only thread-safe
// system calls, so any thread may call it.

#include "serial/PortErrorList.h"

#include <cstdint>

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

} // namespace dravane::serial
