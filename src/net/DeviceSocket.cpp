#include "net/DeviceSocket.h"

#include "net/HostResolver.h"
#include "net/WinsockDispatcher.h"
#include "net/WsConnection.h"
#include "serial/PortErrors.h"

#include <algorithm>

namespace dravane::net {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

TDeviceSocket* gDeviceSocket = nullptr; // UI thread only

// Errors after which the served peer is gone: its slot is freed at once, so
// the next client is admitted rather than turned away as if one were served.
bool peerLost(std::int32_t code) {
    return code == serial::wsaENetReset || code == serial::wsaEConnAborted || code == serial::wsaEConnReset;
}

} // namespace

TDeviceSocket::TDeviceSocket(const TWsLibrary& Library) : TSocketWrapper(nullptr, Library) {}

TDeviceSocket::~TDeviceSocket() {
    std::vector<std::unique_ptr<TWsConnection>> connections;
    {
        Lock lock(SockSection);
        connections.swap(FConnections);
        FCacheSocket = -1;
        FCacheConnection = nullptr;
    }
    connections.clear(); // closes their sockets while the wrapper still works
    FResolver.reset();
}

TDeviceSocket* TDeviceSocket::Instance() {
    return gDeviceSocket;
}

TWsConnection* TDeviceSocket::CreateConnection(int InSize, int OutSize) {
    Lock lock(SockSection);
    FConnections.push_back(std::make_unique<TWsConnection>(*this, OutSize, InSize));
    return FConnections.back().get();
}

void TDeviceSocket::FreeConnection(TWsConnection* Connection) {
    std::unique_ptr<TWsConnection> doomed;
    {
        Lock lock(SockSection);
        auto it = std::find_if(FConnections.begin(), FConnections.end(),
                               [Connection](const auto& c) { return c.get() == Connection; });
        if (it == FConnections.end())
            return;
        doomed = std::move(*it);
        FConnections.erase(it);
        FCacheSocket = -1;
        FCacheConnection = nullptr;
    }
    doomed->Shutdown();
}

TWsConnection* TDeviceSocket::FindConnection(int Socket) {
    if (Socket < 0)
        return nullptr;
    Lock lock(SockSection);
    // A socket number is reused as soon as it is closed: a cached entry counts
    // only while the connection still holds that socket.
    if (FCacheConnection && FCacheSocket == Socket &&
        (FCacheConnection->FCommSocket == Socket || FCacheConnection->FSocketHandle == Socket))
        return FCacheConnection;
    for (const auto& c : FConnections) {
        if (c->FCommSocket == Socket || c->FSocketHandle == Socket) {
            FCacheSocket = Socket;
            FCacheConnection = c.get();
            return c.get();
        }
    }
    return nullptr;
}

TWinsockDispatcher* TDeviceSocket::dispatcherOf(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    if (!c || c->FSocketHandle != Socket || !c->FDispatcher || c->FDispatcher->ComHandle() != Socket)
        return nullptr;
    return c->FDispatcher;
}

std::intptr_t TDeviceSocket::DoDispMessage(int Socket, int, std::intptr_t) {
    if (TWinsockDispatcher* d = dispatcherOf(Socket))
        d->DispatchNow();
    return 0;
}

std::intptr_t TDeviceSocket::DoWsMessage(int Socket, int Event, std::intptr_t LParam) {
    TWinsockDispatcher* d = dispatcherOf(Socket);
    return d ? d->DeliverSocketMessage(Event, LParam) : 0;
}

std::uint64_t TDeviceSocket::StartLookup(const std::string& Name,
                                         std::function<void(in_addr_t, std::int32_t)> Done) {
    CheckLoaded();
    if (!FResolver)
        FResolver = std::make_unique<THostResolver>(Api());
    return FResolver->Start(Name, std::move(Done));
}

void TDeviceSocket::CancelLookup(std::uint64_t Id) {
    if (FResolver)
        FResolver->Cancel(Id);
}

void TDeviceSocket::freePeer(TWsConnection& Connection) {
    const int peer = Connection.FCommSocket;
    Connection.FCommSocket = -1;
    Connection.SetConnectionState(wcsInit);
    if (Connection.FDispatcher)
        Connection.FDispatcher->WsSockAddr = {};
    CloseSocket(peer);
}

void TDeviceSocket::DoAccept(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    TWinsockDispatcher* d = c ? c->FDispatcher : nullptr;
    if (!d || c->FSocketHandle != Socket) {
        TSocketWrapper::DoAccept(Socket);
        return;
    }
    if (c->FCommSocket != -1) {
        // One peer at a time: the newcomer is let in and shown out at once.
        sockaddr_in ignored{};
        if (const int s = AcceptSocket(Socket, ignored); s != INVALID_SOCKET)
            CloseSocket(s);
        return;
    }
    const int s = AcceptSocket(Socket, d->WsSockAddr);
    if (s == INVALID_SOCKET) {
        d->WsSockAddr = {};
        return;
    }
    c->FCommSocket = s;
    c->PeerAdmitted();
    const std::intptr_t accepted =
        DoWsMessage(Socket, wsnAccepted, static_cast<std::intptr_t>(d->WsSockAddr.sin_addr.s_addr));
    // The port may have closed meanwhile (its close waits until now, but the
    // connection is looked up again rather than trusted).
    c = FindConnection(Socket);
    if (!c || c->FCommSocket != s)
        return;
    if (accepted == 1) {
        c->SetConnectionState(wcsConnected);
        c->push(); // output written while no peer was there
    } else {
        c->FCommSocket = -1;
        if (c->FDispatcher)
            c->FDispatcher->WsSockAddr = {};
        CloseSocket(s);
    }
    TSocketWrapper::DoAccept(Socket);
}

void TDeviceSocket::DoConnect(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    if (!c)
        return;
    c->SetConnectionState(wcsConnected);
    if (c->FIsClient) {
        c->FCommSocket = Socket;
        c->PeerAdmitted();
    }
    const int handle = c->FSocketHandle;
    DoWsMessage(handle, wsnConnected, 0);
    if ((c = FindConnection(Socket)) != nullptr)
        c->push(); // output written while the connection was being made
    TSocketWrapper::DoConnect(Socket);
}

void TDeviceSocket::DoDisconnect(int Socket) {
    TWsConnection* c = FindConnection(Socket);
    if (c && c->FDispatcher) {
        const int handle = c->FSocketHandle;
        // What the peer sent before it left reaches the port before the news.
        DoDispMessage(handle, 1, 0);
        c = FindConnection(Socket);
    }
    if (c && c->FDispatcher) {
        const int handle = c->FSocketHandle;
        c->FDispatcher->WsSockAddr = {};
        c->FCommSocket = -1;
        c->SetConnectionState(wcsInit);
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
    if (TWsConnection* c = FindConnection(Socket); c && c->FDispatcher) {
        const int handle = c->FSocketHandle;
        if (Socket != handle && Socket == c->FCommSocket && peerLost(ErrCode))
            freePeer(*c);
        DoWsMessage(handle, ErrCode, 0);
    }
    if (OnWsError)
        OnWsError(this, Socket, ErrCode);
}

void TDeviceSocket::DoRead(int Socket) {
    if (TWsConnection* c = FindConnection(Socket))
        DoDispMessage(c->FSocketHandle, 1, 0);
    TSocketWrapper::DoRead(Socket);
}

void TDeviceSocket::DoWrite(int Socket) {
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
