#pragma once
// The link to the antenna controller, apart from any window: the serial port
// to the controller and the TCP port to a peer instance. It applies the
// operating mode (Normal, Client, Server), supervises both links on a 50 ms
// tick, relays between the serial line and the TCP peer in the Server role,
// sends commands with retries, announces events to the main window by action
// codes, and tells whoever watches it (a window, a headless program, a test)
// what changed through its signals.
//
// Everything runs on the UI thread. SendCommand waits for its reply inside
// the event loop, so ticks, port events and other clicks (another
// SendCommand included) run nested in it; the fields below are shared by all
// nested calls.

#include "comm/ControlLock.h"
#include "comm/Defines.h"
#include "comm/LineAssembler.h"
#include "comm/Packet.h"
#include "comm/StationLine.h"
#include "net/AllowList.h"
#include "net/AuthChallenge.h"
#include "net/WinsockPort.h"
#include "platform/Action.h"
#include "serial/ComPort.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QLoggingCategory;
class QTimer;

namespace dravane::net {
class TDeviceSocketInstance;
class TServedPeer;
class TSockAddr;
} // namespace dravane::net

namespace dravane::comm {

enum ToperatingMode : std::uint8_t { omNormal, omClient, omServer };

// The role for a mode-selector index; anything outside 0..2 is omNormal.
ToperatingMode OperatingModeFromIndex(int index);

// Which of the two links a state or a message concerns.
enum TLinkKind : std::uint8_t { lkLocal, lkRemote };

enum TMessageSeverity : std::uint8_t { msInfo, msWarning, msError };

class TCommLink : public QObject {
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
    // A Server tells its peer every ServerBeat ticks that it runs and whether
    // its controller answers; a Client that has heard it once takes a Server
    // silent for ServerSilence ticks for stopped or frozen.
    static constexpr int ServerBeat = 40;
    static constexpr int ServerSilence = 4 * ServerBeat + 1;
    // A Server passes on a copy of the line its peer is still waiting on
    // only after this many ticks: a copy that arrives sooner was held on the
    // way, and the controller has the command already.
    static constexpr int CopyHoldOff = RetryDelay - 2;
    static constexpr const char* ServerReadyLine = "[SERVER LINKOK]";
    static constexpr const char* ServerNoControllerLine = "[SERVER LINKDOWN]";
    // A shared station (see StationLine.h): the Server tells every peer who
    // holds control and refuses a command from anyone else; a peer beyond
    // MaxClients hears "[REFUSED full]". A Client that has heard who holds
    // control names itself, and may take and release control.
    static constexpr int DefaultMaxClients = 1;
    static constexpr int MostClients = 64;
    static constexpr int DefaultLockIdleMinutes = 10;

    // Creates both ports; nothing is opened until Start. When no TCP device
    // socket exists yet the link makes one and owns it; a second link in the
    // same process (tests) shares it and must go first.
    explicit TCommLink(QObject* parent = nullptr);
    ~TCommLink() override;

    // Loads the Comm settings, applies the mode, opens the ports and starts
    // the tick. Connect to the signals before, to see the first states.
    void Start();

    std::string GetData() const { return NetPacket.Data; }
    TNetPacket GetPacket() const { return NetPacket; }
    ToperatingMode GetOpMode() const { return OpMode; }
    bool NetIsBusy() const { return NetBusy; }
    TLinkStatus GetLinkStatus() const { return LinkStatus; }
    TLinkStatus GetRemoteStatus() const { return RemoteStatus; }
    // The two ports, for whoever shows or tests the link.
    const serial::TComPort& GetPort() const { return *Port; }
    const net::TWinsockPort& GetRemotePort() const { return *RemotePort; }
    // Copies of a peer's command line a Server did not pass on (see CopyHoldOff).
    std::uint64_t CopiesHeldBack() const { return FCopiesHeldBack; }
    // The COM number the settings name (0: none).
    std::int32_t ConfiguredPort() const { return PortNumber; }
    // "COM3 (/dev/ttyUSB0)", or "COM3 (no device)" when none is mapped.
    static std::string PortWhere(std::int32_t Number);
    // The text about the serial port ("Using COM3", "COM disabled", "Disabled").
    const QString& PortText() const { return FPortText; }

