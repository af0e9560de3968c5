#pragma once
// The socket library, resolved at run time. The C library is opened by name
// and each entry point is then looked up in the global scope, so a definition
// interposed before it (a sanitizer's interceptor, a preloaded tool) is the
// one called. Entry points Linux does not have (start-up, clean-up, last
// error, blocking hooks, asynchronous look-ups and notice selection) are
// provided here; closesocket and ioctlsocket are Linux's close and ioctl.
//
// Tests hand the wrapper a table of their own instead, usually the real one
// with some entries replaced (refused, reset or would-block on demand).

#include <cstdint>
#include <string>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace dravane::net {

// Where WSAAsyncSelect sends a socket's notices (the wrapper's notice window).
class TNoticeTarget {
public:
    // Notices of Events for Socket, as message Msg; -1 with errno set on failure.
    virtual int Select(int Socket, unsigned Msg, long Events) = 0;

protected:
    ~TNoticeTarget() = default;
};

inline constexpr const char* DefaultSocketLibrary = "libc.so.6";

// The notice message and its events.
inline constexpr unsigned CM_SOCKETMESSAGE = 0x0B11;
inline constexpr unsigned CM_SOCKETQUIT = 0x0B12;
inline constexpr unsigned CM_SOCKETDROP = 0x0B14; // a server port lets its peer go
inline constexpr long FD_READ = 1;
inline constexpr long FD_WRITE = 2;
inline constexpr long FD_OOB = 4;
inline constexpr long FD_ACCEPT = 8;
inline constexpr long FD_CONNECT = 16;
inline constexpr long FD_CLOSE = 32;

inline constexpr int INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

inline constexpr std::uint16_t WsVersion11 = 0x0101; // major in the low byte

// The start-up record.
struct TWSAData {
    std::uint16_t wVersion = 0;
    std::uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    std::uint16_t iMaxSockets = 0;
    std::uint16_t iMaxUdpDg = 0;
};

// Entry points in the order they are resolved. The asynchronous look-ups are
// never called by this system; they exist so the table is whole and fail
// with "operation not supported".
struct TWsApi {
    int (*accept)(int, sockaddr*, socklen_t*);
    int (*bind)(int, const sockaddr*, socklen_t);
    int (*closesocket)(int);
    int (*connect)(int, const sockaddr*, socklen_t);
    int (*getpeername)(int, sockaddr*, socklen_t*);
    int (*getsockname)(int, sockaddr*, socklen_t*);
    int (*getsockopt)(int, int, int, void*, socklen_t*);
    std::uint32_t (*htonl)(std::uint32_t);
    std::uint16_t (*htons)(std::uint16_t);
    in_addr_t (*inet_addr)(const char*);
    char* (*inet_ntoa)(in_addr);
    int (*ioctlsocket)(int, unsigned long, ...);
    int (*listen)(int, int);
    std::uint32_t (*ntohl)(std::uint32_t);
    std::uint16_t (*ntohs)(std::uint16_t);
    ssize_t (*recv)(int, void*, size_t, int);
    ssize_t (*recvfrom)(int, void*, size_t, int, sockaddr*, socklen_t*);
    int (*select)(int, fd_set*, fd_set*, fd_set*, timeval*);
    ssize_t (*send)(int, const void*, size_t, int);
    ssize_t (*sendto)(int, const void*, size_t, int, const sockaddr*, socklen_t);
    int (*setsockopt)(int, int, int, const void*, socklen_t);
    int (*shutdown)(int, int);
    int (*socket)(int, int, int);
    hostent* (*gethostbyaddr)(const void*, socklen_t, int);
    hostent* (*gethostbyname)(const char*);
    int (*gethostname)(char*, size_t);
    servent* (*getservbyport)(int, const char*);
    servent* (*getservbyname)(const char*, const char*);
    protoent* (*getprotobynumber)(int);
    protoent* (*getprotobyname)(const char*);
    int (*WSAStartup)(std::uint16_t, TWSAData*);
    int (*WSACleanup)();
    void (*WSASetLastError)(int);
    int (*WSAGetLastError)();
    int (*WSAIsBlocking)();
    int (*WSAUnhookBlockingHook)();
    void* (*WSASetBlockingHook)(void*);
    int (*WSACancelBlockingCall)();
    int (*WSAAsyncGetServByName)();
    int (*WSAAsyncGetServByPort)();
    int (*WSAAsyncGetProtoByName)();
    int (*WSAAsyncGetProtoByNumber)();
    int (*WSAAsyncGetHostByName)();
    int (*WSAAsyncGetHostByAddr)();
    int (*WSACancelAsyncRequest)();
    int (*WSAAsyncSelect)(int, TNoticeTarget*, unsigned, long);
    // Linux calls the wrapper builds on.
    int (*getaddrinfo)(const char*, const char*, const addrinfo*, addrinfo**);
    void (*freeaddrinfo)(addrinfo*);
    int (*getnameinfo)(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int);
    int (*poll)(pollfd*, nfds_t, int);
    int (*fcntl)(int, int, ...);
    int (*dup3)(int, int, int);
};

// Opens Library once per program (later calls reuse the handle) and fills
// Api in order. False when the library cannot be opened or a name is missing;
// the entries resolved before the missing one stay filled.
bool LoadWinsock(TWsApi& Api, const std::string& Library = DefaultSocketLibrary);

// True when every entry of the table is filled.
bool WinsockComplete(const TWsApi& Api);

// Closes every library LoadWinsock opened; at program end.
void WinsockExit();

} // namespace dravane::net
