#pragma once
// TDeviceSocket: the program's one socket wrapper for its TCP ports. It owns
// every TWsConnection, finds the connection a socket notice belongs to, and
// routes each notice through that connection's events to its dispatcher
// (data arrived: dispatch now) or on to the port (accepted, connected,
// closed, error) as a socket message.
//
// Exactly one exists while a TDeviceSocketInstance lives; whoever uses the TCP
// ports makes that after the Qt application object and drops it before, never
// as a static, since it owns QObjects (notifiers, message windows).
//
// Threading: everything on the UI thread, the connection list included; only
// host-name look-ups run elsewhere (see HostResolver.h).

#include "net/SocketWrapper.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravane::net {

class THostResolver;
class TWsConnection;
class TWsConnectionEvents;

// Notice codes a port's window receives in CM_SOCKETMESSAGE's first parameter;
// any other value is a socket error code.
inline constexpr int wsnAccepted = 8;
inline constexpr int wsnConnected = 16;
inline constexpr int wsnOwnClosed = 32;
inline constexpr int wsnPeerClosed = 48;
// A peer came while another is served: LParam is its socket, no longer
// watched here. The port answers 1 when it took the socket over; otherwise
// the socket is closed, as a server port serves one peer itself.
inline constexpr int wsnExtraPeer = 64;

class TDeviceSocket : public TSocketWrapper {
public:
    explicit TDeviceSocket(const TWsLibrary& Library = {});
    ~TDeviceSocket() override;

    // The program's instance, or null when none exists.
    static TDeviceSocket* Instance();

    // Creates a connection owned here, its socket of Family (raises
    // ESocketException when no socket can be had), and frees one; freeing
    // clears the look-up cache.
    TWsConnection* CreateConnection(int InSize, int OutSize, int Family = AF_INET);
    void FreeConnection(TWsConnection* Connection);

    // The connection whose data socket or own socket is Socket; null for none.
    TWsConnection* FindConnection(int Socket);

    // Lets the served peer of a server connection go, as if it had left.
    void DisconnectPeer(TWsConnection* Connection);

    // Dispatches the connection whose own socket is Socket now (a read notice).
    std::intptr_t DoDispMessage(int Socket, int Event, std::intptr_t LParam);
    // Sends a notice to the port of the connection whose own socket is
    // Socket; the port's answer, 0 when there is none.
    std::intptr_t DoWsMessage(int Socket, int Event, std::intptr_t LParam);

    // Resolves Name off the UI thread; Done runs later on the UI thread unless
    // cancelled first.
    std::uint64_t
    StartLookup(const std::string& Name,
                std::function<void(const std::vector<TSockAddr>& Addresses, std::int32_t Error)> Done);
    void CancelLookup(std::uint64_t Id);

    // Terminal name of the telnet terminal-type reply.
    std::string WsTerminal = "vt100";

protected:
    void DoAccept(int Socket) override;
    void DoConnect(int Socket) override;
    void DoDisconnect(int Socket) override;
    // Never raises: the error goes to the port, then to OnWsError if bound.
    void DoError(int Socket, std::int32_t ErrCode) override;
    void DoRead(int Socket) override;
    void DoWrite(int Socket) override;

private:
    TWsConnectionEvents* eventsOf(int Socket);
    // The served peer Socket of c has gone: what it sent is dispatched, its
    // slot freed, and the port told (Error first, when there was one).
    void peerLeft(TWsConnection* c, int Socket, std::int32_t Error);

    std::vector<std::unique_ptr<TWsConnection>> FConnections;
    int FCacheSocket = -1;
    TWsConnection* FCacheConnection = nullptr;
    std::unique_ptr<THostResolver> FResolver;
};

// Makes the program's device socket and drops it again.
class TDeviceSocketInstance {
public:
    explicit TDeviceSocketInstance(const TWsLibrary& Library = {});
    ~TDeviceSocketInstance();
    TDeviceSocketInstance(const TDeviceSocketInstance&) = delete;
    TDeviceSocketInstance& operator=(const TDeviceSocketInstance&) = delete;
    TDeviceSocket& operator*() const { return *FSocket; }
    TDeviceSocket* operator->() const { return FSocket.get(); }

private:
    std::unique_ptr<TDeviceSocket> FSocket;
};

} // namespace dravane::net
