#include "net/WinsockPort.h"

#include "net/DeviceSocket.h"
#include "net/WinsockDispatcher.h"
#include "platform/MessageWindow.h"
#include "serial/PortErrors.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

namespace dravane::net {
namespace {

using namespace dravane::serial;

constexpr std::size_t MaxLocalAddresses = 256;

std::string trimmed(const std::string& s) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

TDeviceSocket& sockets() {
    TDeviceSocket* s = TDeviceSocket::Instance();
    if (!s)
        throw ESocketException::CreateNoInit(ecWSLOADERROR);
    s->CheckLoaded();
    return *s;
}

// Errors after which a client's connection is gone, or never comes.
bool endsClient(std::int32_t code) {
    return code == wsaENetReset || code == wsaEConnAborted || code == wsaEConnReset ||
           code == wsaEConnRefused || code == ecWSCANTRESOLVE;
}

} // namespace

TCustomWinsockPort::TCustomWinsockPort() {
    EnumHostAddresses();
}

TCustomWinsockPort::~TCustomWinsockPort() {
    // Closed here, while this class's PortClose and WndProc still exist.
    try {
        if (PortState() == serial::psOpen)
            SetOpen(false);
    } catch (const std::exception&) {
        // Nobody to tell; the com port releases what is left.
    }
}

void TCustomWinsockPort::guardChange(const std::string& Old, const std::string& New) const {
    if (PortState() == serial::psOpen && Old != New)
        throw ESocketException::CreateTranslate(ecWSCANTCHANGE);
}

void TCustomWinsockPort::SetWsMode(TWsMode Value) {
    if (Value == FWsMode)
        return;
    if (PortState() == serial::psOpen)
        throw ESocketException::CreateTranslate(ecWSCANTCHANGE);
    FWsMode = Value;
}

void TCustomWinsockPort::SetWsAddress(const std::string& Value) {
    const std::string v = trimmed(Value);
    guardChange(FWsAddress, v);
    FWsAddress = v;
}

void TCustomWinsockPort::SetWsPort(const std::string& Value) {
    const std::string v = trimmed(Value);
    guardChange(FWsPort, v);
    FWsPort = v;
}

void TCustomWinsockPort::SetWsListenAddress(const std::string& Value) {
    const std::string v = trimmed(Value);
    guardChange(FWsListenAddress, v);
    FWsListenAddress = v;
}

const std::vector<std::string>& TCustomWinsockPort::WsLocalAddresses() {
    EnumHostAddresses();
    return FWsLocalAddresses;
}

// The interfaces' own IPv4 addresses, loopback left out: the addresses a
// peer could reach this host at. Read from the interface list, so no name
// look-up can hold the window.
void TCustomWinsockPort::EnumHostAddresses() {
    FWsLocalAddresses.clear();
    TDeviceSocket* s = TDeviceSocket::Instance();
    if (!s || s->StartErrorCode() != 0)
        return;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return;
    for (ifaddrs* i = list; i && FWsLocalAddresses.size() < MaxLocalAddresses; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* a = reinterpret_cast<const std::uint8_t*>(
            &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (a[0] == 127)
            continue;
        char text[16];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
        FWsLocalAddresses.emplace_back(text);
    }
    ::freeifaddrs(list);
}

std::uint16_t TCustomWinsockPort::WsPortNumber() const {
    const std::string& text = FWsPort;
    unsigned long value = 0;
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; })) {
        // Out of range is refused, never cut to 16 bits.
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || value > 65535)
            value = 0;
    } else if (!text.empty()) {
        value = sockets().LookupService(text);
    }
    if (value == 0)
        throw ESocketException::CreateTranslate(ecWSINVPORT);
    return static_cast<std::uint16_t>(value);
}

void TCustomWinsockPort::SetUseMSRShadow(bool Value) {
    TCustomComPort::SetUseMSRShadow(Value);
    if (DeviceLayer() == serial::dlWinsock)
        TCustomComPort::SetUseMSRShadow(false);
}

