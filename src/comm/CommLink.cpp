#include "comm/CommLink.h"

#include "comm/AntennaDefs.h"
#include "comm/NetDefs.h"
#include "comm/Packet.h"
#include "comm/StationLine.h"
#include "comm/StrFunct.h"
#include "net/DeviceSocket.h"
#include "net/ServedPeer.h"
#include "net/WinsockPort.h"
#include "platform/AppException.h"
#include "platform/ComNumbers.h"
#include "platform/CommandLine.h"
#include "platform/DeviceFault.h"
#include "platform/IniFile.h"
#include "platform/SettingsPath.h"
#include "serial/BaseDispatcher.h"
#include "serial/ComPort.h"
#include "serial/PortException.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QSysInfo>
#include <QTimer>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

namespace dravane::comm {

Q_LOGGING_CATEGORY(lcLink, "dravane.link", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSerial, "dravane.serial", QtInfoMsg)
// Who switched what on a shared station, and who came and went.
Q_LOGGING_CATEGORY(lcRecord, "dravane.record", QtInfoMsg)

namespace {

constexpr const char* Section = "Comm";
constexpr std::int32_t ComBaud = 57600;
constexpr std::int32_t MaxComNumber = 65535;

// Runs fn; an exception it raises goes to the application's display, never
// across the event loop.
template <class Fn> void guarded(Fn&& fn) {
    platform::Guarded(std::forward<Fn>(fn));
}

// Open and not on its way to closing: a port whose close waits for a
// notification in delivery takes no more bytes and counts as closed.
bool inService(const serial::TCustomComPort& port) {
    return port.PortState() == serial::psOpen;
}

// Errors after which a TCP connection is gone although the port was not told
// by a disconnect (a dead path ends with a time-out).
bool connectionDead(std::int32_t code) {
    return code == serial::wsaETimedOut || code == serial::wsaEHostUnreach ||
           code == serial::wsaENetUnreach || code == serial::wsaEHostDown || code == serial::wsaENetDown;
}

// The packet in a received line: from its last "[", so that noise the line
// picked up before it (a burst without CR) does not hide a reply.
std::string_view packetPart(std::string_view line) {
    const auto at = line.rfind('[');
    return at == std::string_view::npos ? std::string_view{} : line.substr(at);
}

std::string trimmed(const std::string& s) {
    return QString::fromStdString(s).trimmed().toStdString();
}

bool allDigits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "4.2 s", "3 min 12 s", "2 h 5 min".
std::string duration(std::int64_t ms) {
    if (ms < 60'000)
        return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1).toStdString() + " s";
    const std::int64_t s = ms / 1000;
    if (s < 3600)
        return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

const char* roleName(ToperatingMode mode) {
    switch (mode) {
    case omClient:
        return "Client";
    case omServer:
        return "Server";
    case omNormal:
        break;
    }
    return "Disabled (controller on this machine)";
}

// The panel of a Server takes control like a peer, under this id.
constexpr TControlLock::TId PanelId = 1;

// user@host, as this station is known to the others unless Name says otherwise.
std::string defaultName() {
    std::string user;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name)
        user = pw->pw_name;
    if (user.empty())
        user = qEnvironmentVariable("USER").toStdString();
    return (user.empty() ? std::string("operator") : user) + "@" + QSysInfo::machineHostName().toStdString();
}

QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

// Every event reaches the link through here: the ticks slept through come
// first, so that it meets every countdown where it would have been.
template <class Fn> void TCommLink::Handle(Fn&& fn) {
    guarded([&] {
        CatchUpTicks();
        fn();
    });
}

ToperatingMode OperatingModeFromIndex(int index) {
    switch (index) {
    case 1:
        return omClient;
    case 2:
        return omServer;
    default:
        return omNormal;
    }
}

TCommLink::TCommLink(QObject* parent)
    : QObject(parent), Port(std::make_unique<serial::TComPort>()),
      RemotePort(std::make_unique<net::TWinsockPort>()), Timer1(new QTimer(this)) {
    if (!net::TDeviceSocket::Instance())
        FDeviceSocket = std::make_unique<net::TDeviceSocketInstance>();

    Port->SetAutoOpen(false);
    Port->SetPromptForPort(false);
    Port->SetBaud(ComBaud);
    Port->SetOnTriggerAvail([this](serial::TCustomComPort* CP, std::uint16_t Count) {
        Handle([&] { PortTriggerAvail(CP, Count); });
    });
    Port->SetOnDeviceFailure([this](serial::TCustomComPort*, std::int32_t Code) { PortLost(Code); });
    RemotePort->SetAutoOpen(false);
    RemotePort->SetDeviceLayer(serial::dlWinsock);
    RemotePort->SetOnTriggerAvail([this](serial::TCustomComPort* CP, std::uint16_t Count) {
        Handle([&] { RemotePortTriggerAvail(CP, Count); });
    });
    RemotePort->SetOnWsConnect(
        [this](net::TCustomWinsockPort* S) { Handle([&] { RemotePortWsConnect(S); }); });
    RemotePort->SetOnWsDisconnect(
        [this](net::TCustomWinsockPort* S) { Handle([&] { RemotePortWsDisconnect(S); }); });
    RemotePort->SetOnWsAccept([this](net::TCustomWinsockPort*, const net::TPeerAddress& Addr, bool& Accept) {
        Handle([&] { Accept = AcceptPeer(Addr); });
    });
    RemotePort->SetOnWsExtraPeer([this](net::TCustomWinsockPort*, int Socket, const net::TSockAddr& Addr,
                                        bool& Taken) { Handle([&] { ExtraPeer(Socket, Addr, Taken); }); });
    RemotePort->SetOnWsError(
        [this](net::TCustomWinsockPort*, std::int32_t ErrCode) { OnRemoteError(ErrCode); });

    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(TickMs);
    connect(Timer1, &QTimer::timeout, this, [this] { guarded([this] { TickTimeout(); }); });
    if (auto* events = QAbstractEventDispatcher::instance(thread()))
        connect(
            events, &QAbstractEventDispatcher::aboutToBlock, this,
            [this] { guarded([this] { PlanTicks(); }); }, Qt::DirectConnection);
}

// The ports go first: closing fires their events, which tell the watchers.
TCommLink::~TCommLink() {
    Timer1->stop();
    FStopping = true;
    FSides.clear();
    RemotePort.reset();
    Port.reset();
    FDeviceSocket.reset();
}

void TCommLink::Start() {
    ActionToDo.Tag = 0;
    SecondTimer = 0;
    // Before the ports open, so that a journal reads in order.
    const std::string settings = platform::SettingsFileName();
    qCInfo(lcLink).noquote() << QStringLiteral("Dravane Control %1 started: settings %2, role %3")
                                    .arg(QString::fromStdString(platform::ProgramVersion()),
                                         QString::fromStdString(settings),
                                         QString::fromLatin1(roleName(OperatingModeFromIndex(
                                             platform::TIniFile(settings).ReadInteger(Section, "Mode", 0)))));
    LoadConfiguration();
    CheckKeyFileMode();
    NetBusy = false;
    RemoteConnected = false;
    SetLinkStatus(lsDisconnected);
    SetRemoteStatus(lsDisconnected);
    FTickedAt = std::chrono::steady_clock::now();
    FQuietTicks = 0;
    Timer1->start(TickMs);
}

void TCommLink::DoAction(std::int32_t Action) {
    ActionToDo.Tag = Action;
    if (auto* mainForm = platform::ApplicationMainForm())
        mainForm->ExecuteAction(ActionToDo);
}

TCommLink::TPeer::~TPeer() = default;

void TCommLink::DecodePacket(const std::string& line) {
    if (!ParsePacketLine(line, NetPacket))
        return;
    qCDebug(lcLink).noquote() << "Received" << QString::fromStdString(line);
    if (OpMode == omServer)
        RecordStatus(NetPacket);
    emit PacketReceived(NetPacket);
    if (NetPacket.Cmd == Response)
        Response = 0;
    if (const auto code = ActionCodeForPacket(NetPacket))
        DoAction(*code);
}

void TCommLink::SetPortText(const QString& Text) {
    if (Text == FPortText)
        return;
    FPortText = Text;
    emit PortTextChanged(FPortText);
}

void TCommLink::Tell(const std::string& Text, TLinkKind Link) {
    // Without a watcher (dravane-server) this line is the message.
    if (Link == lkLocal)
        qCWarning(lcSerial).noquote() << QString::fromStdString(Text);
    else
        qCWarning(lcLink).noquote() << QString::fromStdString(Text);
    emit Message(QString::fromStdString(Text), msError, Link);
}

std::string TCommLink::PortWhere(std::int32_t Number) {
    const std::optional<std::string> path =
        Number >= 1 && Number <= MaxComNumber ? platform::ComNumbers().DevicePathFor(Number) : std::nullopt;
    return "COM" + std::to_string(Number) + " (" + (path ? *path : std::string("no device")) + ")";
}

// One message per fault episode on a link; its end is logged and closes its box.
void TCommLink::FaultStarts(std::string& Current, const std::string& Why, TLinkKind Link) {
    if (Why == Current)
        return;
    Current = Why;
    Tell(Why, Link);
}

void TCommLink::FaultEnds(std::string& Current, const QLoggingCategory& Category, const std::string& What,
                          TLinkKind Link) {
    if (Current.empty()) {
        qCInfo(Category).noquote() << QString::fromStdString(What);
        return;
    }
    qCInfo(Category).noquote() << QString::fromStdString(What) << "(the fault is over)";
    Current.clear();
    emit FaultEnded(Link);
}

void TCommLink::LocalFailed(const std::string& Why) {
    FaultStarts(FLocalFault, Why, lkLocal);
}

void TCommLink::LocalRecovered(const std::string& What) {
    FaultEnds(FLocalFault, lcSerial(), What, lkLocal);
}

// Told at once; the port is closed once the notice has returned (closing
// inside it would free the notice's own sender), and the watch reopens it.
void TCommLink::PortLost(std::int32_t Code) {
    CatchUpTicks();
    const std::string where = PortWhere(Port->ComNumber());
    const std::optional<std::string> path = platform::ComNumbers().DevicePathFor(Port->ComNumber());
    const platform::TDeviceFaultText cause = platform::DescribeDeviceFault(path.value_or(""), EIO);
    LocalFailed(where + " lost: " + serial::ErrorMessage(Code) + ", " + cause.Text +
                "; it will open again when it is back");
    QTimer::singleShot(0, this, [this] {
        Handle([this] {
            // Still the session that failed (a reopen needs it closed first);
            // its other threads may not have ended yet.
            if (Port->Open() && Port->Dispatcher().DeviceFailure() != 0) {
                FWatchDevice = true;
                DisableLocalPort();
            }
        });
    });
}

void TCommLink::CloseSerial() {
    const bool wasOpen = Port->Open();
    Port->SetOpen(false);
    if (wasOpen)
        qCInfo(lcSerial).noquote() << QString::fromStdString(PortWhere(Port->ComNumber())) << "closed";
}

void TCommLink::NoteLinkChange(TLinkKind Link, TLinkStatus Was, TLinkStatus Now) {
    // The destructor's closing: the ports are going, and nothing more is news.
    if (!Port || !RemotePort)
        return;
    std::int64_t& downSince = Link == lkLocal ? FLocalDownSince : FRemoteDownSince;
    // A Server that answers without its controller is a TCP link up all the same.
    const auto up = [Link](TLinkStatus s) {
        return s == lsReady || (Link == lkRemote && s == lsNoController);
    };
    if (up(Now) && !up(Was)) {
        const std::string what =
            Link == lkLocal
                ? "Link up: the controller answers on " + PortWhere(Port->ComNumber())
                : "TCP link up: " + (OpMode == omServer ? std::string("a Client is served") : RemoteWhere());
        if (downSince != 0)
            qCInfo(lcLink).noquote() << QString::fromStdString(what + " (down " +
                                                               duration(nowMs() - downSince) + ")");
        else
            qCInfo(lcLink).noquote() << QString::fromStdString(what);
        downSince = 0;
    } else if (up(Was) && Now == lsDisconnected && FStopping) {
        qCInfo(lcLink).noquote() << (Link == lkLocal ? "Link down: stopping" : "TCP link down: stopping");
    } else if (up(Was) && Now == lsDisconnected) {
        downSince = nowMs();
        std::string why = Link == lkLocal ? FLocalFault : FRemoteFault;
        if (why.empty() && Link == lkLocal)
            why = LinkTries >= 5 ? "the controller on " + PortWhere(Port->ComNumber()) + " stopped answering"
                                 : PortWhere(Port->ComNumber()) + " closed";
        if (why.empty())
            why = OpMode == omServer ? "no Client served any more" : RemoteWhere() + " gone or silent";
        qCWarning(lcLink).noquote() << QString::fromStdString(
            (Link == lkLocal ? "Link down: " : "TCP link down: ") + why);
    }
}

// ---------------------------------------------------------------- settings

void TCommLink::LoadConfiguration() {
    // The serial port is left as it is: SetupPort reopens only on a changed
    // number, so closing here would leave it closed under a "Ready" panel.
    // One read of the file for all of its keys.
    const platform::TIniSection ini = platform::TIniFile(platform::SettingsFileName()).ReadSection(Section);
    PortNumber = ini.ReadInteger("Port", 0);
    FModeIndex = ini.ReadInteger("Mode", 0);
    FIpAddress = ini.ReadString("ipAddress", "");
    FIpPort = ini.ReadString("ipPort", DefaultIpPort);
    FListenAddress = ini.ReadString("ListenAddress", "");
    FAllowFrom = ini.ReadString("AllowFrom", "");
    FKey = ini.ReadString("Key", "");
    FMaxClients = ini.ReadInteger("MaxClients", DefaultMaxClients);
    if (FMaxClients < 1 || FMaxClients > MostClients) {
        qCWarning(lcLink).noquote() << QStringLiteral("MaxClients=%1 in [Comm] is not 1 to %2: %3 it is")
                                           .arg(FMaxClients)
                                           .arg(MostClients)
                                           .arg(std::clamp(FMaxClients, 1, MostClients));
        FMaxClients = std::clamp(FMaxClients, 1, MostClients);
    }
    FLockIdleMinutes = std::max(0, ini.ReadInteger("LockIdleMinutes", DefaultLockIdleMinutes));
    FLock.SetIdleTicks(static_cast<std::int64_t>(FLockIdleMinutes) * 60 * 1000 / TickMs);
    FName = CleanStationName(ini.ReadString("Name", ""));
    if (FName.empty())
        FName = CleanStationName(defaultName());
    emit SettingsChanged();
    DoAction(mcUpdateRadioNumbers);
    SetOperatingMode();
    SetupPort();
}

void TCommLink::SaveConfiguration() {
    platform::TIniFile ini(platform::SettingsFileName());
    ini.WriteInteger(Section, "Port", Port->ComNumber());
    ini.WriteInteger(Section, "Mode", ModeIndex());
    ini.WriteString(Section, "ipAddress", FIpAddress);
    ini.WriteString(Section, "ipPort", FIpPort);
    // Written once set, so that a file without them stays as it was.
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string*>{"ListenAddress", &FListenAddress},
          {"AllowFrom", &FAllowFrom},
          {"Key", &FKey}}) {
        if (!value->empty() || ini.ReadValue(Section, key))
            ini.WriteString(Section, key, *value);
    }
}

