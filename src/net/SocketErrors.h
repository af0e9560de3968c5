#pragma once
// The one place where Linux error numbers become the socket error codes the
// port layers report (10035 would-block, 10054 reset, 10061 refused, ...).
// Pure functions; any thread may call them.

#include <cstdint>

namespace dravane::net {

// What the socket had been through, for the numbers whose meaning depends
// on it: EPIPE is a lost peer on a connection, a local shutdown after
// ShutdownSocket, and "not connected" on a socket that never connected.
enum TSocketHistory : std::uint8_t { shNeverConnected, shConnected, shShutDown };

// An errno from a socket call. An errno without an entry gives ecWSERROR
// (9001); the caller keeps the errno itself for detail.
std::int32_t SocketErrorFromErrno(int Errno, TSocketHistory History = shConnected);

// True for an error after which a connected socket carries nothing more:
// every code but would-block, an interrupted call and a passing lack of buffers.
bool EndsConnection(std::int32_t Code);

// A getaddrinfo/getnameinfo result (EAI_...), EAI_SYSTEM taking errno.
std::int32_t SocketErrorFromLookup(int EaiCode, int Errno);

} // namespace dravane::net