std::unique_ptr<serial::TBaseDispatcher> TCustomWinsockPort::ActivateDeviceLayer() {
    if (DeviceLayer() == serial::dlWinsock)
        return std::make_unique<TWinsockDispatcher>(this);
    return TCustomComPort::ActivateDeviceLayer();
}

void TCustomWinsockPort::DeviceLayerChanged() {
    if (DeviceLayer() == serial::dlWinsock) {
        SetTapiMode(serial::tmOff);
        SetUseMSRShadow(false);
    } else {
        SetTapiMode(serial::tmAuto);
    }
}

bool TCustomWinsockPort::AcceptsDeviceLayer(serial::TDeviceLayer Layer) const {
    return Layer == serial::dlWinsock || TCustomComPort::AcceptsDeviceLayer(Layer);
}

void TCustomWinsockPort::ValidateComport() {
    if (DeviceLayer() != serial::dlWinsock)
        TCustomComPort::ValidateComport();
}

int TCustomWinsockPort::InitializePort() {
    if (DeviceLayer() != serial::dlWinsock)
        return TCustomComPort::InitializePort();
    auto* d = dynamic_cast<TWinsockDispatcher*>(FDispatcher.get());
    if (!d)
        throw ESocketException::CreateTranslate(ecWSERROR);
    TDeviceSocket& s = sockets();
    const bool client = FWsMode == wsClient;
    FWsErrorText.clear();
    if (client)
        d->DeviceName = "Winsock client, connect to " + FWsAddress + " on port " + FWsPort;
    else if (FWsListenAddress.empty())
        d->DeviceName = "Winsock server on port " + FWsPort;
    else
        d->DeviceName = "Winsock server on " + FWsListenAddress + " port " + FWsPort;

    in_addr_t address = 0;
    std::optional<TPeerAddress> literal;
    std::string hostName;
    if (client) {
        if (FWsAddress.empty())
            throw ESocketException::CreateTranslate(wsaEDestAddrReq);
        address = s.String2NetAddr(FWsAddress);
        if (address == NoAddress) {
            address = 0;
            // An IPv6 address is used at once too; a name is resolved off
            // the UI thread once the socket is set up.
            literal = TPeerAddress::Parse(FWsAddress);
            if (!literal)
                hostName = FWsAddress;
        }
    }
    const std::uint16_t port = (s.htons)(WsPortNumber());
    d->InitSocketData(0, address, port, client, FWsTelnet);
    if (literal)
        d->SetDestination(*literal);
    d->SetHostName(hostName);
    d->SetDeadPeerDetection(FWsDeadPeerDetection);
    d->SetListenAddress(client ? std::string() : FWsListenAddress);
    const int rc = d->InitSocket(InSize(), OutSize());
    if (rc < 0) {
        FWsErrorText = d->FailureText();
        if (FWsErrorText.empty())
            throw ESocketException::CreateTranslate(-rc);
        throw ESocketException(-rc, FWsErrorText);
    }
    return 0;
}

int TCustomWinsockPort::WsDataSocket() const {
    auto* d = dynamic_cast<TWinsockDispatcher*>(DispatcherOrNull());
    const TWsConnection* c = d ? d->Connection() : nullptr;
    return c ? c->CommSocket() : -1;
}

int TCustomWinsockPort::WsUnsentBytes() const {
    auto* d = dynamic_cast<TWinsockDispatcher*>(DispatcherOrNull());
    TWsConnection* c = d ? d->Connection() : nullptr;
    if (!c)
        return 0;
    int queued = 0;
    if (c->CommSocket() >= 0 && ::ioctl(c->CommSocket(), SIOCOUTQNSD, &queued) != 0)
        queued = 0;
    return c->OutChars() + queued;
}

std::uint64_t TCustomWinsockPort::WsQueuedTotal() const {
    auto* d = dynamic_cast<TWinsockDispatcher*>(DispatcherOrNull());
    TWsConnection* c = d ? d->Connection() : nullptr;
    return c ? c->QueuedTotal() : 0;
}