    // The settings the window edits. They take effect with SetOperatingMode
    // and SetupPort, and are written by SaveConfiguration.
    int ModeIndex() const { return FModeIndex; }
    void SetModeIndex(int Index) { FModeIndex = Index; }
    const std::string& IpAddress() const { return FIpAddress; }
    void SetIpAddress(const std::string& Value) { FIpAddress = Value; }
    const std::string& IpPort() const { return FIpPort; }
    void SetIpPort(const std::string& Value) { FIpPort = Value; }
    // Server: where to listen (empty: every address of both families), and
    // which peers to serve (empty: anyone; see TAllowList).
    const std::string& ListenAddress() const { return FListenAddress; }
    void SetListenAddress(const std::string& Value) { FListenAddress = Value; }
    const std::string& AllowFrom() const { return FAllowFrom; }
    void SetAllowFrom(const std::string& Value) { FAllowFrom = Value; }
    // Both roles: the shared key (empty: none). A Server with a key admits
    // only a peer that answers its challenge; a Client with one answers.
    const std::string& Key() const { return FKey; }
    void SetKey(const std::string& Value) { FKey = Value; }
    // Server: how many Clients it serves at once, and the minutes without a
    // command after which control is free again (0: never).
    int MaxClients() const { return FMaxClients; }
    int LockIdleMinutes() const { return FLockIdleMinutes; }
    // The name this station goes by with the others (default user@host).
    const std::string& Name() const { return FName; }

    // Control of a shared station: a Client asks its Server, a Server's own
    // panel takes it like a peer. False when there is nothing to take (a
    // Normal role, a Server that does not share control).
    bool TakeControl();
    bool ReleaseControl();
    // "" (control not shared), "Control: free", "Control: yours",
    // "Controlled by NAME".
    QString ControlText() const;
    // Someone else holds control: commands fail at once.
    bool ControlledByOther() const;
    // Peers a Server serves now (admitted or not yet), the port's own included.
    int PeerCount() const;

    // The clock the challenge's deadlines and back-off run on; the steady
    // clock unless set (tests move one of their own).
    void SetAuthClock(net::TAuthGate::TClock Clock) { FAuthClock = std::move(Clock); }
    // Server with a key: the gate its peers pass; none without a key.
    const net::TAuthGate* AuthGate() const { return FGate.get(); }

    // Sends one command packet and, unless Resp is 0 or Addr is the broadcast
    // address, repeats it until a packet with command byte Resp arrives: six
    // transmissions at most, RetryDelay ticks apart (SetDefaultsDelay for
    // command 8). False when the tries ran out.
    bool SendCommand(std::uint8_t Addr, std::uint8_t Cmd, const std::string& Data, std::uint8_t Resp);

    void LoadConfiguration();
    void SaveConfiguration();
    void SetOperatingMode();
    void SetupPort();

    // The operator chose a port from the list: Number 0 (or less) disables
    // the serial port, any other number opens it.
    void UseComPort(std::int32_t Number);

    // Called while the program closes: both links go down, the timer stops,
    // both ports close.
    void Shutdown();

    // Bytes a port refused because its output buffer was full, dropped
    // rather than taking the port out of service.
    std::uint64_t LocalBytesDropped() const { return FLocalDropped; }
    std::uint64_t RemoteBytesDropped() const { return FRemoteDropped; }

