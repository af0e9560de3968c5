#include "net/WsLoader.h"

#include "serial/PortErrors.h"

#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace dravane::net {
namespace {

// Entry points in resolution order: L for a name the C library has (member,
// symbol), P for one provided here (member, function).
#define DRAVANE_WS_ENTRIES(L, P)                                                                             \
    L(accept, "accept")                                                                                      \
    L(bind, "bind")                                                                                          \
    L(closesocket, "close")                                                                                  \
    L(connect, "connect")                                                                                    \
    L(getpeername, "getpeername")                                                                            \
    L(getsockname, "getsockname")                                                                            \
    L(getsockopt, "getsockopt")                                                                              \
    L(htonl, "htonl")                                                                                        \
    L(htons, "htons")                                                                                        \
    L(inet_addr, "inet_addr")                                                                                \
    L(inet_ntoa, "inet_ntoa")                                                                                \
    L(ioctlsocket, "ioctl")                                                                                  \
    L(listen, "listen")                                                                                      \
    L(ntohl, "ntohl")                                                                                        \
    L(ntohs, "ntohs")                                                                                        \
    L(recv, "recv")                                                                                          \
    L(recvfrom, "recvfrom")                                                                                  \
    L(select, "select")                                                                                      \
    L(send, "send")                                                                                          \
    L(sendto, "sendto")                                                                                      \
    L(setsockopt, "setsockopt")                                                                              \
    L(shutdown, "shutdown")                                                                                  \
    L(socket, "socket")                                                                                      \
    L(gethostbyaddr, "gethostbyaddr")                                                                        \
    L(gethostbyname, "gethostbyname")                                                                        \
    L(gethostname, "gethostname")                                                                            \
    L(getservbyport, "getservbyport")                                                                        \
    L(getservbyname, "getservbyname")                                                                        \
    L(getprotobynumber, "getprotobynumber")                                                                  \
    L(getprotobyname, "getprotobyname")                                                                      \
    P(WSAStartup, wsStartup)                                                                                 \
    P(WSACleanup, wsCleanup)                                                                                 \
    P(WSASetLastError, wsSetLastError)                                                                       \
    P(WSAGetLastError, wsGetLastError)                                                                       \
    P(WSAIsBlocking, wsIsBlocking)                                                                           \
    P(WSAUnhookBlockingHook, wsUnhookBlockingHook)                                                           \
    P(WSASetBlockingHook, wsSetBlockingHook)                                                                 \
    P(WSACancelBlockingCall, wsCancelBlockingCall)                                                           \
    P(WSAAsyncGetServByName, wsAsyncUnsupported)                                                             \
    P(WSAAsyncGetServByPort, wsAsyncUnsupported)                                                             \
    P(WSAAsyncGetProtoByName, wsAsyncUnsupported)                                                            \
    P(WSAAsyncGetProtoByNumber, wsAsyncUnsupported)                                                          \
    P(WSAAsyncGetHostByName, wsAsyncUnsupported)                                                             \
    P(WSAAsyncGetHostByAddr, wsAsyncUnsupported)                                                             \
    P(WSACancelAsyncRequest, wsAsyncUnsupported)                                                             \
    P(WSAAsyncSelect, wsAsyncSelect)                                                                         \
    L(getaddrinfo, "getaddrinfo")                                                                            \
    L(freeaddrinfo, "freeaddrinfo")                                                                          \
    L(getnameinfo, "getnameinfo")                                                                            \
    L(poll, "poll")                                                                                          \
    L(fcntl, "fcntl")                                                                                        \
    L(dup3, "dup3")

// The last socket error, one per thread like errno, so a call on another
// thread cannot overwrite it between a failure and its reading.
thread_local int tLastError = 0;

int wsStartup(std::uint16_t Requested, TWSAData* Data) {
    if (!Data)
        return serial::wsaEFault;
    // Only 1.1 is offered; a request below it cannot be met.
    const int major = Requested & 0xFF;
    const int minor = Requested >> 8;
    if (major < 1 || (major == 1 && minor < 1))
        return serial::wsaVerNotSupported;
    *Data = TWSAData{};
    Data->wVersion = WsVersion11;
    Data->wHighVersion = WsVersion11;
    std::strncpy(Data->szDescription, "BSD sockets of the C library", sizeof Data->szDescription - 1);
    std::strncpy(Data->szSystemStatus, "Running", sizeof Data->szSystemStatus - 1);
    const long openMax = sysconf(_SC_OPEN_MAX);
    Data->iMaxSockets = static_cast<std::uint16_t>(std::clamp<long>(openMax, 0, 0xFFFF));
    Data->iMaxUdpDg = 65507;
    return 0;
}
int wsCleanup() {
    return 0;
}
void wsSetLastError(int Code) {
    tLastError = Code;
}
int wsGetLastError() {
    return tLastError;
}
int wsIsBlocking() {
    return 0;
} // calls never block once notices are asked for
int wsUnhookBlockingHook() {
    return 0;
}
void* wsSetBlockingHook(void*) {
    return nullptr;
}
int wsCancelBlockingCall() {
    return 0;
}
int wsAsyncUnsupported() {
    tLastError = serial::wsaEOpNotSupp;
    return 0;
}
int wsAsyncSelect(int Socket, TNoticeTarget* Window, unsigned Msg, long Events) {
    if (!Window) {
        tLastError = serial::wsaEInVal;
        return SOCKET_ERROR;
    }
    return Window->Select(Socket, Msg, Events);
}

template <class F> bool resolve(void* Library, const char* Symbol, F& Slot) {
    // The global scope first, so interposed definitions win over the library's own.
    void* p = dlsym(RTLD_DEFAULT, Symbol);
    if (!p)
        p = dlsym(Library, Symbol);
    if (!p)
        return false;
    Slot = reinterpret_cast<F>(p);
    return true;
}

std::mutex& libraryLock() {
    static std::mutex m;
    return m;
}
std::map<std::string, void*>& libraries() {
    static std::map<std::string, void*> handles; // guarded by libraryLock()
    return handles;
}

void* openLibrary(const std::string& Name) {
    std::lock_guard lock(libraryLock());
    auto& handles = libraries();
    if (auto it = handles.find(Name); it != handles.end())
        return it->second;
    void* handle = dlopen(Name.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle)
        handles.emplace(Name, handle);
    return handle;
}

} // namespace

bool LoadWinsock(TWsApi& Api, const std::string& Library) {
    void* handle = openLibrary(Library);
    if (!handle)
        return false;
#define DRAVANE_WS_RESOLVE(Member, Symbol)                                                                   \
    if (!resolve(handle, Symbol, Api.Member))                                                                \
        return false;
#define DRAVANE_WS_PROVIDE(Member, Function) Api.Member = &Function;
    DRAVANE_WS_ENTRIES(DRAVANE_WS_RESOLVE, DRAVANE_WS_PROVIDE)
#undef DRAVANE_WS_RESOLVE
#undef DRAVANE_WS_PROVIDE
    return true;
}

bool WinsockComplete(const TWsApi& Api) {
#define DRAVANE_WS_FILLED(Member, ...) &&Api.Member != nullptr
    return true DRAVANE_WS_ENTRIES(DRAVANE_WS_FILLED, DRAVANE_WS_FILLED);
#undef DRAVANE_WS_FILLED
}

void WinsockExit() {
    std::lock_guard lock(libraryLock());
    for (auto& [name, handle] : libraries())
        dlclose(handle);
    libraries().clear();
}

} // namespace dravane::net
