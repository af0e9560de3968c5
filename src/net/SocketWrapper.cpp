#include "net/SocketWrapper.h"

#include "net/SocketErrors.h"
#include "net/SocketNoticeWindow.h"
#include "platform/AppException.h"
#include "serial/PortErrors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace dravane::net {
namespace {

using namespace dravane::serial;

// Services this system needs even where the services database lacks them.
struct TKnownService {
    const char* Name;
    std::uint16_t Port;
};
constexpr TKnownService KnownServices[] = {{"telnet", 23}};

} // namespace

ESocketException::ESocketException(std::int32_t Code, const std::string& Message)
    : std::runtime_error(Message), ErrorCode(Code) {}

ESocketException ESocketException::CreateNoInit(std::int32_t ErrCode, int) {
    // The table text carries a %s; filled by hand, never used as a format.
    std::string text = ErrorMessage(ecWSNOTINIT);
    const std::string reason = ErrorMessage(ErrCode);
    if (const auto at = text.find("%s"); at != std::string::npos)
        text.replace(at, 2, reason);
    else
        text += reason;
    return ESocketException(ErrCode, text);
}

ESocketException ESocketException::CreateTranslate(std::int32_t ErrCode, int, int) {
    return ESocketException(ErrCode, ErrorMessage(ErrCode));
}

TSocketWrapper::TSocketWrapper(QObject* Owner, const TWsLibrary& Library) : QObject(Owner) {
    if (Library.Table) {
        FApi = *Library.Table;
        asDllLoaded = WinsockComplete(FApi);
    } else {
        asDllLoaded = LoadWinsock(FApi, Library.Name);
    }
    if (!asDllLoaded) {
        ShowErrorMessage(ecWSLOADERROR);
        asStartErrorCode = ecWSLOADERROR;
        return;
    }
    if (const int rc = FApi.WSAStartup(WsVersion11, &asWSData); rc != 0) {
        asStartErrorCode = rc;
        ShowErrorMessage(rc);
        return;
    }
    if (asWSData.wVersion != WsVersion11) {
        asStartErrorCode = ecWSVERSIONERROR;
        ShowErrorMessage(ecWSVERSIONERROR);
    }
    FHandle =
        std::make_unique<TSocketNoticeWindow>(FApi, [this](unsigned Msg, int Socket, std::uint32_t LParam) {
            WndProc(Msg, Socket, static_cast<std::intptr_t>(LParam));
        });
}

TSocketWrapper::~TSocketWrapper() {
    if (asDllLoaded) {
        FApi.WSACancelBlockingCall();
        FApi.WSACleanup();
    }
    FHandle.reset();
}

void TSocketWrapper::CheckLoaded() const {
    if (asStartErrorCode != 0)
        throw ESocketException::CreateNoInit(asStartErrorCode);
}

std::int32_t TSocketWrapper::failed(int Socket, int Errno) {
    FLastErrno = Errno;
    const TSocketHistory history = FHandle ? FHandle->History(Socket) : shConnected;
    const std::int32_t code = SocketErrorFromErrno(Errno, history);
    FApi.WSASetLastError(code);
    return code;
}

int TSocketWrapper::CreateSocket(int Family) {
    CheckLoaded();
    const int s = FApi.socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == INVALID_SOCKET)
        throw ESocketException::CreateTranslate(failed(s, errno));
    return s;
}

int TSocketWrapper::BindSocket(int Socket, const sockaddr_in& Address) {
    return BindSocket(Socket, TSockAddr::From(reinterpret_cast<const sockaddr*>(&Address), sizeof Address));
}

int TSocketWrapper::BindSocket(int Socket, const TSockAddr& Address) {
    CheckLoaded();
    const int r = FApi.bind(Socket, Address.Get(), Address.Length());
    if (r == SOCKET_ERROR)
        DoError(Socket, failed(Socket, errno));
    return r;
}

int TSocketWrapper::ConnectSocket(int Socket, const sockaddr_in& Address) {
    return ConnectSocket(Socket,
                         TSockAddr::From(reinterpret_cast<const sockaddr*>(&Address), sizeof Address));
}

