#pragma once
// TWinsockDispatcher: the device layer behind a TCP port. It plugs one
// TWsConnection into the dispatcher core, so the receive ring, triggers,
// PutBlock/GetChar and the trigger events work as for a serial port.
//
// Threading: no threads of its own. Everything, the dispatch procedure
// included, runs on the UI thread: from the timer, from the dispatcher
// window (a read notice dispatches at once) and from ProcessCommunications.
// The timer runs every 50 ms only while a trigger or a delivery is due;
// otherwise once a second, since read notices and WakeDispatch bring every
// other change. An idle port then costs the process almost no wake-ups.
// InDispatcher stops the procedure from re-entering itself when a handler
// pumps messages; the busy flag of a socket message holds triggers back and
// turns a close requested meanwhile into a deferred one, completed once the
// message has been handled (never inside a notice path that still uses the
// connection).
//
// Addresses: a server without a listen address takes every address of both
// families on one IPv6 socket (IPv4 peers arrive as mapped addresses), or
// IPv4 alone where the system has no IPv6; with one it binds that family
// alone. A client tries the addresses a name gives in order, each on a fresh
// socket under the same number (the device id), and the port hears only of
// the last failure.

#include "net/WsConnection.h"
#include "platform/MessageWindow.h"
#include "serial/BaseDispatcher.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace dravane::net {

class TDeviceSocket;

class TWinsockDispatcher : public serial::TBaseDispatcher, private TWsConnectionEvents {
public:
    static constexpr int TimerIntervalMs = 50;
    static constexpr int TimerIdleMs = 1000;

    explicit TWinsockDispatcher(serial::TCustomComPort* Owner, TDeviceSocket* Sockets = nullptr);
    ~TWinsockDispatcher() override;

    // Before InitSocket. Address and Port in network order; LocalAddress is
    // not used (SetListenAddress says where a server listens).
    void InitSocketData(in_addr_t LocalAddress, in_addr_t Address, std::uint16_t Port, bool IsClient,
                        bool IsTelnet);
    // Server role, before InitSocket: empty for every address, else an
    // address of either family or a host name (resolved off the UI thread;
    // listening starts when the answer is in, and a failure reaches the port
    // as an error notice).
    void SetListenAddress(const std::string& Address) { FListenAddress = Address; }
    // Client role, before InitSocket: the server as an address of either
    // family, in place of InitSocketData's IPv4 one.
    void SetDestination(const TPeerAddress& Address) { FDestination = Address; }
    // Client role: the server's host name, resolved off the UI thread once the
    // socket is set up; the connection starts when the answer is in. A failed
    // look-up reaches the port as error 9007.
    void SetHostName(const std::string& Name) { FHostName = Name; }
    // Keepalive and user time-out on every data socket (on by default).
    void SetDeadPeerDetection(bool On) { FDeadPeerDetection = On; }
    // Where socket messages go: the port's notification window.
    void SetSocketWindow(const platform::TMessageTarget& Window) { FSocketWindow = Window; }

    // ---- device operations ----
    int EscapeComFunction(int) override { return 0; }
    int FlushCom(int Queue) override;
    int GetComError(serial::TComStat& Stat) override;
    int GetComState(serial::TDCB& Block) override;
    int ReadCom(std::uint8_t* Buf, int Size) override;
    int SetComState(const serial::TDCB&) override { return 0; }
    int WriteCom(const std::uint8_t* Buf, int Size) override;
    bool SetupCom(int InSize, int OutSize) override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    int OutBufUsed() override;
    int InQueueUsed() override;
    int OpenCom(const std::string& ComName, int InQueue, int OutQueue) override;
    int CloseCom() override;
    bool CheckPort(const std::string& ComName) override;
    void ProcessCommunications() override { Dispatcher(false); }
    int DeviceErrorCode() const override { return -FLastSocketError; }
    bool WaitForComItem(int) override { return false; }
    // A trigger came due: the dispatch procedure runs soon and the timer
    // goes back to its short period. Safe from any thread.
    void WakeDispatch() override;
    std::uint32_t TakeComEvent() override { return 0; }

    // The dispatch procedure; triggers fire only when FireTriggers is set.
    void Dispatcher(bool FireTriggers);
    // Runs the dispatch procedure through the dispatcher window (a read notice).
    void DispatchNow() override;
    // Server role: the served peer is sent what waits for it and let go; the
    // port hears of the leave. Nothing happens without a peer.
    void DropPeer();
    // Sends a socket message to the port with this dispatcher marked busy.
    std::intptr_t DeliverSocketMessage(int Event, std::intptr_t LParam);
    // Why listening failed, naming the address, the port and the cause;
    // empty when it did not.
    const std::string& FailureText() const { return FFailureText; }

    TWsConnection* Connection();
    bool InDispatcher = false;
    // IPv4 forms, as ever: 0 for an IPv6 peer or address.
    sockaddr_in WsSockAddr{};
    sockaddr_in WsHostAddr{};
    // The last peer accepted, of either family; none once it left.
    TPeerAddress WsPeerAddress;
    bool WsIsClient = true;
    bool WsIsTelnet = true;
    bool FDeadPeerDetection = true;

private:
    void CarrierChanged(bool On) override;
    void PeerChanged(const TPeerAddress& Peer) override;
    std::intptr_t SocketNotice(int Event, std::intptr_t LParam) override;
    void TelnetLogged(TTelnetEvent Event, std::uint8_t Data, const std::string& Terminal) override;
    bool fail();
    bool listenOn(int Socket, const TSockAddr& At);
    bool listenFailed(const TSockAddr& At);
    void listenResolved(const std::vector<TSockAddr>& Found, std::int32_t Error);
    void connectTo(const std::vector<TSockAddr>& Found, std::int32_t Error);
    void tryCandidate(std::size_t Index);
    std::intptr_t windowProc(std::uint32_t Msg, std::uintptr_t WParam);
    void rearm(bool FiredTriggers);

    TDeviceSocket* FSockets;
    std::string FHostName;
    std::string FListenAddress;
    TPeerAddress FDestination;
    std::uint16_t FPortNet = 0;
    int FFamily = AF_INET;              // of the socket behind the device id now
    std::vector<TSockAddr> FCandidates; // client: the addresses to try, in order
    std::size_t FCandidate = 0;
    bool FConnecting = false; // client: an attempt is under way
    bool FQuiet = false;      // errors of attempts in a loop of our own are not the port's yet
    std::string FFailureText;
    std::uint64_t FLookup = 0;
    std::int32_t FLastSocketError = 0;
    platform::TMessageTarget FSocketWindow;
    std::unique_ptr<QTimer> FTimer;
    std::unique_ptr<platform::TMessageWindow> FWindow;
    platform::TMessageTarget FWake; // FWindow's, kept for WakeDispatch from other threads
};

} // namespace dravane::net