// ---------------------------------------------------------------- the role

void TCommLink::SetOperatingMode() {
    CatchUpTicks();
    const ToperatingMode previous = OpMode;
    OpMode = OperatingModeFromIndex(ModeIndex());
    if (OpMode != previous)
        ReportRoleLink();
}

// The main window's indicator follows the link the new role depends on.
void TCommLink::ReportRoleLink() {
    const TLinkStatus status = OpMode == omClient ? RemoteStatus : LinkStatus;
    if (status == lsReady)
        DoAction(mcCommLinkOk);
    else if (status == lsDisconnected)
        DoAction(mcCommLinkFail);
}

std::string TCommLink::RemoteSetting() const {
    if (OpMode == omNormal)
        return {};
    std::string port = FIpPort;
    if (!ValidInteger(port))
        port = DefaultIpPort;
    return (OpMode == omServer
                ? "server:" + trimmed(FListenAddress) + ":"
                : "client:" + QString::fromStdString(FIpAddress).trimmed().toStdString() + ":") +
           port;
}

TCommLink::TOpenResult TCommLink::OpenSerial(std::int32_t Number) {
    try {
        if (Number < 1 || Number > MaxComNumber)
            throw serial::EBadId();
        Port->SetComNumber(static_cast<std::uint16_t>(Number));
        // Half a line from the device as it went (a cable pulled mid-reply)
        // would spoil the first reply of the new one.
        LocalData.Clear();
        Port->SetOpen(true);
        FWatchDevice = false;
        FOpenFailure.clear();
        SetPortText(QStringLiteral("Using COM%1").arg(Number));
        LocalRecovered(PortWhere(Number) + " opened");
        return TOpenResult::Opened;
    } catch (const std::exception& e) {
        const auto* portError = dynamic_cast<const serial::EPortException*>(&e);
        FWatchDevice =
            portError && portError->ErrorCode() == serial::ecBadId && Number >= 1 && Number <= MaxComNumber;
        // The cause a user can act on, from what the device path is now and
        // the error the open met; the port's own text when neither tells.
        const std::optional<std::string> path = Number >= 1 && Number <= MaxComNumber
                                                    ? platform::ComNumbers().DevicePathFor(Number)
                                                    : std::nullopt;
        if (!path) {
            FOpenFailure =
                PortWhere(Number) + ": map a device to it in [Ports] of " + platform::SettingsFileName();
        } else {
            platform::TDeviceFaultText cause = platform::DescribeDeviceFault(*path, Port->LastOpenErrno());
            if (cause.Kind == platform::TDeviceFault::Other && Port->LastOpenErrno() == 0)
                cause.Text = e.what();
            FOpenFailure = PortWhere(Number) + ": " + cause.Text;
        }
        if (FWatchDevice)
            FOpenFailure += "; it will open when it appears";
        return FWatchDevice ? TOpenResult::DeviceAbsent : TOpenResult::Failed;
    }
}