int TSocketWrapper::ConnectSocket(int Socket, const TSockAddr& Address) {
    CheckLoaded();
    const int r = FApi.connect(Socket, Address.Get(), Address.Length());
    if (r == 0) {
        // Even a connection made at once is announced by its notice, so the
        // caller has one path for both; the write notifier sees it.
        if (FHandle)
            FHandle->ConnectStarted(Socket);
        return r;
    }
    const int err = errno;
    FLastErrno = err;
    const std::int32_t code = SocketErrorFromErrno(err, shNeverConnected);
    FApi.WSASetLastError(code);
    if (code == wsaEWouldBlock) {
        if (FHandle)
            FHandle->ConnectStarted(Socket);
        return r;
    }
    if (FHandle)
        FHandle->ConnectFailed(Socket);
    DoError(Socket, code);
    return r;
}

int TSocketWrapper::ListenSocket(int Socket, int Backlog) {
    CheckLoaded();
    const int r = FApi.listen(Socket, Backlog);
    if (r == 0) {
        if (FHandle)
            FHandle->Listening(Socket);
        return r;
    }
    if (const std::int32_t code = failed(Socket, errno); code != wsaEWouldBlock)
        DoError(Socket, code);
    return r;
}

int TSocketWrapper::AcceptSocket(int Socket, sockaddr_in& Address) {
    TSockAddr peer;
    const int s = AcceptSocket(Socket, peer);
    Address = {};
    Address.sin_family = AF_INET;
    Address.sin_port = peer.PortNet();
    Address.sin_addr.s_addr = peer.Address().IPv4();
    return s;
}

int TSocketWrapper::AcceptSocket(int Socket, TSockAddr& Address) {
    CheckLoaded();
    socklen_t len = Address.Capacity();
    const int s = FApi.accept(Socket, Address.Get(), &len);
    Address.Fix(s == INVALID_SOCKET ? 0 : len);
    if (s == INVALID_SOCKET) {
        const std::int32_t code = failed(Socket, errno);
        // Would-block included; a failure that repeats on every retry once.
        if (!FHandle || FHandle->AcceptFailed(Socket, code == wsaEWouldBlock))
            DoError(Socket, code);
        return INVALID_SOCKET;
    }
    FApi.fcntl(s, F_SETFD, FD_CLOEXEC);
    EnableNoDelay(FApi, s);
    if (FHandle)
        FHandle->AcceptCalled(Socket, s);
    return s;
}

int TSocketWrapper::RenewSocket(int Socket, int Family) {
    CheckLoaded();
    const int fresh = FApi.socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fresh == INVALID_SOCKET) {
        DoError(Socket, failed(Socket, errno));
        return SOCKET_ERROR;
    }
    if (FHandle)
        FHandle->Forget(Socket); // notifiers go before the descriptor changes
    // dup3 swaps the socket behind the number in one step: the number is the
    // port's device id, and must not be taken by anything else meanwhile.
    const int r = FApi.dup3(fresh, Socket, O_CLOEXEC);
    const int err = errno;
    FApi.closesocket(fresh);
    if (r < 0) {
        DoError(Socket, failed(Socket, err));
        return SOCKET_ERROR;
    }
    return 0;
}

