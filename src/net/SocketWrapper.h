#pragma once
// The only place that talks to the socket library: loads it at run time,
// starts it, turns its notices into calls of overridable handlers on the UI
// thread, and wraps each socket call so that a failure becomes an error
// notice, an exception or an error value, as each operation's rule says.
//
// Every operation first checks that the library loaded and started; if not,
// it raises "Winsock not initialized - " with the reason. Construction itself
// never raises.
//
// Threading: create, use and destroy on the UI thread; notices arrive there
// one at a time and the socket calls never block once notices are asked for.

#include "net/PeerAddress.h"
#include "net/WsLoader.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace dravane::net {

class TSocketNoticeWindow;
class TSocketWrapper;

// The role of a TCP port.
enum TWsMode : std::uint8_t { wsClient, wsServer };

class ESocketException : public std::runtime_error {
public:
    ESocketException(std::int32_t Code, const std::string& Message);
    // "Winsock not initialized - " and the text of ErrCode.
    static ESocketException CreateNoInit(std::int32_t ErrCode, int Dummy = 0);
    // The text of ErrCode.
    static ESocketException CreateTranslate(std::int32_t ErrCode, int Dummy1 = 0, int Dummy2 = 0);

    std::int32_t ErrorCode;
};

using TWsNotifyEvent = std::function<void(TSocketWrapper* Sender, int Socket)>;
using TWsSocketErrorEvent = std::function<void(TSocketWrapper* Sender, int Socket, std::int32_t ErrCode)>;

// Where the entry points come from: the named library, or a table the caller
// made (tests: fakes for refused, reset or would-block on demand). The table
// is copied.
struct TWsLibrary {
    std::string Name = DefaultSocketLibrary;
    const TWsApi* Table = nullptr;
};

inline constexpr std::size_t IPStrSize = 15;
inline constexpr in_addr_t NoAddress = 0xFFFFFFFFu; // the library's "no address" (INADDR_NONE)

class TSocketWrapper : public QObject {
public:
    explicit TSocketWrapper(QObject* Owner = nullptr, const TWsLibrary& Library = {});
    ~TSocketWrapper() override;

    void CheckLoaded() const;

    // A stream socket of Family (AF_INET or AF_INET6). Raises ESocketException on failure.
    int CreateSocket(int Family = AF_INET);
    // Failures below are notices (DoError with the last error) unless said otherwise.
    int BindSocket(int Socket, const sockaddr_in& Address);
    int BindSocket(int Socket, const TSockAddr& Address);
    int ConnectSocket(int Socket, const sockaddr_in& Address); // would-block is no failure
    int ConnectSocket(int Socket, const TSockAddr& Address);   // would-block is no failure
    int ListenSocket(int Socket, int Backlog);                 // would-block is no failure
    // Notice with would-block included, but only the first of failures that
    // repeat (no descriptors: retried every 50 ms); INVALID_SOCKET. The IPv4
    // form holds 0 for an IPv6 peer.
    int AcceptSocket(int Socket, sockaddr_in& Address);
    int AcceptSocket(int Socket, TSockAddr& Address);
    // A fresh socket of Family under Socket's number: a socket whose connect
    // failed cannot try again, and the next address may be of the other
    // family. Its notices are dropped and must be asked for again.
    int RenewSocket(int Socket, int Family);
    // True when the connected Socket's peer has closed or reset it, even with
    // data still unread before that; Error: the reset's code, or 0. No notice.
    bool PeerGone(int Socket, std::int32_t& Error);
    int CloseSocket(int Socket);
    // Stops the notices for Socket and hands it to the caller, who closes it.
    int ReleaseSocket(int Socket);
    int ShutdownSocket(int Socket, int How);                              // would-block is no failure
    int ReadSocket(int Socket, void* Buf, int BufSize, int Flags);        // would-block is no failure
    int WriteSocket(int Socket, const void* Buf, int BufSize, int Flags); // would-block is no failure
    int SetAsyncStyles(int Socket, long lEvent);
    int SetSocketOptions(int Socket, int Level, int OptName, const void* OptVal, int OptLen);
    // Waits at most WaitTime milliseconds; no notice.
    bool CanReadSocket(int Socket, int WaitTime);
    bool CanWriteSocket(int Socket, int WaitTime);

    // Parenthesised: the C library may define these names as macros.
    std::uint32_t(htonl)(std::uint32_t HostLong);
    std::uint16_t(htons)(std::uint16_t HostShort);
    std::uint32_t(ntohl)(std::uint32_t NetLong);
    std::uint16_t(ntohs)(std::uint16_t NetShort);

    // Addresses are IPv4 in network order.
    std::string NetAddr2String(in_addr_t InAddr);
    // A dotted address of at most IPStrSize characters; anything else
    // (longer text included, which is a host name) gives NoAddress.
    in_addr_t String2NetAddr(const std::string& S);
    in_addr_t LookupName(const std::string& Name); // 0 when not found
    std::string LookupAddress(in_addr_t InAddr);   // empty when not found
    // Port in host order; "telnet" is 23 even without a services database.
    std::uint16_t LookupService(const std::string& Service);
    std::string LookupPort(std::uint16_t Port);

    std::int32_t GetLastError();
    // The system's error number behind the last failure, for messages.
    int LastErrno() const { return FLastErrno; }
    std::int32_t LastError() { return GetLastError(); }
    std::string GetLocalHost();
    std::string GetLocalAddress();
    std::string GetDescription();
    std::string GetSystemStatus();
    std::uint16_t WsVersion() const { return asWSData.wVersion; }
    std::uint16_t HighVersion() const { return asWSData.wHighVersion; }
    std::uint16_t MaxSockets() const { return asWSData.iMaxSockets; }
    TSocketNoticeWindow* Handle() const { return FHandle.get(); }
    std::int32_t StartErrorCode() const { return asStartErrorCode; }
    bool DllLoaded() const { return asDllLoaded; }

    // The notice window's procedure: hands any exception a handler raises
    // to the application's exception display and returns normally.
    std::intptr_t WndProc(unsigned Msg, std::intptr_t WParam, std::intptr_t LParam);
    // CM_SOCKETMESSAGE: the error half first; otherwise by event.
    void CMSocketMessage(int Socket, std::uint32_t LParam);

    TWsNotifyEvent OnWsAccept;
    TWsNotifyEvent OnWsConnect;
    TWsNotifyEvent OnWsDisconnect;
    TWsSocketErrorEvent OnWsError;
    TWsNotifyEvent OnWsRead;
    TWsNotifyEvent OnWsWrite;

protected:
    virtual void DoAccept(int Socket);
    virtual void DoConnect(int Socket);
    virtual void DoDisconnect(int Socket);
    // Calls OnWsError, or raises CreateTranslate(ErrCode) when it is not bound.
    virtual void DoError(int Socket, std::int32_t ErrCode);
    virtual void DoRead(int Socket);
    virtual void DoWrite(int Socket);
    virtual void ShowErrorMessage(std::int32_t ErrCode);

    const TWsApi& Api() const { return FApi; }

private:
    // Maps errno (read before anything else can change it) into the last error.
    std::int32_t failed(int Socket, int Errno);
    void fire(const TWsNotifyEvent& Event, int Socket);
    bool wait(int Socket, short Events, int WaitTime);

    TWsApi FApi{};
    int FLastErrno = 0;
    std::unique_ptr<TSocketNoticeWindow> FHandle;
    bool asDllLoaded = false;
    std::int32_t asStartErrorCode = 0;
    TWSAData asWSData;
};

} // namespace dravane::net