void TCommLink::SetupPort() {
    CatchUpTicks();
    // A TCP session with unchanged settings is kept: dropping it costs the
    // peer up to two supervision cycles to recover.
    const std::string remote = RemoteSetting();
    const bool keepRemote = !remote.empty() && remote == FRemoteOpenedWith && inService(*RemotePort);
    if (!keepRemote) {
        DropSidePeers();
        try {
            RemotePort->SetOpen(false);
        } catch (const std::exception&) {
            // Closing a TCP port has nothing to report that would change what follows.
        }
        FRemoteOpenedWith.clear();
    }
    Port->SetBaud(ComBaud);
    if (PortNumber == 0 || PortNumber != Port->ComNumber()) {
        CloseSerial();
        SetLinkStatus(lsDisconnected);
    }
    if (OpMode != omClient && PortNumber > 0 && PortNumber != Port->ComNumber()) {
        if (OpenSerial(PortNumber) != TOpenResult::Opened)
            LocalFailed("Error opening COM port " + FOpenFailure);
    }
    if (OpMode == omNormal) {
        FRemoteFault.clear();
        return;
    }
    if (OpMode == omServer)
        ApplyAccessSettings();
    if (keepRemote)
        return;
    FRemoteFault.clear();
    FListeningTold = false;
    FServerSilenceTimer = 0;
    RemoteTimer = RemoteTimeout;
    const std::uint16_t port = CheckedIpPort();
    if (port == 0)
        return;
    FClientRefused = false;
    if (OpMode == omServer) {
        RemotePort->SetWsMode(net::wsServer);
        RemotePort->SetWsListenAddress(trimmed(FListenAddress));
    } else {
        RemotePort->SetWsMode(net::wsClient);
        RemotePort->SetWsAddress(FIpAddress);
    }
    RemotePort->SetDeviceLayer(serial::dlWinsock);
    RemotePort->SetWsPort(std::to_string(port));
    FRemoteOpenedWith = remote;
    OpenRemote();
}

std::uint16_t TCommLink::CheckedIpPort() {
    if (!ValidInteger(FIpPort) && !allDigits(FIpPort)) {
        FIpPort = DefaultIpPort;
        emit SettingsChanged();
    }
    if (allDigits(FIpPort) && FIpPort.size() <= 5) {
        const int value = std::stoi(FIpPort);
        if (value >= 1 && value <= 65535)
            return static_cast<std::uint16_t>(value);
    }
    RemoteFailed(
        "ipPort=" + FIpPort + " in [Comm] of " + platform::SettingsFileName() +
        " is not a TCP port (1 to 65535): " + (OpMode == omServer ? "not listening" : "not connecting"));
    return 0;
}

std::string TCommLink::RemoteWhere() const {
    if (OpMode != omServer)
        return "the Server at " + FIpAddress + " port " + RemotePort->WsPort();
    const std::string at = RemotePort->WsListenAddress();
    return "TCP port " + RemotePort->WsPort() + (at.empty() ? " (every address)" : " on " + at);
}

bool TCommLink::OpenRemote() {
    try {
        RemotePort->SetOpen(true);
    } catch (const std::exception& e) {
        // Tried again on the supervision cycle. The port's own text may
        // already name the address and the cause.
        const std::string why = e.what();
        RemoteFailed(why.starts_with("Cannot ")
                         ? why
                         : (OpMode == omServer ? "Cannot listen on " : "Cannot connect to ") + RemoteWhere() +
                               ": " + why);
        return false;
    }
    if (OpMode == omServer && (!FListeningTold || !FRemoteFault.empty())) {
        FListeningTold = true;
        RemoteRecovered("Listening on " + RemoteWhere());
        qCInfo(lcLink).noquote() << (FGate ? "Key: set, each peer must answer the challenge"
                                           : "Key: none, anyone who reaches the port may switch the array");
        if (FAllowList.AllowsEveryone()) {
            qCInfo(lcLink).noquote() << "AllowFrom: anyone";
        } else {
            const std::vector<std::string> entries = FAllowList.Entries();
            std::string list;
            for (const std::string& e : entries)
                list += (list.empty() ? "" : ", ") + e;
            qCInfo(lcLink).noquote() << "AllowFrom:"
                                     << QString::fromStdString(list.empty() ? "nobody" : list);
        }
    }
    return true;
}

// ---------------------------------------------------------------- access

void TCommLink::ApplyAccessSettings() {
    if (FAllowFrom != FAllowListText) {
        FAllowListText = FAllowFrom;
        FAllowList = net::TAllowList(FAllowFrom);
        for (const std::string& e : FAllowList.Errors()) {
            Tell(e + " in [Comm]: ignored", lkRemote);
        }
    }
    if (FKey.empty()) {
        FGate.reset();
        FGateKey.clear();
    } else if (!FGate || FKey != FGateKey) {
        FGateKey = FKey;
        FGate = std::make_unique<net::TAuthGate>(QByteArray::fromStdString(FKey), [this] {
            return FAuthClock ? FAuthClock() : std::chrono::steady_clock::now();
        });
    }
    // A peer served without a key when one is set goes; it may come back and answer.
    for (auto& p : FSides) {
        if (!p->Gone && p->Gate == pgOpen && FGate)
            RefusePeer(*p, {}, "a key is required now");
    }
    if (FPrimary.Gate == pgOpen && FGate) {
        if (RemoteDataSocket() >= 0)
            RefusePeer(FPrimary, {}, "a key is required now");
        else
            FPrimary.Gate = pgNobody;
    } else if (FPrimary.Gate == pgNobody && !FGate) {
        FPrimary.Gate = pgOpen;
    }
}

// The accept handler: a peer is let in here (the port serves one itself),
// and nothing of it is read before this has decided.
bool TCommLink::AcceptPeer(const net::TPeerAddress& Addr) {
    if (FPrimary.Gate == pgChallenge && FGate)
        FGate->Abandon(FPrimary.AuthId);
    // A new peer gets the whole supervision time for its first "[REMOTE]".
    // Otherwise a Client reconnecting every 141 ticks and this Server
    // listening anew every 141 ticks can lock in step, each new
    // connection dropped before its first link test, for ever.
    if (OpMode == omServer)
        RemoteTimer = RemoteTimeout;
    // A line the last peer left unfinished is not the start of this one's.
    RemoteData.Clear();
    FPrimary.Text = Addr.Text();
    if (const int s = RemoteDataSocket(); s >= 0) {
        net::TSockAddr from;
        socklen_t len = from.Capacity();
        if (::getpeername(s, from.Get(), &len) == 0) {
            from.Fix(len);
            FPrimary.Text = from.Text();
        }
    }
    // What the port kept for its first peer is for a peer served as it
    // comes, never for one refused or asked for the key.
    if (FGate || !FAllowList.Allows(Addr))
        RemotePort->FlushOutBuffer();
    StartPeer(FPrimary, Addr);
    return true;
}

// A peer beyond the port's own: served here up to MaxClients, told the
// Server is full beyond.
void TCommLink::ExtraPeer(int Socket, const net::TSockAddr& Addr, bool& Taken) {
    if (OpMode != omServer)
        return;
    Taken = true;
    auto p = std::make_unique<TPeer>();
    // Owned by its entry alone, not by this object as well.
    p->Side =
        std::make_unique<net::TServedPeer>(Socket, Addr.Address(), Addr.PortNet(), RemotePort->WsTelnet());
    p->Text = Addr.Text();
    TPeer& peer = *p;
    peer.Side->SetOnBytes([this, &peer](std::string_view Bytes) {
        Handle([&] {
            std::string line;
            for (const char c : Bytes) {
                if (peer.Gone || !peer.Present)
                    return;
                const auto byte = static_cast<std::uint8_t>(c);
                if (byte != 13) {
                    peer.Lines.Feed(byte, line);
                    continue;
                }
                const bool overflowed = peer.Lines.Overflowed();
                if (!peer.Lines.Feed(byte, line))
                    line.clear();
                if (!overflowed && !PeerLine(peer, line))
                    return;
            }
        });
    });
    peer.Side->SetOnClosed([this, &peer](const std::string& Why) { Handle([&] { PeerLeft(peer, Why); }); });
    FSides.push_back(std::move(p));
    if (PeerCount() > FMaxClients) {
        peer.Present = true;
        RefusePeer(peer, net::FormatAuthLine({net::alRefused, "full"}),
                   "the Server is full (MaxClients=" + std::to_string(FMaxClients) + ")");
        return;
    }
    StartPeer(peer, Addr.Address());
}

int TCommLink::PeerCount() const {
    int n = RemoteDataSocket() >= 0 ? 1 : 0;
    for (const auto& p : FSides)
        n += p->Gone || p->Gate == pgRefused ? 0 : 1;
    return n;
}

