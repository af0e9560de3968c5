#pragma once
// TCustomWinsockPort / TWinsockPort: the com port carried over one TCP
// connection, as a client that connects to a server address and port, or as
// a listening server that serves one peer at a time. Everything of the com
// port stays (Open, PutString, OnTriggerAvail, buffer sizes); under the
// dlWinsock device layer the dispatcher is a TWinsockDispatcher, and socket
// notices arrive on the port's hidden window as CM_SOCKETMESSAGE.
//
// Opening returns as soon as the connection attempt has started (a host name
// is resolved off the UI thread first) or the server listens; connection and
// disconnection are reported later by the Ws events. A close the peer causes
// is posted to the port's own window (CM_SOCKETQUIT), never performed inside
// the notice that found it.
//
// Threading: UI thread only, like the com port.

#include "net/PeerAddress.h"
#include "net/SocketWrapper.h"
#include "serial/ComPort.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dravane::net {

class TCustomWinsockPort;

enum TSocksVersion : std::uint8_t { svNone, svSocks4, svSocks4a, svSocks5 };

// Proxy settings. Stored only: this program always connects directly.
class TSocksServerInfo {
public:
    const std::string& Address() const { return FAddress; }
    void SetAddress(const std::string& Value) { setIfChanged(FAddress, Value); }
    std::uint16_t Port() const { return FPort; }
    void SetPort(std::uint16_t Value) { setIfChanged(FPort, Value); }
    TSocksVersion SocksVersion() const { return FSocksVersion; }
    void SetSocksVersion(TSocksVersion Value) { setIfChanged(FSocksVersion, Value); }
    const std::string& UserCode() const { return FUserCode; }
    void SetUserCode(const std::string& Value) { setIfChanged(FUserCode, Value); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& Value) { setIfChanged(FPassword, Value); }

private:
    template <class T> static void setIfChanged(T& Field, const T& Value) {
        if (Field != Value)
            Field = Value;
    }
    std::string FAddress;
    std::uint16_t FPort = 0;
    TSocksVersion FSocksVersion = svNone;
    std::string FUserCode;
    std::string FPassword;
};

// Addr: the peer's address, IPv4 or IPv6 (a handler taking in_addr gets the
// IPv4 form, 0 for an IPv6 peer); Accept enters true.
using TWsAcceptEvent =
    std::function<void(TCustomWinsockPort* Sender, const TPeerAddress& Addr, bool& Accept)>;
// A peer beyond the one the port serves (server role): Socket is the
// handler's to keep (Taken true) or to leave to the port, which closes it.
using TWsExtraPeerEvent =
    std::function<void(TCustomWinsockPort* Sender, int Socket, const TSockAddr& Addr, bool& Taken)>;
using TWsPortNotifyEvent = std::function<void(TCustomWinsockPort* Sender)>;
using TWsErrorEvent = std::function<void(TCustomWinsockPort* Sender, std::int32_t ErrCode)>;

constexpr TWsMode DefWsMode = wsClient;
constexpr const char* DefWsPort = "telnet";
constexpr bool DefWsTelnet = true;

class TCustomWinsockPort : public serial::TCustomComPort {
public:
    TCustomWinsockPort();
    ~TCustomWinsockPort() override;

    TWsMode WsMode() const { return FWsMode; }
    void SetWsMode(TWsMode Value);
    const std::string& WsAddress() const { return FWsAddress; }
    void SetWsAddress(const std::string& Value);
    const std::string& WsPort() const { return FWsPort; }
    void SetWsPort(const std::string& Value);
    // Server role: where to listen. Empty: every address, IPv4 and IPv6;
    // otherwise one address of either family ("127.0.0.1", "::1") or a host
    // name. Same guard as WsAddress.
    const std::string& WsListenAddress() const { return FWsListenAddress; }
    void SetWsListenAddress(const std::string& Value);
    // Why listening failed, naming the address, the port and the cause: set
    // before the open raises or OnWsError fires; empty when nothing failed.
    const std::string& WsErrorText() const { return FWsErrorText; }
    bool WsTelnet() const { return FWsTelnet; }
    void SetWsTelnet(bool Value) { FWsTelnet = Value; }
    // Keepalive and a user time-out on every accepted or connected socket, so
    // a dead network path ends the connection (on by default).
    bool WsDeadPeerDetection() const { return FWsDeadPeerDetection; }
    void SetWsDeadPeerDetection(bool Value) { FWsDeadPeerDetection = Value; }
    // Re-enumerated at every read.
    const std::vector<std::string>& WsLocalAddresses();
    void SetWsLocalAddresses(const std::vector<std::string>& Value) { FWsLocalAddresses = Value; }
    int WsLocalAddressIndex() const { return FWsLocalAddressIndex; }
    void SetWsLocalAddressIndex(int Value) { FWsLocalAddressIndex = Value; }
    TSocksServerInfo& WsSocksServerInfo() { return FWsSocksServerInfo; }

