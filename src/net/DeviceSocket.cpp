#include "net/DeviceSocket.h"

#include "net/HostResolver.h"
#include "net/SocketErrors.h"
#include "net/WsConnection.h"
#include "serial/PortErrors.h"

#include <algorithm>

namespace dravane::net {
namespace {

TDeviceSocket* gDeviceSocket = nullptr; // UI thread only

} // namespace

TDeviceSocket::TDeviceSocket(const TWsLibrary& Library) : TSocketWrapper(nullptr, Library) {}

TDeviceSocket::~TDeviceSocket() {
    std::vector<std::unique_ptr<TWsConnection>> connections;
    connections.swap(FConnections);
    FCacheSocket = -1;
    FCacheConnection = nullptr;
    connections.clear(); // closes their sockets while the wrapper still works
    FResolver.reset();
}

TDeviceSocket* TDeviceSocket::Instance() {
    return gDeviceSocket;
}

TWsConnection* TDeviceSocket::CreateConnection(int InSize, int OutSize, int Family) {
    FConnections.push_back(std::make_unique<TWsConnection>(*this, WsTerminal, OutSize, InSize, Family));
    return FConnections.back().get();
}

void TDeviceSocket::FreeConnection(TWsConnection* Connection) {
    auto it = std::find_if(FConnections.begin(), FConnections.end(),
                           [Connection](const auto& c) { return c.get() == Connection; });
    if (it == FConnections.end())
        return;
    std::unique_ptr<TWsConnection> doomed = std::move(*it);
    FConnections.erase(it);
    FCacheSocket = -1;
    FCacheConnection = nullptr;
    doomed->Shutdown();
}

TWsConnection* TDeviceSocket::FindConnection(int Socket) {
    if (Socket < 0)
        return nullptr;
    // A socket number is reused as soon as it is closed: a cached entry counts
    // only while the connection still holds that socket.
    if (FCacheConnection && FCacheSocket == Socket &&
        (FCacheConnection->CommSocket() == Socket || FCacheConnection->SocketHandle() == Socket))
        return FCacheConnection;
    for (const auto& c : FConnections) {
        if (c->CommSocket() == Socket || c->SocketHandle() == Socket) {
            FCacheSocket = Socket;
            FCacheConnection = c.get();
            return c.get();
        }
    }
    return nullptr;
}

TWsConnectionEvents* TDeviceSocket::eventsOf(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    return c && c->SocketHandle() == Socket ? c->Events() : nullptr;
}

std::intptr_t TDeviceSocket::DoDispMessage(int Socket, int, std::intptr_t) {
    if (TWsConnection* c = FindConnection(Socket))
        c->ReadNoticed();
    if (TWsConnectionEvents* e = eventsOf(Socket))
        e->DispatchNow();
    return 0;
}

std::intptr_t TDeviceSocket::DoWsMessage(int Socket, int Event, std::intptr_t LParam) {
    TWsConnectionEvents* e = eventsOf(Socket);
    return e ? e->SocketNotice(Event, LParam) : 0;
}

std::uint64_t
TDeviceSocket::StartLookup(const std::string& Name,
                           std::function<void(const std::vector<TSockAddr>&, std::int32_t)> Done) {
    CheckLoaded();
    if (!FResolver)
        FResolver = std::make_unique<THostResolver>(Api());
    return FResolver->Start(Name, std::move(Done));
}

void TDeviceSocket::CancelLookup(std::uint64_t Id) {
    if (FResolver)
        FResolver->Cancel(Id);
}

void TDeviceSocket::DoAccept(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    if (!c || !c->Events() || c->SocketHandle() != Socket) {
        TSocketWrapper::DoAccept(Socket);
        return;
    }
    TSockAddr from;
    const int s = AcceptSocket(Socket, from);
    if (s == INVALID_SOCKET)
        return;
    if (const int served = c->CommSocket(); served != -1) {
        // A peer that leaves just as the next arrives: the accept can come
        // before the leave's notice, so ask the socket itself.
        std::int32_t error = 0;
        if (!PeerGone(served, error)) {
            // The port serves one peer itself; whoever uses it may take
            // further ones over, or they are let in and shown out at once.
            if (DoWsMessage(Socket, wsnExtraPeer, ReleaseSocket(s)) != 1)
                Api().closesocket(s);
            return;
        }
        peerLeft(c, served, error);
        c = FindConnection(Socket);
        if (!c || c->CommSocket() != -1) {
            CloseSocket(s); // the port closed, or took another peer, meanwhile
            return;
        }
    }
    const TPeerAddress peer = from.Address();
    c->AdmitPeer(s, &peer);
    const std::intptr_t accepted = DoWsMessage(Socket, wsnAccepted, static_cast<std::intptr_t>(peer.IPv4()));
    // The port may have closed meanwhile (its close waits until now, but the
    // connection is looked up again rather than trusted).
    c = FindConnection(Socket);
    if (!c || c->CommSocket() != s)
        return;
    if (accepted == 1) {
        c->SetConnectionState(wcsConnected);
        c->Push(); // output written while no peer was there
    } else {
        CloseSocket(c->DropPeer());
    }
    TSocketWrapper::DoAccept(Socket);
}

void TDeviceSocket::DisconnectPeer(TWsConnection* Connection) {
    const int peer = Connection->CommSocket();
    if (peer >= 0 && peer != Connection->SocketHandle())
        peerLeft(Connection, peer, 0);
}

void TDeviceSocket::peerLeft(TWsConnection* c, int Socket, std::int32_t Error) {
    const int handle = c->SocketHandle();
    // What the peer sent before it left reaches the port before the news.
    DoDispMessage(handle, 1, 0);
    c = FindConnection(handle);
    if (!c || c->CommSocket() != Socket)
        return;
    CloseSocket(c->DropPeer());
    if (Error != 0)
        DoWsMessage(handle, Error, 0);
    DoWsMessage(handle, wsnPeerClosed, 0);
}

void TDeviceSocket::DoConnect(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    if (!c)
        return;
    c->SetConnectionState(wcsConnected);
    if (c->IsClient())
        c->AdmitPeer(Socket);
    const int handle = c->SocketHandle();
    DoWsMessage(handle, wsnConnected, 0);
    if ((c = FindConnection(Socket)) != nullptr)
        c->Push(); // output written while the connection was being made
    TSocketWrapper::DoConnect(Socket);
}

void TDeviceSocket::DoDisconnect(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    if (c && c->Events()) {
        // What the peer sent before it left reaches the port before the news.
        DoDispMessage(c->SocketHandle(), 1, 0);
        c = FindConnection(Socket);
    }
    if (c && c->Events()) {
        const int handle = c->SocketHandle();
        c->DropPeer();
        if (Socket == handle) {
            DoWsMessage(handle, wsnOwnClosed, 0);
        } else {
            CloseSocket(Socket);
            DoWsMessage(handle, wsnPeerClosed, 0);
        }
    }
    TSocketWrapper::DoDisconnect(Socket);
}

void TDeviceSocket::DoError(int Socket, std::int32_t ErrCode) {
    if (ErrCode == serial::wsaEWouldBlock)
        return; // never an error
    if (TWsConnection* c = FindConnection(Socket); c && c->Events()) {
        const int handle = c->SocketHandle();
        // The served peer is gone, whatever the error: its slot is freed at
        // once and the port hears of the leave after the error, so the next
        // client is admitted rather than turned away as if one were served.
        const bool lost = Socket != handle && Socket == c->CommSocket() && EndsConnection(ErrCode);
        if (lost)
            CloseSocket(c->DropPeer());
        DoWsMessage(handle, ErrCode, 0);
        if (lost)
            DoWsMessage(handle, wsnPeerClosed, 0);
    }
    if (OnWsError)
        OnWsError(this, Socket, ErrCode);
}

void TDeviceSocket::DoRead(int Socket) {
    if (TWsConnection* c = FindConnection(Socket))
        DoDispMessage(c->SocketHandle(), 1, 0);
    TSocketWrapper::DoRead(Socket);
}

void TDeviceSocket::DoWrite(int Socket) {
    // Room again after a send that would block: what waits in the output ring
    // goes now, and input held back for want of room for replies is decoded.
    if (TWsConnection* c = FindConnection(Socket))
        DoDispMessage(c->SocketHandle(), 2, 0);
    TSocketWrapper::DoWrite(Socket);
}

TDeviceSocketInstance::TDeviceSocketInstance(const TWsLibrary& Library)
    : FSocket(std::make_unique<TDeviceSocket>(Library)) {
    gDeviceSocket = FSocket.get();
}

TDeviceSocketInstance::~TDeviceSocketInstance() {
    if (gDeviceSocket == FSocket.get())
        gDeviceSocket = nullptr;
    FSocket.reset();
}

} // namespace dravane::net