bool TCustomWinsockPort::WsStillOnThisSide(std::uint64_t Mark) const {
    const std::uint64_t after = WsQueuedTotal() - std::min(Mark, WsQueuedTotal());
    return static_cast<std::uint64_t>(WsUnsentBytes()) > after;
}

bool TCustomWinsockPort::DoAccept(const TPeerAddress& Addr) {
    bool accept = true;
    if (FOnWsAccept)
        FOnWsAccept(this, Addr, accept);
    return accept;
}

void TCustomWinsockPort::DoConnect() {
    FConnectFired = true;
    if (FOnWsConnect)
        FOnWsConnect(this);
}

void TCustomWinsockPort::DoDisconnect() {
    const bool fire = FConnectFired || FWsMode == wsServer;
    FConnectFired = false;
    if (fire && FOnWsDisconnect)
        FOnWsDisconnect(this);
}

void TCustomWinsockPort::DoError(std::int32_t ErrCode) {
    // A failed look-up ends a client like a refused connection does. A served
    // peer lost to an error arrives as its leave (wsnPeerClosed), since only
    // the device socket knows which socket failed.
    if (auto* d = dynamic_cast<TWinsockDispatcher*>(FDispatcher.get()))
        FWsErrorText = d->FailureText();
    if (FWsMode == wsClient && endsClient(ErrCode))
        postQuit();
    if (FOnWsError)
        FOnWsError(this, ErrCode);
}

void TCustomWinsockPort::DisconnectPeer() {
    if (const platform::TMessageWindow* w = NotifyWindow(); w && FWsMode == wsServer)
        w->Post(CM_SOCKETDROP, 0, 0);
}

void TCustomWinsockPort::postQuit() {
    if (const platform::TMessageWindow* w = NotifyWindow())
        w->Post(CM_SOCKETQUIT, 0, 0);
}

void TCustomWinsockPort::PortOpen() {
    if (auto* d = dynamic_cast<TWinsockDispatcher*>(FDispatcher.get()); d && NotifyWindow())
        d->SetSocketWindow(NotifyWindow()->Target());
    TCustomComPort::PortOpen();
}

void TCustomWinsockPort::PortClose() {
    TCustomComPort::PortClose();
    if (DeviceLayer() == serial::dlWinsock)
        DoDisconnect();
}

std::intptr_t TCustomWinsockPort::WndProc(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (Msg == CM_SOCKETQUIT) {
        SetOpen(false);
        return 0;
    }
    if (Msg == CM_SOCKETDROP) {
        if (auto* d = dynamic_cast<TWinsockDispatcher*>(FDispatcher.get()))
            d->DropPeer();
        return 0;
    }
    if (Msg != CM_SOCKETMESSAGE)
        return TCustomComPort::WndProc(Msg, wParam, lParam);
    switch (static_cast<int>(wParam)) {
    case wsnAccepted: {
        // The message carries the IPv4 form; the dispatcher has the whole address.
        const auto* d = dynamic_cast<TWinsockDispatcher*>(FDispatcher.get());
        const TPeerAddress peer =
            d ? d->WsPeerAddress : TPeerAddress::FromIPv4(static_cast<in_addr_t>(lParam));
        return DoAccept(peer) ? 1 : 0;
    }
    case wsnExtraPeer: {
        bool taken = false;
        const int socket = static_cast<int>(lParam);
        if (FOnWsExtraPeer) {
            TSockAddr from;
            socklen_t len = from.Capacity();
            if (::getpeername(socket, from.Get(), &len) == 0) {
                from.Fix(len);
                FOnWsExtraPeer(this, socket, from, taken);
            }
        }
        return taken ? 1 : 0;
    }
    case wsnConnected:
        DoConnect();
        return 0;
    case wsnOwnClosed:
        postQuit();
        return 0;
    case wsnPeerClosed:
        DoDisconnect();
        return 0;
    default:
        DoError(static_cast<std::int32_t>(wParam));
        return 0;
    }
}

} // namespace dravane::net