bool TSocketWrapper::PeerGone(int Socket, std::int32_t& Error) {
    CheckLoaded();
    Error = 0;
    // POLLRDHUP: the peer's close is seen even behind data not yet read,
    // where a peek would only find the data.
    pollfd p{Socket, POLLRDHUP, 0};
    if (FApi.poll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & POLLERR) {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (FApi.getsockopt(Socket, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError != 0)
            Error = SocketErrorFromErrno(soError, shConnected);
    }
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int TSocketWrapper::CloseSocket(int Socket) {
    CheckLoaded();
    if (FHandle)
        FHandle->Forget(Socket); // notifiers go before the descriptor does
    const int r = FApi.closesocket(Socket);
    if (r == SOCKET_ERROR)
        DoError(Socket, failed(Socket, errno));
    return r;
}

int TSocketWrapper::ReleaseSocket(int Socket) {
    if (FHandle)
        FHandle->Forget(Socket);
    return Socket;
}

int TSocketWrapper::ShutdownSocket(int Socket, int How) {
    CheckLoaded();
    const int r = FApi.shutdown(Socket, How);
    if (r == 0) {
        if (FHandle)
            FHandle->ShutDown(Socket, How);
        return r;
    }
    if (const std::int32_t code = failed(Socket, errno); code != wsaEWouldBlock)
        DoError(Socket, code);
    return r;
}

int TSocketWrapper::ReadSocket(int Socket, void* Buf, int BufSize, int Flags) {
    CheckLoaded();
    ssize_t r = SOCKET_ERROR;
    int err = EINVAL;
    if (BufSize >= 0) {
        r = FApi.recv(Socket, Buf, static_cast<size_t>(BufSize), Flags);
        err = errno;
    }
    if (FHandle)
        FHandle->Received(Socket);
    if (r < 0) {
        if (const std::int32_t code = failed(Socket, err); code != wsaEWouldBlock)
            DoError(Socket, code);
        return SOCKET_ERROR;
    }
    return static_cast<int>(r);
}

int TSocketWrapper::WriteSocket(int Socket, const void* Buf, int BufSize, int Flags) {
    CheckLoaded();
    ssize_t r = SOCKET_ERROR;
    int err = EINVAL;
    if (BufSize >= 0) {
        // A peer that left must give an error code, not a signal that ends the program.
        r = FApi.send(Socket, Buf, static_cast<size_t>(BufSize), Flags | MSG_NOSIGNAL);
        err = errno;
    }
    if (r < 0) {
        const std::int32_t code = failed(Socket, err);
        if (code == wsaEWouldBlock) {
            if (FHandle)
                FHandle->SendBlocked(Socket);
        } else {
            DoError(Socket, code);
        }
        return SOCKET_ERROR;
    }
    return static_cast<int>(r);
}

int TSocketWrapper::SetAsyncStyles(int Socket, long lEvent) {
    CheckLoaded();
    const int r = FApi.WSAAsyncSelect(Socket, FHandle.get(), CM_SOCKETMESSAGE, lEvent);
    if (r == SOCKET_ERROR)
        DoError(Socket, failed(Socket, errno));
    return r;
}

int TSocketWrapper::SetSocketOptions(int Socket, int Level, int OptName, const void* OptVal, int OptLen) {
    CheckLoaded();
    const int r = FApi.setsockopt(Socket, Level, OptName, OptVal, static_cast<socklen_t>(OptLen));
    if (r == SOCKET_ERROR)
        DoError(Socket, failed(Socket, errno));
    return r;
}

bool TSocketWrapper::wait(int Socket, short Events, int WaitTime) {
    CheckLoaded();
    // poll rather than select: select cannot take a descriptor above 1023.
    pollfd p{Socket, Events, 0};
    return FApi.poll(&p, 1, WaitTime < 0 ? 0 : WaitTime) > 0;
}

bool TSocketWrapper::CanReadSocket(int Socket, int WaitTime) {
    return wait(Socket, POLLIN, WaitTime);
}
bool TSocketWrapper::CanWriteSocket(int Socket, int WaitTime) {
    return wait(Socket, POLLOUT, WaitTime);
}

std::uint32_t(TSocketWrapper::htonl)(std::uint32_t HostLong) {
    CheckLoaded();
    return (FApi.htonl)(HostLong);
}
std::uint16_t(TSocketWrapper::htons)(std::uint16_t HostShort) {
    CheckLoaded();
    return (FApi.htons)(HostShort);
}
std::uint32_t(TSocketWrapper::ntohl)(std::uint32_t NetLong) {
    CheckLoaded();
    return (FApi.ntohl)(NetLong);
}
std::uint16_t(TSocketWrapper::ntohs)(std::uint16_t NetShort) {
    CheckLoaded();
    return (FApi.ntohs)(NetShort);
}

std::string TSocketWrapper::NetAddr2String(in_addr_t InAddr) {
    CheckLoaded();
    in_addr a{};
    a.s_addr = InAddr;
    const char* text = FApi.inet_ntoa(a);
    return text ? text : "";
}

in_addr_t TSocketWrapper::String2NetAddr(const std::string& S) {
    CheckLoaded();
    // Cutting a longer text to 15 characters could turn a host name into a
    // different, valid address; longer text is a name for LookupName.
    if (S.size() > IPStrSize)
        return NoAddress;
    return FApi.inet_addr(S.c_str());
}

in_addr_t TSocketWrapper::LookupName(const std::string& Name) {
    CheckLoaded();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = FApi.getaddrinfo(Name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        FApi.WSASetLastError(rc != 0 ? SocketErrorFromLookup(rc, errno) : wsaNo_Data);
        return 0;
    }
    in_addr_t address = 0;
    if (found->ai_family == AF_INET && found->ai_addr)
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    FApi.freeaddrinfo(found);
    return address;
}

std::string TSocketWrapper::LookupAddress(in_addr_t InAddr) {
    CheckLoaded();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = InAddr;
    char host[NI_MAXHOST] = {};
    const int rc = FApi.getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host,
                                    nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        FApi.WSASetLastError(SocketErrorFromLookup(rc, errno));
        return {};
    }
    return host;
}

std::uint16_t TSocketWrapper::LookupService(const std::string& Service) {
    CheckLoaded();
    if (const servent* s = FApi.getservbyname(Service.c_str(), "tcp"))
        return (FApi.ntohs)(static_cast<std::uint16_t>(s->s_port));
    for (const TKnownService& k : KnownServices)
        if (Service == k.Name)
            return k.Port;
    return 0;
}

std::string TSocketWrapper::LookupPort(std::uint16_t Port) {
    CheckLoaded();
    if (const servent* s = FApi.getservbyport((FApi.htons)(Port), nullptr); s && s->s_name)
        return s->s_name;
    for (const TKnownService& k : KnownServices)
        if (Port == k.Port)
            return k.Name;
    return {};
}

std::int32_t TSocketWrapper::GetLastError() {
    CheckLoaded();
    return FApi.WSAGetLastError();
}

std::string TSocketWrapper::GetLocalHost() {
    CheckLoaded();
    char name[256] = {};
    if (FApi.gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string TSocketWrapper::GetLocalAddress() {
    const std::string host = GetLocalHost();
    if (host.empty())
        return {};
    const in_addr_t address = LookupName(host);
    return address == 0 ? std::string() : NetAddr2String(address);
}

std::string TSocketWrapper::GetDescription() {
    CheckLoaded();
    return asWSData.szDescription;
}

std::string TSocketWrapper::GetSystemStatus() {
    CheckLoaded();
    return asWSData.szSystemStatus;
}

std::intptr_t TSocketWrapper::WndProc(unsigned Msg, std::intptr_t WParam, std::intptr_t LParam) {
    platform::Guarded([&] {
        if (Msg == CM_SOCKETMESSAGE)
            CMSocketMessage(static_cast<int>(WParam), static_cast<std::uint32_t>(LParam));
    });
    return 0;
}

void TSocketWrapper::CMSocketMessage(int Socket, std::uint32_t LParam) {
    const std::int32_t error = static_cast<std::int32_t>(LParam >> 16);
    if (error != 0) {
        DoError(Socket, error);
        return;
    }
    switch (LParam & 0xFFFF) {
    case FD_READ:
        DoRead(Socket);
        break;
    case FD_WRITE:
        DoWrite(Socket);
        break;
    case FD_ACCEPT:
        DoAccept(Socket);
        break;
    case FD_CONNECT:
        DoConnect(Socket);
        break;
    case FD_CLOSE:
        DoDisconnect(Socket);
        break;
    default:
        break;
    }
}

void TSocketWrapper::fire(const TWsNotifyEvent& Event, int Socket) {
    if (Event)
        Event(this, Socket);
}

void TSocketWrapper::DoAccept(int Socket) {
    fire(OnWsAccept, Socket);
}
void TSocketWrapper::DoConnect(int Socket) {
    fire(OnWsConnect, Socket);
}
void TSocketWrapper::DoDisconnect(int Socket) {
    fire(OnWsDisconnect, Socket);
}
void TSocketWrapper::DoRead(int Socket) {
    fire(OnWsRead, Socket);
}
void TSocketWrapper::DoWrite(int Socket) {
    fire(OnWsWrite, Socket);
}

void TSocketWrapper::DoError(int Socket, std::int32_t ErrCode) {
    if (OnWsError)
        OnWsError(this, Socket, ErrCode);
    else
        throw ESocketException::CreateTranslate(ErrCode);
}

void TSocketWrapper::ShowErrorMessage(std::int32_t) {}

} // namespace dravane::net