    // The tick.
    void Timer1Timer();
    // A tick sleeps through at most this many ticks that would only count down.
    static constexpr int MostQuietTicks = 40;

signals:
    void LinkStatusChanged(dravane::comm::TLinkStatus Status);
    void RemoteStatusChanged(dravane::comm::TLinkStatus Status);
    // A complete packet decoded, before its action code goes to the main window.
    void PacketReceived(const dravane::comm::TNetPacket& Packet);
    void PortTextChanged(const QString& Text);
    // Something the operator should read, about one link: a fault while it
    // lasts (told once however often it repeats) or a settings error. It is
    // logged already; a watcher shows it (one box per link at most), and
    // without one the log line is all.
    void Message(const QString& Text, dravane::comm::TMessageSeverity Severity,
                 dravane::comm::TLinkKind Link);
    // The fault last told for Link is over (the device reopened, the peer
    // is back): its box closes by itself.
    void FaultEnded(dravane::comm::TLinkKind Link);
    // LoadConfiguration or SetupPort changed the settings (a bad TCP port
    // number became the default one).
    void SettingsChanged();
    // Who holds control changed (see ControlText).
    void ControlChanged(const QString& Text);
    // A command failed at once, without being sent: Why says why.
    void CommandRefused(const QString& Why);

protected:
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