template <class Fn> void TCommLink::ForEachPeer(Fn&& F) {
    if (FPrimary.Present)
        F(FPrimary);
    for (auto& p : FSides) {
        if (p->Present && !p->Gone)
            F(*p);
    }
}

void TCommLink::StartPeer(TPeer& P, const net::TPeerAddress& Addr) {
    P.Id = ++FNextPeerId;
    P.Name.clear();
    P.Command.clear();
    P.CommandTimer = 0;
    // The first beat once this Server's own link test has had its answer:
    // a Server just started would otherwise call its controller silent.
    P.BeatTimer = FastLinkTest;
    P.Supervision = RemoteTimeout;
    P.Ready = false;
    P.Present = true;
    P.Outbox.clear();
    P.Lines.Clear();
    // Refused peers are let in for the moment it takes to tell them why:
    // nothing they send is read, and the port lets them go after the line.
    if (!FAllowList.Allows(Addr)) {
        RefusePeer(P, net::FormatAuthLine({net::alRefused, "address"}), "not in AllowFrom");
        return;
    }
    if (!FGate) {
        P.Gate = pgOpen;
        PeerAdmitted(P, "no key");
        return;
    }
    const net::TAuthGate::TStart start = FGate->Begin(Addr);
    switch (start.Verdict) {
    case net::TAuthGate::gsChallenge:
        P.Gate = pgChallenge;
        P.AuthId = start.Id;
        qCInfo(lcLink).noquote() << "Peer" << fromStd(P.Text) << "connected: challenged";
        if (!WritePeer(P, start.Line))
            RefusePeer(P, {}, "the challenge could not be sent");
        break;
    case net::TAuthGate::gsBackOff:
        RefusePeer(P, start.Line,
                   "it failed lately and must wait " +
                       std::to_string(std::chrono::ceil<std::chrono::seconds>(FGate->Wait(Addr)).count()) +
                       " s");
        break;
    case net::TAuthGate::gsBusy:
        RefusePeer(P, start.Line, "too many peers in the challenge");
        break;
    case net::TAuthGate::gsNoRandom:
        RefusePeer(P, start.Line, "no random numbers for a challenge");
        break;
    }
}

void TCommLink::PeerAdmitted(TPeer& P, const std::string& How) {
    qCInfo(lcRecord).noquote() << "Peer" << fromStd(P.Text) << "connected, admitted (" + fromStd(How) + ")";
    // Who holds control, from the start: a new peer may command only when
    // nobody does.
    P.ControlLine.clear();
    P.RefusalTold = false;
    P.RefusalsUntold = 0;
    TellControl(P);
}

bool TCommLink::ChallengeLine(TPeer& P, const std::string& Line) {
    const net::TAuthGate::TResult r =
        FGate ? FGate->Answer(P.AuthId, Line) : net::TAuthGate::TResult{net::TAuthGate::gvUnknown, {}};
    switch (r.Verdict) {
    case net::TAuthGate::gvPending:
        return true;
    case net::TAuthGate::gvAdmitted:
        P.Gate = pgAdmitted;
        if (&P == &FPrimary)
            RemoteTimer = RemoteTimeout;
        P.Supervision = RemoteTimeout;
        if (!WritePeer(P, r.Line)) {
            if (&P == &FPrimary)
                DisableRemotePort();
            return false;
        }
        PeerAdmitted(P, "right key");
        return true;
    case net::TAuthGate::gvFailed: {
        const bool late = r.Line == net::FormatAuthLine({net::alFailed, "late"});
        RefusePeer(P, r.Line, late ? "answer too late" : "wrong key");
        return false;
    }
    case net::TAuthGate::gvUnknown:
        break;
    }
    RefusePeer(P, {}, "no challenge under way");
    return false;
}

void TCommLink::RefusePeer(TPeer& P, const std::string& Line, const std::string& Why) {
    const bool admitted = PeerMayHear(P);
    P.Gate = pgRefused;
    qCWarning(lcRecord).noquote() << "Peer" << fromStd(P.Text) << "refused:" << fromStd(Why);
    if (admitted && FLock.Release(P.Id))
        ControlMoved("released: " + PeerWho(P) + " was let go");
    if (P.Side) {
        if (!Line.empty())
            P.Side->Write(Line);
        P.Side->CloseAfterSending();
        P.Present = false;
        UpdateServerRemoteStatus();
        return;
    }
    if (!Line.empty())
        WriteRemote(Line); // a peer that cannot take it is let go all the same
    RemotePort->DisconnectPeer();
}

void TCommLink::PeerLeft(TPeer& P, const std::string& Why) {
    if (!P.Present)
        return;
    TellRefusalsUntold(P);
    P.Present = false;
    if (P.Gate == pgChallenge && FGate) {
        FGate->Abandon(P.AuthId);
        qCWarning(lcLink).noquote() << "Peer" << fromStd(P.Text) << "left before answering the challenge";
    } else if (P.Gate != pgRefused) {
        qCInfo(lcRecord).noquote() << "Peer" << fromStd(PeerWho(P)) << "disconnected:" << fromStd(Why);
    }
    if (FLock.Release(P.Id))
        ControlMoved("released: " + PeerWho(P) + " left");
    if (P.Side) {
        P.Gone = true;
        if (P.Side->IsOpen())
            P.Side->Close();
    }
    UpdateServerRemoteStatus();
}

bool TCommLink::WritePeer(TPeer& P, std::string_view Bytes) {
    if (!P.Side)
        return WriteRemote(Bytes);
    if (P.Side->Write(Bytes))
        return true;
    if (P.Present) {
        // A peer that does not read has had its share of memory.
        qCWarning(lcRecord).noquote() << "Peer" << fromStd(PeerWho(P)) << "let go: it does not read";
        P.Side->Close();
        PeerLeft(P, "it does not read");
    }
    return false;
}

void TCommLink::QueuePeerLine(TPeer& P, const std::string& Line) {
    // A peer that floods while the controller is mid-line gets the latest
    // answers; who holds control goes last of all.
    constexpr std::size_t MostQueued = 8;
    const bool control = ParseStationLine(Line).has_value() && Line.starts_with("[SERVER CONTROL ");
    if (control)
        std::erase_if(P.Outbox, [](const std::string& l) { return l.starts_with("[SERVER CONTROL "); });
    if (P.Outbox.size() >= MostQueued) {
        const auto other = std::find_if(P.Outbox.begin(), P.Outbox.end(), [](const std::string& l) {
            return !l.starts_with("[SERVER CONTROL ");
        });
        P.Outbox.erase(other != P.Outbox.end() ? other : P.Outbox.begin());
    }
    P.Outbox.push_back(Line);
    FlushPeerLines();
}

// Only between two of the controller's lines: a line inside one would
// spoil it for the peer.
void TCommLink::FlushPeerLines() {
    if (MidControllerLine() || !inService(*RemotePort))
        return;
    ForEachPeer([&](TPeer& P) {
        if (!PeerMayHear(P) || P.Outbox.empty())
            return;
        std::string out;
        for (const std::string& l : P.Outbox)
            out += l + CR;
        P.Outbox.clear();
        if (!WritePeer(P, out) && &P == &FPrimary)
            DisableRemotePort();
    });
}

// The rest of a line cut off by a closed port never comes; the peer takes a
// line from its last "[" and is not misled by the piece before it.
bool TCommLink::MidControllerLine() const {
    return inService(*Port) && !LocalData.Pending().empty();
}

std::string TCommLink::NoLinkTest() {
    return "no link test within " + std::to_string(RemoteTimeout * TickMs / 1000) + " s";
}

std::string TCommLink::PeerWho(const TPeer& P) const {
    if (&P == &FPrimary && P.Id == 0)
        return P.Text;
    return P.Name.empty() ? P.Text : P.Text + " (" + P.Name + ")";
}

std::string TCommLink::ControlLineFor(const TPeer& P) const {
    if (!FLock.Held())
        return FormatStationLine({slControlFree, {}});
    if (FLock.Holder() == P.Id)
        return FormatStationLine({slControlYours, {}});
    return FormatStationLine({slControlHeld, FLock.HolderName()});
}

void TCommLink::ControlMoved(const std::string& Why) {
    ForEachPeer([&](TPeer& P) { TellRefusalsUntold(P); });
    qCInfo(lcRecord).noquote() << "Control" << fromStd(Why);
    ForEachPeer([&](TPeer& P) {
        if (PeerMayHear(P))
            TellControl(P);
    });
    emit ControlChanged(ControlText());
}

void TCommLink::TellControl(TPeer& P) {
    std::string line = ControlLineFor(P);
    if (line == P.ControlLine)
        return;
    P.ControlLine = line;
    QueuePeerLine(P, line);
}

// A desk that floods refused commands or requests gets its answers, but the
// record says it once per holder, with the count when control moves.
void TCommLink::PeerRefused(TPeer& P, const std::string& Text) {
    if (P.RefusalTold) {
        ++P.RefusalsUntold;
        return;
    }
    P.RefusalTold = true;
    P.RefusedFor = FLock.HolderName();
    qCInfo(lcRecord).noquote() << fromStd(Text);
}

