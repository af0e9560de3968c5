#include "net/WinsockDispatcher.h"

#include "net/DeviceSocket.h"
#include "platform/AppException.h"
#include "serial/PortErrors.h"

#include <QTimer>

#include <stdexcept>

namespace dravane::net {
namespace {

using namespace dravane::serial;

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
    try {
        return FSockets->CreateConnection(InQueue, OutQueue)->SocketHandle();
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
    const std::int32_t reuse = -1;
    if (FSockets->SetSocketOptions(h, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == SOCKET_ERROR &&
        fail())
        return false;
    if (FSockets->BindSocket(h, WsHostAddr) == SOCKET_ERROR && fail())
        return false;
    if (FSockets->SetAsyncStyles(h, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) == SOCKET_ERROR &&
        fail())
        return false;
    if (!WsIsClient) {
        if (FSockets->ListenSocket(h, 5) == SOCKET_ERROR && fail())
            return false;
    } else if (FHostName.empty()) {
        if (FSockets->ConnectSocket(h, WsSockAddr) == SOCKET_ERROR && fail())
            return false;
    } else {
        // A name can take seconds to resolve; opening does not wait for it.
        FLookup = FSockets->StartLookup(FHostName, [this](in_addr_t Address, std::int32_t Error) {
            FLookup = 0;
            platform::Guarded([&] { connectTo(Address, Error); });
        });
    }
    c->Attach(this, WsIsClient, WsIsTelnet);
    c->SetDeadPeerDetection(FDeadPeerDetection);
    return true;
}

void TWinsockDispatcher::connectTo(in_addr_t Address, std::int32_t) {
    const int h = CidEx;
    if (h < 0 || !Connection())
        return;
    if (Address == 0) {
        DeliverSocketMessage(ecWSCANTRESOLVE, 0);
        return;
    }
    WsSockAddr.sin_addr.s_addr = Address;
    FSockets->ConnectSocket(h, WsSockAddr); // a refusal arrives as an error notice
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
    auto finish = [this] {
        InDispatcher = false;
        if (ClosePending)
            DonePortPrim();
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

void TWinsockDispatcher::DispatchNow() {
    if (!FWindow)
        return;
    // A copy of the address keeps the window's queue alive should the
    // dispatch close the port and destroy the window.
    const platform::TMessageTarget window = FWindow->Target();
    window.Send(CM_SOCKETMESSAGE, static_cast<std::uintptr_t>(CidEx.load()), 0, NotifyTimeoutMs);
}

std::intptr_t TWinsockDispatcher::windowProc(std::uint32_t Msg, std::uintptr_t WParam) {
    if (Msg == CM_SOCKETMESSAGE && static_cast<int>(WParam) == CidEx)
        Dispatcher(true);
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