    platform::TAction ActionToDo;
    // Before the ports: a TCP port is closed while its device socket lives.
    std::unique_ptr<net::TDeviceSocketInstance> FDeviceSocket;
    std::unique_ptr<serial::TComPort> Port;
    std::unique_ptr<net::TWinsockPort> RemotePort;
    QTimer* Timer1;

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

private:
    // Timer1 fires every TickMs while anything is under way. Otherwise it
    // sleeps through the ticks that would only count down and runs them,
    // late, when it wakes or when an event comes first; so an idle link
    // wakes the process about once a second, and every countdown still ends
    // on its own tick.
    int QuietTicks() const;
    // Calls, from outside, catch up first.
    void CatchUpTicks();
    template <class Fn> void Handle(Fn&& fn);
    void TickTimeout();
    void PlanTicks();
    std::chrono::steady_clock::time_point FTickedAt{}; // of the last tick run; none while not ticking
    int FQuietTicks = 0;                               // ticks after it being slept through
    bool FInTicks = false;

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
    void SetPortText(const QString& Text);
    // The one way out for a message: logged (dravane.serial or dravane.link),
    // then announced by Message.
    void Tell(const std::string& Text, TLinkKind Link);
    void FaultStarts(std::string& Current, const std::string& Why, TLinkKind Link);
    void FaultEnds(std::string& Current, const QLoggingCategory& Category, const std::string& What,
                   TLinkKind Link);
    // The serial port failed (an open, the device lost): red, told once per fault.
    void LocalFailed(const std::string& Why);
    // The serial port works again: the fault is over, and the log says so.
    void LocalRecovered(const std::string& What);
    // The device threads ended on a device failure (UI thread, posted).
    void PortLost(std::int32_t Code);
    // Closes the serial port, logging it when it was open.
    void CloseSerial();
    // Logs link up and link down (with how long it was down).
    void NoteLinkChange(TLinkKind Link, TLinkStatus Was, TLinkStatus Now);
    // The TCP link failed (a Client that cannot reach its Server, a Server
    // that cannot listen): red, and one message per episode.
    void RemoteFailed(const std::string& Why);
    // The TCP link works again: the episode ends, and the log says so.
    void RemoteRecovered(const std::string& What);
    // The TCP port number the settings give, or 0 with a message when it is
    // not one (a word becomes the default port, as it always has).
    std::uint16_t CheckedIpPort();
    // Opens the TCP port as the role wants; false (told) when it fails.
    bool OpenRemote();
    std::string RemoteWhere() const;
    // Server: where a peer stands with the allow-list and the key.
    enum TPeerGate : std::uint8_t {
        pgOpen,      // no key: served as it comes (and so is the time before a peer)
        pgNobody,    // a key, and no peer: the controller's bytes go nowhere
        pgChallenge, // asked for the key: its lines go to the gate only
        pgAdmitted,  // answered: served
        pgRefused,   // told why and on its way out: nothing more is read or sent
    };
    // Server: one peer. The port serves one itself (FPrimary, its lines in
    // RemoteData, its supervision in RemoteTimer); the others it hands on
    // are served here (Side).
    struct TPeer {
        TControlLock::TId Id = 0;
        std::unique_ptr<net::TServedPeer> Side;
        TPeerGate Gate = pgOpen;
        net::TAuthGate::TId AuthId = 0;
        std::string Text; // address and port, for the log
        std::string Name; // as it told it; empty until then
        TLineAssembler Lines;
        // Its last command line passed on, and ticks left in which a copy
        // of it is held back.
        std::string Command;
        std::int32_t CommandTimer = 0;
        std::int32_t BeatTimer = 0;
        std::int32_t Supervision = RemoteTimeout;
        bool Ready = false;   // a link test came since it was admitted
        bool Present = false; // connected, not yet gone
        bool Gone = false;    // Side: left; dropped at the next tick
        // Lines of the Server's own, sent between two of the controller's.
        std::vector<std::string> Outbox;
        // The last control line queued for it: the same again is news to nobody.
        std::string ControlLine;
        // Its refusals while one holder holds control: the first is
        // recorded, the rest counted and recorded when control moves.
        bool RefusalTold = false;
        std::uint64_t RefusalsUntold = 0;
        std::string RefusedFor; // who held control then
        ~TPeer();
    };
    bool AcceptPeer(const net::TPeerAddress& Addr);
    void ExtraPeer(int Socket, const net::TSockAddr& Addr, bool& Taken);
    // Server: the allow-list and the key for a peer just connected.
    void StartPeer(TPeer& P, const net::TPeerAddress& Addr);
    // Server: a peer is served from now on.
    void PeerAdmitted(TPeer& P, const std::string& How);
    // Server: the peer's last line in the challenge; false once it is out.
    bool ChallengeLine(TPeer& P, const std::string& Line);
    // Server: one whole line from a peer; false when nothing more of it is read.
    bool PeerLine(TPeer& P, const std::string& Line);
    // Server: a "[CLIENT ...]" line.
    void ClientLine(TPeer& P, const TStationLine& Line);
    // Server: sends Line (a refusal), logs Why with the address, lets the peer go.
    void RefusePeer(TPeer& P, const std::string& Line, const std::string& Why);
    // Server: a peer left or was let go: control and the record follow.
    void PeerLeft(TPeer& P, const std::string& Why);
    // Server: Bytes to a peer; false when it cannot take them (it is let go).
    bool WritePeer(TPeer& P, std::string_view Bytes);
    // Server: a line of the Server's own for a peer, sent at a line boundary.
    void QueuePeerLine(TPeer& P, const std::string& Line);
    void FlushPeerLines();
    // The controller's line now relayed is not finished yet.
    bool MidControllerLine() const;
    // Server: the peer may hear the controller and the beat.
    static bool PeerMayHear(const TPeer& P) { return P.Gate == pgOpen || P.Gate == pgAdmitted; }
    // Server: FPrimary and every side peer still served.
    template <class Fn> void ForEachPeer(Fn&& F);
    void TickSidePeers();
    void DropSidePeers();
    // Server: ready while some peer keeps up its link tests.
    void UpdateServerRemoteStatus();
    // Server: tells every peer who holds control; Why goes to the record.
    void ControlMoved(const std::string& Why);
    std::string ControlLineFor(const TPeer& P) const;
    // Server: tells P who holds control, unless that is what it heard last.
    void TellControl(TPeer& P);
    // Server: a command or a request for control from P refused; Text for the record.
    void PeerRefused(TPeer& P, const std::string& Text);
    void TellRefusalsUntold(TPeer& P);
    std::string PeerWho(const TPeer& P) const;
    // Why a peer whose supervision lapsed was let go.
    static std::string NoLinkTest();
    // Server: a command that reached the controller, waiting for the status
    // that came back, for the record.
    void RecordCommand(const std::string& Who, const TCommandLine& Cmd);
    void RecordStatus(const TNetPacket& Packet);
    void TickRecord();
    // Server: the allow-list and the gate for the settings now in force; a
    // bad allow-list entry is told once, a changed key starts a new gate.
    void ApplyAccessSettings();
    // Client: a line of the challenge from the Server; false when it is none.
    bool ClientAuthLine(std::string_view Packet);
    // Client: the Server said no; told once however often it says it again
    // before a session works.
    void ClientRefused(const std::string& Why);
    // Warns (log) when the settings file holds a key and others can read it.
    void CheckKeyFileMode() const;
    // A copy of the command just sent can still reach the controller.
    bool CopyStillOnItsWay() const;
    // Server: the beat to the peer, at a line boundary of what it relays.
    void SendServerBeat(TPeer& P);
    // Client: the Server's controller stopped or started answering.
    void ServerControllerLost();
    void ServerControllerBack();
    // Client: a line of a Server that shares control.
    void ServerControlLine(const TStationLine& Line);
    // Client and Server panel: a command refused before it was sent.
    bool RefuseCommandAtOnce();

