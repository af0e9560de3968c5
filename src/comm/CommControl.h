#pragma once
// The Communications window: owner of the serial link to the antenna
// controller and of the TCP link to a peer instance. It applies the operating
// mode (Normal, Client, Server), supervises both links on a 50 ms tick, relays
// between the serial line and the TCP peer in the Server role, sends commands
// with retries, and announces events to the main window by action codes.
//
// Everything runs on the UI thread. SendCommand waits for its reply inside
// the event loop, so ticks, port events and other clicks (another
// SendCommand included) run nested in it; the fields below are shared by all
// nested calls.

#include "comm/Defines.h"
#include "comm/LineAssembler.h"
#include "platform/Action.h"

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class QButtonGroup;
class QTimer;
class QTreeWidgetItem;

namespace Ui {
class CommControl;
}
namespace dravane::serial {
class TComPort;
class TCustomComPort;
} // namespace dravane::serial
namespace dravane::net {
class TWinsockPort;
class TCustomWinsockPort;
class TDeviceSocketInstance;
} // namespace dravane::net

namespace dravane::comm {

enum ToperatingMode : std::uint8_t { omNormal, omClient, omServer };

// The role for a mode-selector index; anything outside 0..2 is omNormal.
ToperatingMode OperatingModeFromIndex(int index);

// Keepalive and user time-out on a connected TCP socket, so a path that went
// dead (pulled cable, crashed router) ends the connection with an error
// instead of leaving it half-open for ever. False when the system refused one.
bool EnableDeadPeerDetection(int socket);
inline constexpr int DeadPeerUserTimeoutMs = 15000;
inline constexpr int DeadPeerKeepIdleS = 10;
inline constexpr int DeadPeerKeepIntervalS = 5;
inline constexpr int DeadPeerKeepCount = 3;

class TCommControl : public QWidget, public platform::TActionTarget {
    Q_OBJECT
public:
    // Countdowns, in ticks of Timer1 (50 ms).
    static constexpr int RetryDelay = 20;
    static constexpr int SetDefaultsDelay = 100;
    static constexpr int TimerRate = 20;
    static constexpr int LinkTestInterval = 100;
    static constexpr int FastLinkTest = 20;
    static constexpr int RemoteTimeout = 140;
    static constexpr int TickMs = 50;
    static constexpr const char* DefaultIpPort = "54902";

    // Loads the Comm settings, applies the mode and opens the ports. When no
    // TCP device socket exists yet the window makes one and owns it; a second
    // window in the same process (tests) shares it and must go first.
    explicit TCommControl(QWidget* parent = nullptr);
    ~TCommControl() override;

    // Shows the window for mcShowCommunications; always false.
    bool ExecuteAction(platform::TAction& action) override;

    std::string GetData() const { return NetPacket.Data; }
    TNetPacket GetPacket() const { return NetPacket; }
    ToperatingMode GetOpMode() const { return OpMode; }
    bool NetIsBusy() const { return NetBusy; }

    // Sends one command packet and, unless Resp is 0 or Addr is the broadcast
    // address, repeats it until a packet with command byte Resp arrives: six
    // transmissions at most, RetryDelay ticks apart (SetDefaultsDelay for
    // command 8). False when the tries ran out.
    bool SendCommand(std::uint8_t Addr, std::uint8_t Cmd, const std::string& Data, std::uint8_t Resp);

    // Called by the main window while it closes: both links go down, the
    // timer stops, both ports close.
    void Shutdown();

    // Bytes a port refused because its output buffer was full, dropped
    // rather than taking the port out of service.
    std::uint64_t LocalBytesDropped() const { return FLocalDropped; }
    std::uint64_t RemoteBytesDropped() const { return FRemoteDropped; }

    // The tick.
    void Timer1Timer();

protected:
    void FormCreate();
    void LoadConfiguration();
    void SaveConfiguration();
    void SetOperatingMode();
    void SetupPort();

    void ComModeClick();
    void OkBtnClick();
    void CancelBtnClick();
    void ComPortBtnClick(QTreeWidgetItem* item);

    void SetLinkStatus(TLinkStatus Status);
    void SetRemoteStatus(TLinkStatus Status);

    void PortTriggerAvail(serial::TCustomComPort* CP, std::uint16_t Count);
    void RemotePortTriggerAvail(serial::TCustomComPort* CP, std::uint16_t Count);
    void RemotePortWsConnect(net::TCustomWinsockPort* Sender);
    void RemotePortWsDisconnect(net::TCustomWinsockPort* Sender);

    void SendPacket(const std::string& Packet);
    void DisableLocalPort();
    void DisableRemotePort();

    // Sets the action object's tag and hands it to the application's main
    // window at once; the call returns after the main window has handled it.
    void DoAction(std::int32_t Action);

    // Decodes one received line (without its CR) into NetPacket; a complete
    // packet releases an awaited reply and announces its action code.
    void DecodePacket(const std::string& line);

    // The TCP port's data socket, or -1 while it has no peer.
    int RemoteDataSocket() const;

    std::unique_ptr<Ui::CommControl> ui;
    platform::TAction ActionToDo;
    // Before the ports: a TCP port is closed while its device socket lives.
    std::unique_ptr<net::TDeviceSocketInstance> FDeviceSocket;
    std::unique_ptr<serial::TComPort> Port;
    std::unique_ptr<net::TWinsockPort> RemotePort;
    QTimer* Timer1;
    QButtonGroup* FModeGroup;

    TNetPacket NetPacket;
    std::int32_t Response = 0; // command byte of the awaited reply; 0 = none
    std::int32_t Attempts = 0;
    std::int32_t RetryTimer = 0;
    bool NetBusy = false;
    ToperatingMode OpMode = omNormal;
    std::int32_t PortNumber = 0;
    TLinkStatus LinkStatus = lsNone;
    TLinkStatus RemoteStatus = lsNone;
    bool RemoteConnected = false;
    std::int32_t LinkTries = 0;
    std::int32_t LinkTestTimer = 0;
    std::int32_t RemoteTimer = 0;
    std::int32_t SecondTimer = 0;
    TLineAssembler LocalData;  // lines from the serial port
    TLineAssembler RemoteData; // lines from the TCP port
    QStringList PortList;

private:
    enum class TOpenResult : std::uint8_t { Opened, DeviceAbsent, Failed };
    // Opens the serial port on Number; a number outside 1..65535 fails like
    // a missing device, never wrapping to another port.
    TOpenResult OpenSerial(std::int32_t Number);
    // The role whose link indicator the main window shows.
    void ReportRoleLink();
    // Writes bytes; a refusal for a full output buffer drops them (counted)
    // and still counts as written. False on any other failure.
    bool WriteLocal(std::string_view Bytes);
    bool WriteRemote(std::string_view Bytes);
    // The TCP settings SetupPort would open with now.
    std::string RemoteSetting() const;
    void OnRemoteError(std::int32_t ErrCode);
    void WatchForDevice();
    int ModeIndex() const;
    void SetModeIndex(int index);

    std::uint64_t FLocalDropped = 0;
    std::uint64_t FRemoteDropped = 0;
    // The configured serial device was absent (or vanished): reopened by
    // itself when it comes back.
    bool FWatchDevice = false;
    // What the TCP port was last opened with; an unchanged setting keeps a
    // live session through OK, Cancel and mode clicks.
    std::string FRemoteOpenedWith;
};

// The program's instance, created at start-up after the main window.
inline TCommControl* CommControl = nullptr;

} // namespace dravane::comm
