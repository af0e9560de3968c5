#include "net/SocketErrors.h"

#include "serial/PortErrors.h"

#include <cerrno>
#include <netdb.h>

namespace dravane::net {
namespace {

using namespace dravane::serial;

struct TErrnoEntry {
    int Errno;
    std::int32_t Code;
};

// EAGAIN and EWOULDBLOCK are one number on Linux; EINPROGRESS is a
// non-blocking connect under way, which the port layers call would-block.
constexpr TErrnoEntry ErrnoTable[] = {
    {EINTR, wsaEIntr},
    {EBADF, wsaENotSock},
    {ENOTSOCK, wsaENotSock},
    {EACCES, wsaEAcces},
    {EPERM, wsaEAcces},
    {EFAULT, wsaEFault},
    {EINVAL, wsaEInVal},
    {EMFILE, wsaEMFile},
    {ENFILE, wsaEMFile},
    {EAGAIN, wsaEWouldBlock},
    {EINPROGRESS, wsaEWouldBlock},
    {EALREADY, wsaEAlReady},
    {EDESTADDRREQ, wsaEDestAddrReq},
    {EMSGSIZE, wsaEMsgSize},
    {EPROTOTYPE, wsaEPrototype},
    {ENOPROTOOPT, wsaENoProtoOpt},
    {EPROTONOSUPPORT, wsaEProtoNoSupport},
    {ESOCKTNOSUPPORT, wsaESocktNoSupport},
    {EOPNOTSUPP, wsaEOpNotSupp},
    {EPFNOSUPPORT, wsaEPfNoSupport},
    {EAFNOSUPPORT, wsaEAfNoSupport},
    {EADDRINUSE, wsaEAddrInUse},
    {EADDRNOTAVAIL, wsaEAddrNotAvail},
    {ENETDOWN, wsaENetDown},
    {ENETUNREACH, wsaENetUnreach},
    {ENETRESET, wsaENetReset},
    {ECONNABORTED, wsaEConnAborted},
    {ECONNRESET, wsaEConnReset},
    {ENOBUFS, wsaENoBufs},
    {ENOMEM, wsaENoBufs},
    {EISCONN, wsaEIsConn},
    {ENOTCONN, wsaENotConn},
    {ESHUTDOWN, wsaEShutDown},
    {ETOOMANYREFS, wsaETooManyRefs},
    {ETIMEDOUT, wsaETimedOut},
    {ECONNREFUSED, wsaEConnRefused},
    {ELOOP, wsaELoop},
    {ENAMETOOLONG, wsaENameTooLong},
    {EHOSTDOWN, wsaEHostDown},
    {EHOSTUNREACH, wsaEHostUnreach},
    {ENOTEMPTY, wsaENotEmpty},
    {EUSERS, wsaEUsers},
    {EDQUOT, wsaEDQuot},
    {ESTALE, wsaEStale},
    {EREMOTE, wsaERemote},
};

} // namespace

std::int32_t SocketErrorFromErrno(int Errno, TSocketHistory History) {
    if (Errno == EPIPE) {
        switch (History) {
        case shConnected:
            return wsaEConnReset;
        case shShutDown:
            return wsaEShutDown;
        case shNeverConnected:
            return wsaENotConn;
        }
    }
    for (const TErrnoEntry& e : ErrnoTable)
        if (e.Errno == Errno)
            return e.Code;
    return ecWSERROR;
}

bool EndsConnection(std::int32_t Code) {
    return Code != wsaEWouldBlock && Code != wsaEIntr && Code != wsaENoBufs;
}

std::int32_t SocketErrorFromLookup(int EaiCode, int Errno) {
    switch (EaiCode) {
    case 0:
        return 0;
    case EAI_NONAME:
        return wsaHost_Not_Found;
    case EAI_AGAIN:
        return wsaTry_Again;
    case EAI_FAIL:
        return wsaNo_Recovery;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return wsaNo_Data;
    case EAI_MEMORY:
        return wsaENoBufs;
    case EAI_SYSTEM:
        return SocketErrorFromErrno(Errno);
    default:
        return wsaNo_Recovery;
    }
}

} // namespace dravane::net
