#include "net/WinsockDispatcher.h"

#include "net/DeviceSocket.h"
#include "net/NetLog.h"
#include "platform/AppException.h"
#include "serial/PortErrors.h"

#include <QTimer>

#include <netinet/in.h>

#include <optional>
#include <stdexcept>
#include <system_error>

namespace dravane::net {
namespace {

using namespace dravane::serial;

// The dispatcher window's own message: try the next address.
constexpr std::uint32_t CM_NEXTADDRESS = 0x0B13;
constexpr long AllNotices = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

bool isError(int Event) {
    return Event != wsnAccepted && Event != wsnConnected && Event != wsnOwnClosed && Event != wsnPeerClosed &&
           Event != wsnExtraPeer;
}

int familyOf(const TPeerAddress& a) {
    return a.IsIPv4() ? AF_INET : AF_INET6;
}

} // namespace

TWinsockDispatcher::TWinsockDispatcher(TCustomComPort* Owner, TDeviceSocket* Sockets)
    : TBaseDispatcher(Owner), FSockets(Sockets ? Sockets : TDeviceSocket::Instance()) {}

TWinsockDispatcher::~TWinsockDispatcher() {
    if (FLookup != 0 && FSockets)
        FSockets->CancelLookup(FLookup);
    FLookup = 0;
    if (ClosePending)
        DonePortPrim();
    else
        DonePort();
    FWindow.reset();
    FTimer.reset();
}

void TWinsockDispatcher::InitSocketData(in_addr_t, in_addr_t Address, std::uint16_t Port, bool IsClient,
                                        bool IsTelnet) {
    WsIsClient = IsClient;
    WsIsTelnet = IsTelnet;
    WsSockAddr = {};
    WsSockAddr.sin_family = AF_INET;
    WsSockAddr.sin_port = Port;
    WsSockAddr.sin_addr.s_addr = Address;
    WsHostAddr = {};
    WsHostAddr.sin_family = AF_INET;
    WsHostAddr.sin_addr.s_addr = 0;
    WsHostAddr.sin_port = IsClient ? 0 : Port;
    FPortNet = Port;
    FDestination = Address != 0 ? TPeerAddress::FromIPv4(Address) : TPeerAddress{};
}

void TWinsockDispatcher::PeerChanged(const TPeerAddress& Peer) {
    WsPeerAddress = Peer;
    WsSockAddr.sin_addr.s_addr = Peer.IPv4();
    if (!Peer.Valid())
        WsSockAddr = {};
}

std::intptr_t TWinsockDispatcher::SocketNotice(int Event, std::intptr_t LParam) {
    if (isError(Event) && FQuiet) {
        FLastSocketError = Event;
        return 0;
    }
    if (FConnecting) {
        if (Event == wsnConnected) {
            FConnecting = false;
        } else if (isError(Event)) {
            if (FCandidate + 1 < FCandidates.size()) {
                qCDebug(lcNet) << "cannot connect to" << FCandidates[FCandidate].Text().c_str() << "error"
                               << Event << "- trying the next address";
                if (FWindow)
                    FWindow->Post(CM_NEXTADDRESS, static_cast<std::uintptr_t>(CidEx.load()), 0);
                return 0;
            }
            FConnecting = false;
        }
    }
    return DeliverSocketMessage(Event, LParam);
}

TWsConnection* TWinsockDispatcher::Connection() {
    const int id = CidEx;
    if (!FSockets || id < 0)
        return nullptr;
    TWsConnection* c = FSockets->FindConnection(id);
    return c && c->SocketHandle() == id ? c : nullptr;
}

// ---------------------------------------------------------------- open and close

int TWinsockDispatcher::OpenCom(const std::string&, int InQueue, int OutQueue) {
    if (!FSockets) {
        FLastSocketError = ecWSLOADERROR;
        return -1;
    }
    std::optional<TPeerAddress> listenAt;
    if (WsIsClient) {
        FFamily = FDestination.Valid() ? familyOf(FDestination) : AF_INET;
    } else if (!FListenAddress.empty() && (listenAt = TPeerAddress::Parse(FListenAddress))) {
        FFamily = familyOf(*listenAt);
    } else {
        FFamily = AF_INET6; // every address, or a name: both families
    }
    try {
        try {
            return FSockets->CreateConnection(InQueue, OutQueue, FFamily)->SocketHandle();
        } catch (const ESocketException& e) {
            // A system without IPv6 still serves IPv4.
            if (e.ErrorCode != wsaEAfNoSupport || WsIsClient || listenAt)
                throw;
            FFamily = AF_INET;
            return FSockets->CreateConnection(InQueue, OutQueue, FFamily)->SocketHandle();
        }
    } catch (const ESocketException& e) {
        FLastSocketError = e.ErrorCode;
        return -1;
    }
}

// The last socket error, unless it only says "would block".
bool TWinsockDispatcher::fail() {
    FLastSocketError = FSockets->GetLastError();
    return FLastSocketError != wsaEWouldBlock;
}

bool TWinsockDispatcher::SetupCom(int, int) {
    TWsConnection* c = Connection();
    if (!c)
        return false;
    const int h = c->SocketHandle();
    FFailureText.clear();
    FCandidates.clear();
    FConnecting = false;
    if (!WsIsClient) {
        if (const std::optional<TPeerAddress> at = TPeerAddress::Parse(FListenAddress); at) {
            if (!listenOn(h, TSockAddr::Make(*at, FPortNet, FFamily)))
                return false;
        } else if (FListenAddress.empty()) {
            if (!listenOn(h, TSockAddr::Any(FFamily, FPortNet)))
                return false;
        } else {
            // A name can take seconds to resolve; opening does not wait for it.
            FLookup = FSockets->StartLookup(FListenAddress,
                                            [this](const std::vector<TSockAddr>& Found, std::int32_t Error) {
                                                FLookup = 0;
                                                platform::Guarded([&] { listenResolved(Found, Error); });
                                            });
        }
        c->Attach(this, WsIsClient, WsIsTelnet);
        return true;
    }
    const std::int32_t reuse = -1;
    if (FSockets->SetSocketOptions(h, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == SOCKET_ERROR &&
        fail())
        return false;
    if (FSockets->BindSocket(h, TSockAddr::Any(FFamily, 0)) == SOCKET_ERROR && fail())
        return false;
    if (FSockets->SetAsyncStyles(h, AllNotices) == SOCKET_ERROR && fail())
        return false;
    if (FHostName.empty()) {
        FCandidates = {TSockAddr::Make(FDestination, FPortNet, FFamily)};
        FCandidate = 0;
        FConnecting = true;
        if (FSockets->ConnectSocket(h, FCandidates[0]) == SOCKET_ERROR && fail())
            return false;
    } else {
        // A name can take seconds to resolve; opening does not wait for it.
        FLookup =
            FSockets->StartLookup(FHostName, [this](const std::vector<TSockAddr>& Found, std::int32_t Error) {
                FLookup = 0;
                platform::Guarded([&] { connectTo(Found, Error); });
            });
    }
    c->Attach(this, WsIsClient, WsIsTelnet);
    c->SetDeadPeerDetection(FDeadPeerDetection);
    return true;
}

bool TWinsockDispatcher::listenOn(int Socket, const TSockAddr& At) {
    const std::int32_t on = -1;
    if (FSockets->SetSocketOptions(Socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == SOCKET_ERROR &&
        fail())
        return listenFailed(At);
    if (At.Family() == AF_INET6) {
        // Every address: IPv4 peers come to the same socket. One IPv6
        // address: that one alone.
        const int v6only = FListenAddress.empty() ? 0 : 1;
        if (FSockets->SetSocketOptions(Socket, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) ==
                SOCKET_ERROR &&
            fail())
            return listenFailed(At);
    }
    if (FSockets->BindSocket(Socket, At) == SOCKET_ERROR && fail())
        return listenFailed(At);
    if (FSockets->SetAsyncStyles(Socket, AllNotices) == SOCKET_ERROR && fail())
        return listenFailed(At);
    if (FSockets->ListenSocket(Socket, 5) == SOCKET_ERROR && fail())
        return listenFailed(At);
    // The link logs it once per episode; a Server listens anew each supervision cycle.
    qCDebug(lcNet).noquote() << "listening on"
                             << (FListenAddress.empty()
                                     ? "every address port " + std::to_string(ntohs(FPortNet))
                                     : At.Text())
                                    .c_str();
    return true;
}

bool TWinsockDispatcher::listenFailed(const TSockAddr& At) {
    std::string where =
        FListenAddress.empty() ? "every address port " + std::to_string(ntohs(FPortNet)) : At.Text();
    if (!FListenAddress.empty() && !TPeerAddress::Parse(FListenAddress))
        where = FListenAddress + " (" + where + ")"; // a name: which of its addresses
    FFailureText =
        "Cannot listen on " + where + ": " + std::generic_category().message(FSockets->LastErrno());
    qCDebug(lcNet).noquote() << FFailureText.c_str(); // the link tells it, once per episode
    return false;
}

void TWinsockDispatcher::listenResolved(const std::vector<TSockAddr>& Found, std::int32_t Error) {
    const int h = CidEx;
    if (h < 0 || !Connection())
        return;
    if (Found.empty()) {
        FFailureText = "Cannot listen on " + FListenAddress + " port " + std::to_string(ntohs(FPortNet)) +
                       ": " + ErrorMessage(Error != 0 ? Error : ecWSCANTRESOLVE);
        qCDebug(lcNet).noquote() << FFailureText.c_str(); // the link tells it, once per episode
        DeliverSocketMessage(ecWSCANTRESOLVE, 0);
        return;
    }
    // The first address that can be listened on; failures on the way are
    // told once, as the last one.
    FQuiet = true;
    bool listening = false;
    for (std::size_t i = 0; i < Found.size() && !listening && Connection(); ++i) {
        const TPeerAddress a = Found[i].Address();
        const TSockAddr at = TSockAddr::Make(a, FPortNet, familyOf(a));
        if ((i > 0 || at.Family() != FFamily) && FSockets->RenewSocket(h, at.Family()) == SOCKET_ERROR) {
            fail();
            continue;
        }
        FFamily = at.Family();
        listening = listenOn(h, at);
    }
    FQuiet = false;
    if (!listening && Connection())
        DeliverSocketMessage(FLastSocketError != 0 ? FLastSocketError : ecWSERROR, 0);
}

void TWinsockDispatcher::connectTo(const std::vector<TSockAddr>& Found, std::int32_t) {
    if (CidEx < 0 || !Connection())
        return;
    if (Found.empty()) {
        DeliverSocketMessage(ecWSCANTRESOLVE, 0);
        return;
    }
    FCandidates.clear();
    for (const TSockAddr& f : Found) {
        const TPeerAddress a = f.Address();
        FCandidates.push_back(TSockAddr::Make(a, FPortNet, familyOf(a)));
    }
    tryCandidate(0);
}

void TWinsockDispatcher::tryCandidate(std::size_t Index) {
    const int h = CidEx;
    if (h < 0 || !Connection() || Index >= FCandidates.size())
        return;
    FCandidate = Index;
    FConnecting = true;
    const TSockAddr& at = FCandidates[Index];
    // A socket whose connect failed is spent; the first one is fresh.
    if (Index > 0 || at.Family() != FFamily) {
        if (FSockets->RenewSocket(h, at.Family()) == SOCKET_ERROR)
            return; // its error notice moved on already
        FFamily = at.Family();
        if (FSockets->SetAsyncStyles(h, AllNotices) == SOCKET_ERROR)
            return;
    }
    WsSockAddr.sin_addr.s_addr = at.Address().IPv4();
    FSockets->ConnectSocket(h, at); // a refusal arrives as an error notice
}

void TWinsockDispatcher::DropPeer() {
    TWsConnection* c = Connection();
    if (!c || WsIsClient || c->CommSocket() < 0)
        return;
    c->Push();
    FSockets->DisconnectPeer(c);
}

int TWinsockDispatcher::CloseCom() {
    if (FLookup != 0) {
        FSockets->CancelLookup(FLookup);
        FLookup = 0;
    }
    if (!FSockets)
        return -1;
    TWsConnection* c = Connection();
    if (c)
        FSockets->FreeConnection(c);
    return c ? 0 : -1;
}

bool TWinsockDispatcher::CheckPort(const std::string& ComName) {
    const int id = OpenCom(ComName, 64, 64);
    if (id < 0)
        return false;
    const int saved = CidEx;
    CidEx = id;
    CloseCom();
    CidEx = saved;
    return id != 0;
}

void TWinsockDispatcher::StartDispatcher() {
    if (DispActive)
        throw std::runtime_error("Dispatcher already started");
    DispActive = true;
    FTimer = std::make_unique<QTimer>();
    FTimer->setTimerType(Qt::PreciseTimer);
    FTimer->setInterval(TimerIntervalMs);
    QObject::connect(FTimer.get(), &QTimer::timeout, FTimer.get(),
                     [this] { platform::Guarded([this] { Dispatcher(true); }); });
    FTimer->start();
    if (!FTimer->isActive()) {
        DispActive = false;
        throw std::runtime_error("Resource not available");
    }
    FWindow = std::make_unique<platform::TMessageWindow>(
        [this](std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t) { return windowProc(Msg, WParam); });
    FWake = FWindow->Target();
}

void TWinsockDispatcher::StopDispatcher() {
    if (!DispActive)
        return;
    // The timer is only stopped: this may run inside its own signal.
    if (FTimer)
        FTimer->stop();
    FWindow.reset(); // safe inside its own handler: the caller holds the queue
    DispActive = false;
}

// ---------------------------------------------------------------- data

int TWinsockDispatcher::ReadCom(std::uint8_t* Buf, int Size) {
    TWsConnection* c = Connection();
    return c ? c->ReadBuf(Buf, Size) : 0;
}

int TWinsockDispatcher::WriteCom(const std::uint8_t* Buf, int Size) {
    TWsConnection* c = Connection();
    return c ? c->WriteBuf(Buf, Size) : 0;
}

// Socket errors are not line errors: they reach the port as error notices,
// and their numbers folded into the line-error word would read as overrun,
// parity, framing and break. So the word stays 0.
int TWinsockDispatcher::GetComError(TComStat& Stat) {
    Stat = {};
    if (TWsConnection* c = Connection()) {
        Stat.cbInQue = static_cast<std::uint32_t>(c->GetInChars());
        Stat.cbOutQue = static_cast<std::uint32_t>(c->GetOutChars());
    }
    return 0;
}

int TWinsockDispatcher::FlushCom(int Queue) {
    if (TWsConnection* c = Connection()) {
        if (Queue == 0)
            c->FlushOutBuffer();
        else if (Queue == 1)
            c->FlushInBuffer();
    }
    return 0;
}

int TWinsockDispatcher::GetComState(TDCB& Block) {
    Block.BaudRate = 19200;
    Block.ByteSize = 8;
    Block.Parity = NOPARITY;
    return 0;
}

int TWinsockDispatcher::OutBufUsed() {
    TWsConnection* c = Connection();
    return c ? c->GetOutChars() : 0;
}

int TWinsockDispatcher::InQueueUsed() {
    TWsConnection* c = Connection();
    return c ? c->GetInChars() : 0;
}

// ---------------------------------------------------------------- dispatching

void TWinsockDispatcher::Dispatcher(bool FireTriggers) {
    if (InDispatcher)
        return;
    InDispatcher = true;
    if (ClosePending) {
        InDispatcher = false;
        DonePortPrim();
        return;
    }
    auto finish = [this, FireTriggers] {
        InDispatcher = false;
        if (ClosePending)
            DonePortPrim();
        else
            rearm(FireTriggers);
    };
    try {
        RefreshStatus();
        TComStat stat;
        {
            // RefreshStatus left the counts in ComStatus.
            std::lock_guard lock(FStatusLock);
            stat = ComStatus;
        }
        if (stat.cbInQue != 0)
            ExtractData();
        if (!FireTriggers || EventBusy()) {
            AddDispatchEntry(dtError, dstNone, 0);
        } else {
            ClearGlobalStatHit();
            while (!ClosePending && CheckTriggers()) {
            }
            if (GlobalStatusHit())
                ResetStatusHits();
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

// Triggers held back (a busy event, a run that fired none) are tried again
// in 50 ms, as is anything else due; an idle port waits a second.
void TWinsockDispatcher::rearm(bool FiredTriggers) {
    if (!FTimer || !DispActive)
        return;
    const int next = FiredTriggers ? NextCycleWaitMs(TimerIntervalMs, TimerIdleMs) : TimerIntervalMs;
    // The same period keeps its cadence: restarting would put the next run off.
    if (FTimer->interval() != next || !FTimer->isActive())
        FTimer->start(next);
}

void TWinsockDispatcher::WakeDispatch() {
    FWake.Post(CM_SOCKETMESSAGE, static_cast<std::uintptr_t>(CidEx.load()), 0);
}

void TWinsockDispatcher::DispatchNow() {
    if (!FWindow)
        return;
    // A copy of the address keeps the window's queue alive should the
    // dispatch close the port and destroy the window.
    const platform::TMessageTarget window = FWindow->Target();
    window.Send(CM_SOCKETMESSAGE, static_cast<std::uintptr_t>(CidEx.load()), 0, NotifyTimeoutMs);
}

std::intptr_t TWinsockDispatcher::windowProc(std::uint32_t Msg, std::uintptr_t WParam) {
    if (static_cast<int>(WParam) != CidEx)
        return 0;
    if (Msg == CM_SOCKETMESSAGE)
        Dispatcher(true);
    else if (Msg == CM_NEXTADDRESS && FConnecting)
        tryCandidate(FCandidate + 1);
    return 0;
}

void TWinsockDispatcher::CarrierChanged(bool On) {
    SetModemLines(On ? DCDMask : 0, On ? 0 : DCDMask);
}

void TWinsockDispatcher::TelnetLogged(TTelnetEvent Event, std::uint8_t Data, const std::string& Terminal) {
    if (!DLoggingOn())
        return;
    if (Event == teSTerm)
        AddDispatchEntry(dtTelnet, dstSTerm, Data, Terminal.data(), Terminal.size());
    else if (Event <= teSDont)
        AddDispatchEntry(dtTelnet, static_cast<TDispatchSubType>(dstRWill + (Event - teRWill)), Data);
    else
        AddDispatchEntry(dtTelnet, dstCommand, Data);
}

std::intptr_t TWinsockDispatcher::DeliverSocketMessage(int Event, std::intptr_t LParam) {
    bool wasBusy = false;
    SetEventBusy(wasBusy, true);
    std::intptr_t result = 0;
    const platform::TMessageTarget window = FSocketWindow;
    if (window)
        window.Send(CM_SOCKETMESSAGE, static_cast<std::uintptr_t>(Event), LParam, NotifyTimeoutMs, &result);
    bool ignored = false;
    SetEventBusy(ignored, wasBusy);
    // A close asked for by the handler is completed once the notice path
    // that called us has let go of the connection: from the window, later.
    if (!wasBusy && ClosePending && !InDispatcher && FWindow)
        FWindow->Post(CM_SOCKETMESSAGE, static_cast<std::uintptr_t>(CidEx.load()), 0);
    return result;
}

} // namespace dravane::net