void TCommLink::TellRefusalsUntold(TPeer& P) {
    if (P.RefusalsUntold > 0)
        qCInfo(lcRecord).noquote() << "Refused" << P.RefusalsUntold << "more from" << fromStd(PeerWho(P))
                                   << "while" << fromStd(P.RefusedFor) << "held control";
    P.RefusalTold = false;
    P.RefusalsUntold = 0;
}

void TCommLink::UpdateServerRemoteStatus() {
    if (OpMode != omServer)
        return;
    bool ready = FPrimary.Present && FPrimary.Ready;
    for (const auto& p : FSides)
        ready = ready || (p->Present && !p->Gone && p->Ready);
    SetRemoteStatus(ready ? lsReady : lsDisconnected);
}

bool TCommLink::PeerLine(TPeer& P, const std::string& Line) {
    // Until a peer has answered, its lines go to the gate and no further.
    if (P.Gate == pgChallenge)
        return ChallengeLine(P, Line);
    if (P.Gate == pgRefused || P.Gate == pgNobody)
        return false;
    // A Client's own lines stay here, understood or not.
    if (Line.starts_with("[CLIENT ")) {
        if (const std::optional<TStationLine> l = ParseStationLine(Line))
            ClientLine(P, *l);
        return true;
    }
    if (Line == "[REMOTE]") {
        // Its supervision runs whether or not the controller's port is open:
        // a Server without its controller still serves its peers.
        P.Ready = true;
        P.Supervision = RemoteTimeout;
        if (&P == &FPrimary)
            RemoteTimer = RemoteTimeout;
        UpdateServerRemoteStatus();
    }
    if (!inService(*Port))
        return true;
    const std::optional<TCommandLine> cmd = ParseCommandLine(Line);
    if (cmd) {
        if (Line == P.Command && P.CommandTimer > 0) {
            ++FCopiesHeldBack;
            qCDebug(lcLink).noquote() << "A copy of" << fromStd(Line) << "held on the way is not passed on";
            return true;
        }
        if (!FLock.MayCommand(P.Id)) {
            PeerRefused(P, "Refused " + PeerWho(P) + " command " + Line + " - control is held by " +
                               FLock.HolderName());
            QueuePeerLine(P, FormatStationLine({slRefused, FLock.HolderName()}));
            return true;
        }
        FLock.Commanded(P.Id);
        P.Command = Line;
        P.CommandTimer = CopyHoldOff;
    }
    if (!WriteLocal(Line + CR)) {
        DisableLocalPort();
        return true;
    }
    if (cmd)
        RecordCommand(PeerWho(P), *cmd);
    return true;
}

void TCommLink::ClientLine(TPeer& P, const TStationLine& Line) {
    if (Line.Kind == slClientName) {
        if (Line.Name == P.Name)
            return;
        P.Name = Line.Name;
        qCInfo(lcRecord).noquote() << "Peer" << fromStd(P.Text) << "is" << fromStd(P.Name);
        if (FLock.Holder() == P.Id)
            FLock.Take(P.Id, P.Name);
    } else if (Line.Kind == slClientTake) {
        const std::string name = P.Name.empty() ? P.Text : P.Name;
        if (FLock.Holder() == P.Id) {
            TellControl(P);
        } else if (FLock.Take(P.Id, name)) {
            ControlMoved("taken by " + PeerWho(P));
        } else {
            PeerRefused(P, "Control refused to " + PeerWho(P) + " - held by " + FLock.HolderName());
            TellControl(P);
        }
    } else if (Line.Kind == slClientRelease) {
        if (FLock.Release(P.Id))
            ControlMoved("released by " + PeerWho(P));
        else
            TellControl(P);
    }
}

void TCommLink::RecordCommand(const std::string& Who, const TCommandLine& Cmd) {
    std::string button;
    if (Cmd.Cmd == cmd485_SetDravane && !Cmd.Data.empty())
        button = std::string(ButtonName(static_cast<std::uint8_t>(Cmd.Data[0])));
    if (button.empty())
        button = "command " + std::to_string(Cmd.Cmd);
    // A controller that answers nothing still leaves a bounded record.
    constexpr std::size_t MostWaiting = 16;
    if (FRecord.size() >= MostWaiting) {
        qCInfo(lcRecord).noquote() << fromStd(FRecord.front().Who) << "pressed"
                                   << fromStd(FRecord.front().Button) << "- no status came back";
        FRecord.erase(FRecord.begin());
    }
    FRecord.push_back({Who, button, RetryDelay});
}

void TCommLink::RecordStatus(const TNetPacket& Packet) {
    if (Packet.Cmd != cmd485_DravaneStatus || FRecord.empty())
        return;
    const auto state = TAntennaState::FromPayload(Packet.Data);
    qCInfo(lcRecord).noquote() << fromStd(FRecord.front().Who) << "pressed" << fromStd(FRecord.front().Button)
                               << "- now" << (state ? fromStd(state->Text()) : QStringLiteral("(no state)"));
    FRecord.erase(FRecord.begin());
}

void TCommLink::TickRecord() {
    while (!FRecord.empty() && --FRecord.front().Ticks <= 0) {
        qCInfo(lcRecord).noquote() << fromStd(FRecord.front().Who) << "pressed"
                                   << fromStd(FRecord.front().Button) << "- no status came back";
        FRecord.erase(FRecord.begin());
    }
}

void TCommLink::TickSidePeers() {
    // Left, or refused and done telling why: their memory goes now, never
    // from inside their own callbacks.
    std::erase_if(FSides, [](const std::unique_ptr<TPeer>& p) {
        return p->Gone || (p->Gate == pgRefused && p->Side->Finished());
    });
    for (auto& p : FSides) {
        TPeer& P = *p;
        if (!P.Present || P.Gone)
            continue;
        if (P.CommandTimer > 0)
            --P.CommandTimer;
        if (P.BeatTimer > 0)
            --P.BeatTimer;
        else
            SendServerBeat(P);
        if (--P.Supervision <= 0) {
            P.Side->Close();
            PeerLeft(P, NoLinkTest());
        }
    }
}

void TCommLink::DropSidePeers() {
    for (auto& p : FSides) {
        if (p->Present && !p->Gone) {
            if (p->Side)
                p->Side->Close();
            PeerLeft(*p, "the Server stopped listening");
        }
    }
    // This may run inside one of their own callbacks (a write that failed on
    // the way): they go once it has returned.
    auto gone = std::make_shared<std::vector<std::unique_ptr<TPeer>>>(std::move(FSides));
    FSides.clear();
    if (!gone->empty())
        QTimer::singleShot(0, this, [gone] { gone->clear(); });
}

bool TCommLink::TakeControl() {
    CatchUpTicks();
    if (OpMode == omServer) {
        if (FLock.Holder() == PanelId)
            return true;
        if (!FLock.Take(PanelId, FName))
            return false;
        ControlMoved("taken by " + FName + " (this Server's panel)");
        return true;
    }
    if (OpMode != omClient || !FServerShares || !RemoteConnected)
        return false;
    if (!WriteRemote(FormatStationLine({slClientTake, {}}) + CR))
        DisableRemotePort();
    return true;
}

bool TCommLink::ReleaseControl() {
    CatchUpTicks();
    if (OpMode == omServer) {
        if (!FLock.Release(PanelId))
            return false;
        ControlMoved("released by " + FName + " (this Server's panel)");
        return true;
    }
    if (OpMode != omClient || !FServerShares || !RemoteConnected)
        return false;
    if (!WriteRemote(FormatStationLine({slClientRelease, {}}) + CR))
        DisableRemotePort();
    return true;
}

QString TCommLink::ControlText() const {
    if (OpMode == omServer) {
        if (!FLock.Held())
            return QStringLiteral("Control: free");
        if (FLock.Holder() == PanelId)
            return QStringLiteral("Control: yours");
        return QStringLiteral("Controlled by ") + fromStd(FLock.HolderName());
    }
    if (OpMode != omClient || !FServerShares)
        return {};
    if (FControlMine)
        return QStringLiteral("Control: yours");
    if (FHeldBy.empty())
        return QStringLiteral("Control: free");
    return QStringLiteral("Controlled by ") + fromStd(FHeldBy);
}

bool TCommLink::ControlledByOther() const {
    if (OpMode == omServer)
        return !FLock.MayCommand(PanelId);
    return OpMode == omClient && FServerShares && !FControlMine && !FHeldBy.empty();
}

void TCommLink::ServerControlLine(const TStationLine& Line) {
    const bool first = !FServerShares;
    FServerShares = true;
    if (first && !WriteRemote(FormatStationLine({slClientName, FName}) + CR)) {
        DisableRemotePort();
        return;
    }
    const bool mine = Line.Kind == slControlYours;
    const std::string heldBy = Line.Kind == slControlHeld ? Line.Name : std::string();
    if (!first && mine == FControlMine && heldBy == FHeldBy)
        return;
    FControlMine = mine;
    FHeldBy = heldBy;
    qCInfo(lcLink).noquote() << ControlText();
    emit ControlChanged(ControlText());
}