    // Server role: lets the served peer go and listens on; what was written
    // to it (a refusal line, say) is sent first. Done from the port's window
    // after the current notice, like a close the peer causes; the leave is
    // told by OnWsDisconnect as any other.
    void DisconnectPeer();

    void SetUseMSRShadow(bool Value) override;
    void EnumHostAddresses();
    // WsPort as a port number in host order: a decimal number 1..65535 or a
    // known TCP service name; anything else raises ESocketException 9005.
    std::uint16_t WsPortNumber() const;
    // The socket carrying the peer (accepted or connected), or -1 while there is none.
    int WsDataSocket() const;
    // Bytes written to the peer that have not left this side yet: those in
    // the port's output ring and those the system has not sent.
    int WsUnsentBytes() const;
    // Every byte ever queued for the peer: a mark taken after a write is
    // behind that write's last byte.
    std::uint64_t WsQueuedTotal() const;
    // Whether what was queued up to Mark is still on this side: the bytes
    // not yet sent are more than those queued after it.
    bool WsStillOnThisSide(std::uint64_t Mark) const;

    void SetOnWsAccept(TWsAcceptEvent E) { FOnWsAccept = std::move(E); }
    void SetOnWsExtraPeer(TWsExtraPeerEvent E) { FOnWsExtraPeer = std::move(E); }
    void SetOnWsConnect(TWsPortNotifyEvent E) { FOnWsConnect = std::move(E); }
    void SetOnWsDisconnect(TWsPortNotifyEvent E) { FOnWsDisconnect = std::move(E); }
    void SetOnWsError(TWsErrorEvent E) { FOnWsError = std::move(E); }

protected:
    std::unique_ptr<serial::TBaseDispatcher> ActivateDeviceLayer() override;
    void DeviceLayerChanged() override;
    bool AcceptsDeviceLayer(serial::TDeviceLayer Layer) const override;
    int InitializePort() override;
    void ValidateComport() override;
    virtual bool DoAccept(const TPeerAddress& Addr);
    virtual void DoConnect();
    virtual void DoDisconnect();
    virtual void DoError(std::int32_t ErrCode);
    void PortOpen() override;
    void PortClose() override;
    // SockWndProc: socket messages here, everything else to the com port's procedure.
    std::intptr_t WndProc(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    void guardChange(const std::string& Old, const std::string& New) const;
    void postQuit();

    TWsAcceptEvent FOnWsAccept;
    TWsExtraPeerEvent FOnWsExtraPeer;
    TWsPortNotifyEvent FOnWsConnect;
    TWsPortNotifyEvent FOnWsDisconnect;
    TWsErrorEvent FOnWsError;
    std::string FWsAddress;
    TWsMode FWsMode = DefWsMode;
    std::string FWsPort = DefWsPort;
    std::string FWsListenAddress;
    std::string FWsErrorText;
    bool FWsTelnet = DefWsTelnet;
    bool FWsDeadPeerDetection = true;
    std::vector<std::string> FWsLocalAddresses;
    int FWsLocalAddressIndex = 0;
    TSocksServerInfo FWsSocksServerInfo;
    bool FConnectFired = false;
};

// The published TCP port: adds nothing.
class TWinsockPort : public TCustomWinsockPort {
public:
    using TCustomWinsockPort::TCustomWinsockPort;
};

} // namespace dravane::net