    int FModeIndex = 0;
    std::string FIpAddress;
    std::string FIpPort = DefaultIpPort;
    std::string FListenAddress;
    std::string FAllowFrom;
    std::string FKey;
    net::TAllowList FAllowList;
    // The AllowFrom text FAllowList was built from and its errors told for.
    std::string FAllowListText;
    std::unique_ptr<net::TAuthGate> FGate;
    std::string FGateKey;
    net::TAuthGate::TClock FAuthClock;
    TPeer FPrimary;
    std::vector<std::unique_ptr<TPeer>> FSides;
    TControlLock::TId FNextPeerId = 2;
    TControlLock FLock;
    int FMaxClients = DefaultMaxClients;
    int FLockIdleMinutes = DefaultLockIdleMinutes;
    std::string FName;
    struct TRecordEntry {
        std::string Who;
        std::string Button;
        std::int32_t Ticks;
    };
    std::vector<TRecordEntry> FRecord;
    // Client: the Server shares control; who holds it ("" nobody, or the
    // holder's name), and whether it is this Client.
    bool FServerShares = false;
    std::string FHeldBy;
    bool FControlMine = false;
    // Client: the Server refused the command under way; why.
    std::string FCommandRefused;
    // Client: the fault being told is the Server's refusal.
    bool FClientRefused = false;
    QString FPortText = QStringLiteral("Disabled");
    std::uint64_t FLocalDropped = 0;
    std::uint64_t FRemoteDropped = 0;
    // The configured serial device was absent (or vanished): reopened by
    // itself when it comes back.
    bool FWatchDevice = false;
    // What the TCP port was last opened with; an unchanged setting keeps a
    // live session through OK, Cancel and mode clicks.
    std::string FRemoteOpenedWith;
    // The TCP fault now being told; empty when none.
    std::string FRemoteFault;
    // The serial fault now being told, and why the last open failed; empty when none.
    std::string FLocalFault;
    std::string FOpenFailure;
    // Since when each link is down after having been up (0: not down).
    std::int64_t FLocalDownSince = 0;
    std::int64_t FRemoteDownSince = 0;
    bool FStopping = false;
    bool FListeningTold = false;
    std::uint64_t FCopiesHeldBack = 0;
    // Client: ticks left before a Server that beats is taken for silent;
    // 0 while this Server never beat.
    std::int32_t FServerSilenceTimer = 0;
    // Client: the TCP port's queue mark behind the last copy of a command.
    std::uint64_t FCopyMark = 0;
};

} // namespace dravane::comm