bool TCommLink::RefuseCommandAtOnce() {
    QString why;
    if (ControlledByOther())
        why = ControlText();
    else if (OpMode == omClient && RemoteStatus == lsNoController)
        why = QStringLiteral("Server reached, controller not answering");
    if (why.isEmpty())
        return false;
    qCDebug(lcLink).noquote() << "Command not sent:" << why;
    emit CommandRefused(why);
    return true;
}

bool TCommLink::ClientAuthLine(std::string_view Packet) {
    const std::optional<net::TAuthLine> l = net::ParseAuthLine(Packet);
    if (!l)
        return false;
    const std::string server = RemoteWhere();
    switch (l->Kind) {
    case net::alChallenge:
        if (FKey.empty()) {
            qCWarning(lcLink).noquote() << QString::fromStdString(server) << "asks for a key; none is set";
        } else if (const auto answer = net::AuthAnswer(QByteArray::fromStdString(FKey), Packet); answer) {
            qCInfo(lcLink).noquote() << QString::fromStdString(server) << "asks for the key: answering";
            if (!WriteRemote(*answer))
                DisableRemotePort();
        }
        break;
    case net::alAdmitted:
        FClientRefused = false;
        RemoteRecovered("Admitted by " + server);
        // The Server serves this peer from now on: its first link test at once.
        if (RemoteConnected && !WriteRemote("[REMOTE]\r"))
            DisableRemotePort();
        break;
    case net::alFailed:
        if (l->Value == "wrong")
            ClientRefused("Refused by " + server + ": wrong key");
        else if (l->Value == "late")
            ClientRefused("Refused by " + server + ": the key's answer came too late");
        else if (FKey.empty())
            ClientRefused("Refused by " + server + ": it wants a key, and Key in [Comm] is empty");
        else
            ClientRefused("Refused by " + server + ": no answer to its challenge in time");
        break;
    case net::alRefused:
        if (l->Value == "address")
            ClientRefused("Refused by " + server + ": this address is not in its AllowFrom");
        else if (l->Value == "busy")
            ClientRefused("Refused by " + server + ": busy with other peers logging in");
        else if (l->Value == "full")
            ClientRefused("Refused by " + server + ": it serves as many Clients as its MaxClients allows");
        else
            ClientRefused("Refused by " + server + ": wrong answers from this address lately (" + l->Value +
                          " s)");
        break;
    case net::alAnswer:
        break;
    }
    return true;
}

void TCommLink::ClientRefused(const std::string& Why) {
    if (FClientRefused) {
        qCWarning(lcLink).noquote() << QString::fromStdString(Why);
        SetRemoteStatus(lsDisconnected);
        return;
    }
    RemoteFailed(Why);
    FClientRefused = true;
}

void TCommLink::CheckKeyFileMode() const {
    if (FKey.empty())
        return;
    const std::string file = platform::SettingsFileName();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return;
    // Group access matters only for a group other than this program's own
    // (the service's file is root's, readable by the service's group).
    const bool others = (st.st_mode & 0007) != 0 || ((st.st_mode & 0070) != 0 && st.st_gid != ::getegid());
    if (!others)
        return;
    qCWarning(lcLink).noquote() << QStringLiteral(
                                       "%1 holds a Key and other users can read it (mode %2): chmod 600 %1")
                                       .arg(QString::fromStdString(file))
                                       .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
}

void TCommLink::RemoteFailed(const std::string& Why) {
    FClientRefused = false;
    SetRemoteStatus(lsDisconnected);
    FaultStarts(FRemoteFault, Why, lkRemote);
}

void TCommLink::RemoteRecovered(const std::string& What) {
    FaultEnds(FRemoteFault, lcLink(), What, lkRemote);
}

void TCommLink::UseComPort(std::int32_t number) {
    CatchUpTicks();
    CloseSerial();
    SetPortText(QStringLiteral("Disabled"));
    SetLinkStatus(lsDisconnected);
    PortNumber = number;
    Port->SetBaud(ComBaud);
    if (number <= 0) {
        Port->SetComNumber(0);
        FWatchDevice = false;
        SetPortText(QStringLiteral("COM disabled"));
        return;
    }
    LinkTestTimer = 0;
    if (OpenSerial(number) == TOpenResult::Opened) {
        SetLinkStatus(lsDisconnected);
        return;
    }
    LocalFailed("Error opening " + FOpenFailure);
    SetLinkStatus(lsDisconnected);
    Port->SetOpen(false);
    SetPortText(QStringLiteral("Disabled"));
}

// ---------------------------------------------------------------- link states

void TCommLink::SetLinkStatus(TLinkStatus Status) {
    if (Status != lsNone && Status != LinkStatus) {
        NoteLinkChange(lkLocal, LinkStatus, Status);
        const bool wasReady = LinkStatus == lsReady;
        LinkStatus = Status;
        emit LinkStatusChanged(LinkStatus);
        // Peers hear at once when the controller stops or starts answering.
        if (OpMode == omServer && wasReady != (LinkStatus == lsReady))
            ForEachPeer([](TPeer& P) { P.BeatTimer = 0; });
    }
    // A Client without its serial port has no serial link to report: the
    // main window shows the TCP link then.
    if (OpMode == omClient && !inService(*Port))
        return;
    if (LinkStatus == lsReady)
        DoAction(mcCommLinkOk);
    else if (LinkStatus == lsDisconnected)
        DoAction(mcCommLinkFail);
}

void TCommLink::SetRemoteStatus(TLinkStatus Status) {
    if (Status != lsNone && Status != RemoteStatus) {
        NoteLinkChange(lkRemote, RemoteStatus, Status);
        RemoteStatus = Status;
        emit RemoteStatusChanged(RemoteStatus);
    }
    if (RemoteStatus == lsReady) {
        RemoteConnected = true;
        if (OpMode == omClient)
            DoAction(mcCommLinkOk);
    } else if (RemoteStatus == lsNoController) {
        RemoteConnected = true;
        if (OpMode == omClient)
            DoAction(mcCommLinkNoController);
    } else if (RemoteStatus == lsDisconnected) {
        RemoteConnected = false;
        if (OpMode == omClient)
            DoAction(mcCommLinkFail);
    }
}

// ---------------------------------------------------------------- writing

bool TCommLink::WriteLocal(std::string_view Bytes) {
    try {
        Port->PutString(Bytes);
        return true;
    } catch (const serial::EPortException& e) {
        // A full output buffer is a slow or stalled line, not a broken port.
        if (e.ErrorCode() != serial::ecOutputBufferTooSmall)
            return false;
        FLocalDropped += Bytes.size();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TCommLink::WriteRemote(std::string_view Bytes) {
    try {
        RemotePort->PutString(Bytes);
        return true;
    } catch (const serial::EPortException& e) {
        // Full: no peer to take the bytes yet, or a peer that does not read.
        // A block that telnet escapes would overfill is refused whole too.
        if (e.ErrorCode() != serial::ecOutputBufferTooSmall && e.ErrorCode() != serial::ecPutBlockFail)
            return false;
        FRemoteDropped += Bytes.size();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void TCommLink::SendPacket(const std::string& Packet) {
    qCDebug(lcLink).noquote() << "Sending" << QString::fromStdString(Packet) << "transmission" << Attempts;
    if (OpMode == omClient) {
        if (inService(*RemotePort) && RemoteConnected && !WriteRemote(Packet + LF))
            DisableRemotePort();
        return;
    }
    if (inService(*Port) && !WriteLocal(Packet))
        DisableLocalPort();
}

void TCommLink::DisableLocalPort() {
    if (Port->DeviceLost()) {
        FWatchDevice = true;
        // Found by a write before the device threads' notice came.
        if (FLocalFault.empty())
            PortLost(Port->Dispatcher().DeviceFailure());
    }
    try {
        CloseSerial();
    } catch (const std::exception&) {
        // The port is out of service whatever closing it reported.
    }
    SetLinkStatus(lsDisconnected);
}

void TCommLink::DisableRemotePort() {
    DropSidePeers();
    try {
        RemotePort->SetOpen(false);
    } catch (const std::exception&) {
        // As above.
    }
    SetRemoteStatus(lsDisconnected);
}

// ---------------------------------------------------------------- commands

bool TCommLink::SendCommand(std::uint8_t Addr, std::uint8_t Cmd, const std::string& Data, std::uint8_t Resp) {
    CatchUpTicks();
    bool result = true;
    if (RefuseCommandAtOnce())
        return false;
    const std::string packet = FormatPacket(Addr, Cmd, Data);
    if (OpMode == omServer) {
        FLock.Commanded(PanelId);
        if (inService(*Port))
            RecordCommand(FName + " (this Server's panel)", TCommandLine{Addr, Cmd, Data});
    }
    if (Addr == addrBroadcast || Resp == 0) {
        SendPacket(packet);
    } else {
        Response = Resp;
        Attempts = 0;
        NetBusy = true;
        FCommandRefused.clear();
        do {
            ++Attempts;
            if (Attempts == 1 || !CopyStillOnItsWay()) {
                SendPacket(packet);
                FCopyMark = RemotePort->WsQueuedTotal();
            } else {
                qCDebug(lcLink) << "The last copy has not left yet: none sent this time";
            }
            RetryTimer = Cmd == cmd485_SetDefaults ? SetDefaultsDelay : RetryDelay;
            // Blocks until something happens; the tick guarantees a wake-up.
            while (RetryTimer > 0 && Response != 0 && SystemReady && FCommandRefused.empty())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        } while (!(Attempts > 5 || Response == 0 || !SystemReady || !FCommandRefused.empty()));
        if (Attempts > 5 || !FCommandRefused.empty())
            result = false;
        if (!FCommandRefused.empty()) {
            qCInfo(lcLink).noquote() << "Command refused:" << fromStd(FCommandRefused);
            emit CommandRefused(fromStd(FCommandRefused));
            FCommandRefused.clear();
        }
        Response = 0;
    }
    NetBusy = false;
    if (!result)
        qCWarning(lcLink).noquote() << "Command" << QString::fromStdString(packet)
                                    << "given up: no reply to 6 transmissions";
    return result;
}

// Over TCP nothing is lost: a copy that has not even left this side (a
// path stalled so long that the system stopped sending) would be carried out
// later as well as a new one. Copies that left and were held on the way
// arrive together, and the Server passes on only the first.
bool TCommLink::CopyStillOnItsWay() const {
    return OpMode == omClient && RemotePort->WsStillOnThisSide(FCopyMark);
}

// ---------------------------------------------------------------- port events

void TCommLink::PortTriggerAvail(serial::TCustomComPort* CP, std::uint16_t Count) {
    if (Count == 0 || CP->PortState() != serial::psOpen)
        return;
    std::string block(Count, '\0');
    CP->GetBlock(block.data(), Count);
    // The peer gets the bytes as one block, before any line handling: one
    // write, not one TCP segment per byte.
    if (OpMode == omServer && inService(*RemotePort)) {
        // Before its first peer the port keeps what it can for that peer.
        if (PeerMayHear(FPrimary) && !WriteRemote(block)) {
            DisableRemotePort();
        } else {
            for (auto& p : FSides) {
                if (p->Present && !p->Gone && PeerMayHear(*p))
                    WritePeer(*p, block);
            }
        }
    }
    std::string line;
    for (const char c : block) {
        if (!LocalData.Feed(static_cast<std::uint8_t>(c), line))
            continue;
        const std::string_view packet = packetPart(line);
        if (packet.empty())
            continue;
        // The controller answered: the next such line from the peer is a
        // new click. (A copy the peer sent just before it heard the answer,
        // within one round trip, still gets through: a known limit.)
        if (OpMode == omServer && packet.starts_with("[T"))
            ForEachPeer([](TPeer& P) { P.Command.clear(); });
        DecodePacket(std::string(packet));
        if (packet == "[LINKOK]") {
            qCDebug(lcSerial).noquote() << "Link test answered on COM" + QString::number(Port->ComNumber());
            SetLinkStatus(lsReady);
            LinkTries = 0;
        }
    }
    if (OpMode == omServer)
        FlushPeerLines();
}

void TCommLink::RemotePortTriggerAvail(serial::TCustomComPort* CP, std::uint16_t Count) {
    if (Count == 0 || CP->PortState() != serial::psOpen)
        return;
    std::string block(Count, '\0');
    CP->GetBlock(block.data(), Count);
    std::string line;
    for (const char c : block) {
        // A refused peer is on its way out: nothing more of it is read.
        if (OpMode == omServer && (FPrimary.Gate == pgRefused || FPrimary.Gate == pgNobody))
            return;
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte != 13) {
            RemoteData.Feed(byte, line);
            continue;
        }
        const bool overflowed = RemoteData.Overflowed();
        if (!RemoteData.Feed(byte, line))
            line.clear();
        if (overflowed)
            continue; // an over-long line is dropped whole
        if (OpMode == omServer) {
            if (!PeerLine(FPrimary, line))
                return;
            continue;
        }
        if (OpMode != omClient)
            continue;
        const std::string_view packet = packetPart(line);
        if (ClientAuthLine(packet))
            continue;
        if (FClientRefused && (packet.starts_with("[SERVER ") || packet.starts_with("[T"))) {
            // A Server that serves this Client without a challenge.
            FClientRefused = false;
            RemoteRecovered("Served by " + RemoteWhere());
        }
        if (packet.starts_with("[SERVER ")) {
            FServerSilenceTimer = ServerSilence;
            const std::optional<TStationLine> l = ParseStationLine(packet);
            if (l && l->Kind == slRefused)
                FCommandRefused = "Controlled by " + l->Name;
            else if (l && (l->Kind == slControlFree || l->Kind == slControlYours || l->Kind == slControlHeld))
                ServerControlLine(*l);
            else if (packet == ServerReadyLine && RemoteStatus == lsNoController)
                ServerControllerBack();
            else if (packet == ServerNoControllerLine && RemoteStatus == lsReady)
                ServerControllerLost();
            continue;
        }
        if (!packet.empty())
            DecodePacket(std::string(packet));
    }
}

int TCommLink::RemoteDataSocket() const {
    return RemotePort->WsDataSocket();
}

void TCommLink::RemotePortWsConnect(net::TCustomWinsockPort*) {
    // Half a line from a connection that broke off would spoil the first
    // reply on this one, and its command would be sent (and carried out) again.
    RemoteData.Clear();
    FServerSilenceTimer = 0;
    FServerShares = false;
    FControlMine = false;
    FHeldBy.clear();
    // A Server that refused this Client is not back until it serves it.
    if (OpMode == omClient && FClientRefused)
        qCInfo(lcLink).noquote() << "Connected to" << QString::fromStdString(RemoteWhere());
    else if (OpMode == omClient)
        RemoteRecovered("Connected to " + RemoteWhere());
    if (WriteRemote("Link test\r"))
        SetRemoteStatus(lsReady);
    else
        DisableRemotePort();
}

void TCommLink::RemotePortWsDisconnect(net::TCustomWinsockPort*) {
    if (OpMode == omServer) {
        PeerLeft(FPrimary, "connection closed");
        FPrimary.Gate = FGate ? pgNobody : pgOpen;
        UpdateServerRemoteStatus();
        return;
    }
    if (OpMode == omClient && FServerShares) {
        FServerShares = false;
        FControlMine = false;
        FHeldBy.clear();
        emit ControlChanged(ControlText());
    }
    SetRemoteStatus(lsDisconnected);
}

// A connection that died without a disconnect (the dead-path time-out) is
// taken down after the notice has returned; a Server listens anew at the
// next tick, a Client reconnects on its own cycle.
void TCommLink::OnRemoteError(std::int32_t ErrCode) {
    CatchUpTicks();
    // Listening on a host name fails only once its look-up is in.
    if (OpMode == omServer && RemoteDataSocket() < 0 && !RemotePort->WsErrorText().empty()) {
        RemoteFailed(RemotePort->WsErrorText());
        return;
    }
    if (OpMode == omClient && !RemoteConnected) {
        RemoteFailed("Cannot reach " + RemoteWhere() + ": " + serial::ErrorMessage(ErrCode));
        return;
    }
    if (!connectionDead(ErrCode))
        return;
    // A Server's peer lost this way has already been let go by the socket
    // layer, and its leave follows: the Server goes on listening, and the
    // next Client, maybe admitted before a deferred take-down, is kept.
    if (OpMode == omServer && RemoteDataSocket() < 0)
        return;
    QTimer::singleShot(0, this, [this] {
        Handle([this] {
            DisableRemotePort();
            if (OpMode == omServer)
                RemoteTimer = 0;
        });
    });
}

// ---------------------------------------------------------------- the tick

void TCommLink::Timer1Timer() {
    if (!SystemReady)
        return;
    if (RetryTimer > 0)
        --RetryTimer;

    if (LinkTestTimer > 0) {
        --LinkTestTimer;
    } else {
        if (LinkTries >= 5)
            SetLinkStatus(lsDisconnected);
        LinkTestTimer = LinkStatus == lsDisconnected ? FastLinkTest : LinkTestInterval;
        if (OpMode == omClient) {
            if (inService(*RemotePort) && RemoteConnected && !WriteRemote("[REMOTE]\r"))
                DisableRemotePort();
        } else if (inService(*Port)) {
            if (LinkTries < 5)
                ++LinkTries;
            if (!WriteLocal("[LINK]\r"))
                DisableLocalPort();
        }
    }

    if (OpMode == omClient) {
        if (FServerSilenceTimer > 0 && RemoteConnected && --FServerSilenceTimer == 0) {
            RemoteFailed(RemoteWhere() + " stopped answering (it is stopped, frozen or cut off)");
            DisableRemotePort();
        }
        if (RemoteTimer > 0) {
            --RemoteTimer;
        } else if (!RemoteConnected && !FRemoteOpenedWith.empty()) {
            // An attempt still under way after a whole cycle went nowhere
            // (a port closed by a broken connection made none).
            if (FRemoteFault.empty() && inService(*RemotePort))
                RemoteFailed("Cannot reach " + RemoteWhere() + ": no answer within " +
                             std::to_string(RemoteTimeout * TickMs / 1000) + " s");
            else
                SetRemoteStatus(lsDisconnected);
            try {
                RemotePort->SetOpen(false);
            } catch (const std::exception&) {
                // Opened again below all the same.
            }
            OpenRemote();
            RemoteTimer = RemoteTimeout;
        }
    }

    if (SecondTimer > 0) {
        --SecondTimer;
    } else {
        SecondTimer = TimerRate;
        WatchForDevice();
    }

    if (OpMode == omServer) {
        if (FGate) {
            for (const auto& [id, line] : FGate->Expire()) {
                const std::string why =
                    "no answer within " + std::to_string(net::TAuthGate::AnswerTime.count() / 1000) + " s";
                if (id == FPrimary.AuthId && FPrimary.Gate == pgChallenge)
                    RefusePeer(FPrimary, line, why);
                for (auto& p : FSides) {
                    if (id == p->AuthId && p->Gate == pgChallenge && p->Present)
                        RefusePeer(*p, line, why);
                }
            }
        }
        if (FLock.Tick())
            ControlMoved("released: nobody commanded for " + std::to_string(FLockIdleMinutes) + " min");
        TickRecord();
        TickSidePeers();
        if (FPrimary.CommandTimer > 0)
            --FPrimary.CommandTimer;
        if (FPrimary.Present) {
            if (FPrimary.BeatTimer > 0)
                --FPrimary.BeatTimer;
            else
                SendServerBeat(FPrimary);
        }
        FlushPeerLines();
        if (RemoteTimer > 0) {
            --RemoteTimer;
        } else if (!FSides.empty()) {
            // Other peers are served: only this one goes.
            RemoteTimer = RemoteTimeout;
            if (RemoteDataSocket() >= 0) {
                PeerLeft(FPrimary, NoLinkTest());
                RemotePort->DisconnectPeer();
            }
        } else if (!FRemoteOpenedWith.empty()) {
            try {
                RemotePort->SetOpen(false);
            } catch (const std::exception&) {
                // Listening again is tried below all the same.
            }
            OpenRemote();
            RemoteTimer = RemoteTimeout;
            if (FPrimary.Present)
                PeerLeft(FPrimary, NoLinkTest());
            SetRemoteStatus(lsDisconnected);
        }
    }
}

int TCommLink::QuietTicks() const {
    if (!SystemReady)
        return MostQuietTicks; // the tick does nothing at all
    if (NetBusy)
        return 0;
    std::int64_t quiet = MostQuietTicks;
    auto upTo = [&quiet](std::int64_t n) { quiet = std::min(quiet, std::max<std::int64_t>(n, 0)); };
    upTo(LinkTestTimer);
    if (FWatchDevice && OpMode != omClient && !Port->Open() && PortNumber > 0)
        upTo(SecondTimer);
    if (OpMode == omClient) {
        if (FServerSilenceTimer > 0 && RemoteConnected)
            upTo(FServerSilenceTimer - 1);
        if (RemoteTimer > 0)
            upTo(RemoteTimer);
        else if (!RemoteConnected && !FRemoteOpenedWith.empty())
            return 0;
    } else if (OpMode == omServer) {
        if ((FGate && FGate->InChallenge() > 0) || !FPrimary.Outbox.empty())
            return 0;
        upTo(FLock.QuietTicks());
        if (!FRecord.empty())
            upTo(FRecord.front().Ticks - 1);
        for (const auto& p : FSides) {
            // Gone or refused: it goes at the next tick, or as soon as it is told.
            if (p->Gone || p->Gate == pgRefused || !p->Outbox.empty())
                return 0;
            if (!p->Present)
                continue;
            upTo(p->BeatTimer);
            upTo(p->Supervision - 1);
        }
        if (FPrimary.Present)
            upTo(FPrimary.BeatTimer);
        if (RemoteTimer > 0)
            upTo(RemoteTimer);
        else if (!FSides.empty() || !FRemoteOpenedWith.empty())
            return 0;
    }
    return static_cast<int>(quiet);
}

// The ticks slept through so far run now.
void TCommLink::CatchUpTicks() {
    if (FInTicks || FQuietTicks <= 0 || !Timer1->isActive() ||
        FTickedAt == std::chrono::steady_clock::time_point{})
        return;
    const auto tick = std::chrono::milliseconds(TickMs);
    const int due = static_cast<int>(
        std::min<std::int64_t>((std::chrono::steady_clock::now() - FTickedAt) / tick, FQuietTicks));
    if (due <= 0)
        return;
    FInTicks = true;
    for (int k = 0; k < due && Timer1->isActive(); ++k)
        Timer1Timer();
    FInTicks = false;
    FTickedAt += due * tick;
    FQuietTicks -= due;
}

// The ticks slept through, then this one. A timer late beyond its plan (a
// busy thread) runs one tick, as a late timer always did.
void TCommLink::TickTimeout() {
    if (FInTicks)
        return;
    CatchUpTicks();
    const auto now = std::chrono::steady_clock::now();
    const auto tick = std::chrono::milliseconds(TickMs);
    if (FTickedAt == std::chrono::steady_clock::time_point{})
        FTickedAt = now - tick;
    const std::int64_t elapsed = (now - FTickedAt) / tick;
    const int runs = static_cast<int>(std::clamp<std::int64_t>(elapsed, 1, FQuietTicks + 1));
    FInTicks = true;
    for (int k = 0; k < runs && Timer1->isActive(); ++k)
        Timer1Timer();
    FInTicks = false;
    FTickedAt = elapsed <= FQuietTicks + 1 ? FTickedAt + runs * tick : now;
    FQuietTicks = 0;
    PlanTicks();
}

// Before the thread sleeps: when the next tick that may act is due. A
// timer started from outside (a test's) ticks from now on.
void TCommLink::PlanTicks() {
    if (FInTicks)
        return; // a loop run from inside a tick: the tick plans once it is done
    if (!Timer1->isActive()) {
        FTickedAt = {};
        return;
    }
    if (FTickedAt == std::chrono::steady_clock::time_point{}) {
        FTickedAt = std::chrono::steady_clock::now();
        FQuietTicks = 0;
    }
    CatchUpTicks();
    FQuietTicks = QuietTicks();
    const auto due = FTickedAt + (FQuietTicks + 1) * std::chrono::milliseconds(TickMs);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    const int ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    // Within a millisecond of plan the timer keeps its cadence.
    if (std::abs(Timer1->remainingTime() - ms) > 1)
        Timer1->start(ms);
}

void TCommLink::SendServerBeat(TPeer& P) {
    // Only between two of the controller's lines: a beat inside one would
    // spoil it for the peer.
    if (!PeerMayHear(P) || !inService(*RemotePort) || MidControllerLine())
        return;
    P.BeatTimer = ServerBeat;
    const std::string beat =
        std::string(LinkStatus == lsReady ? ServerReadyLine : ServerNoControllerLine) + CR;
    if (!WritePeer(P, beat) && &P == &FPrimary)
        DisableRemotePort();
}

void TCommLink::ServerControllerLost() {
    const std::string text = "Server reached, controller not answering (" + RemoteWhere() + ")";
    qCWarning(lcLink).noquote() << fromStd(text);
    SetRemoteStatus(lsNoController);
}

void TCommLink::ServerControllerBack() {
    qCInfo(lcLink).noquote() << "The controller behind" << fromStd(RemoteWhere()) << "answers again";
    SetRemoteStatus(lsReady);
}

// The configured device went away (or was absent): open it again once it is
// back, without a message; a device that is there but cannot be opened is
// shown once and no longer tried.
void TCommLink::WatchForDevice() {
    if (!FWatchDevice || OpMode == omClient || Port->Open() || PortNumber <= 0)
        return;
    switch (OpenSerial(PortNumber)) {
    case TOpenResult::Opened:
        LinkTestTimer = 0;
        break;
    case TOpenResult::DeviceAbsent:
        break;
    case TOpenResult::Failed:
        LocalFailed("Error opening COM port " + FOpenFailure);
        break;
    }
}

// ---------------------------------------------------------------- closing

void TCommLink::Shutdown() {
    qCInfo(lcLink) << "Stopping";
    FStopping = true;
    DropSidePeers();
    SetLinkStatus(lsDisconnected);
    SetRemoteStatus(lsDisconnected);
    Timer1->stop();
    FWatchDevice = false;
    try {
        CloseSerial();
    } catch (const std::exception& e) {
        platform::ShowException(e);
    }
    try {
        RemotePort->SetOpen(false);
    } catch (const std::exception& e) {
        platform::ShowException(e);
    }
}

} // namespace dravane::comm
