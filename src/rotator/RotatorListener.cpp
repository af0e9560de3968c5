#include "rotator/RotatorListener.h"

#include "platform/IniFile.h"

#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dravane::rotator {

Q_LOGGING_CATEGORY(lcRotator, "dravane.rotator", QtInfoMsg)

namespace {

constexpr const char* settingsSection = "Rotator";
// Beyond this many programs a new connection is closed at once: no station
// has that many, and each holds a descriptor and a line buffer.
constexpr int maxConnections = 32;
// Out of descriptors, a pending connection would wake the listener at once
// for ever; it waits this long instead.
constexpr int acceptPauseMs = 1000;
constexpr std::size_t readChunk = 4096;

QString numericAddress(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(address, length, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return QStringLiteral("?");
    const QString h = QString::fromLatin1(host);
    return (address->sa_family == AF_INET6 ? "[" + h + "]" : h) + ":" + QString::fromLatin1(service);
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

} // namespace

void TRotatorSettings::Load(const platform::TIniFile& ini) {
    Enabled = ini.ReadBool(settingsSection, "Enabled", false);
    if (std::string address = ini.ReadString(settingsSection, "Address", ""); !address.empty())
        Address = std::move(address);
    if (const std::int32_t port = ini.ReadInteger(settingsSection, "Port", Port); port >= 0 && port <= 65535)
        Port = static_cast<std::uint16_t>(port);
    if (const std::optional<std::string> offset = ini.ReadValue(settingsSection, "Offset"))
        if (const std::optional<double> degrees = ParseDecimal(*offset))
            Offset = *degrees;
    if (const std::optional<std::string> park = ini.ReadValue(settingsSection, "Park"))
        Park = ParseDecimal(*park);
}

struct TRotatorListener::TConnection {
    int Id = 0;
    int Fd = -1;
    QString Peer;
    TRotatorParser Parser;
    std::string Pending; // reply bytes the peer has not taken yet
    bool Quitting = false;
    TNotifier Read;
    TNotifier Write;
};

void TRotatorListener::TLaterDeleter::operator()(QObject* object) const {
    object->deleteLater();
}

TRotatorListener::TRotatorListener(TAntennaDrive& drive, const TRotatorSettings& settings, QObject* parent)
    : QObject(parent), FDrive(drive), FSettings(settings), FEngine(drive) {
    connect(&FEngine, &TGoToEngine::Failed, this, [this](const QString& reason) {
        qCWarning(lcRotator).noquote() << "rotator: move failed:" << reason;
        emit MoveFailed(reason);
    });
    connect(&FEngine, &TGoToEngine::Arrived, this, [this](int direction) {
        qCInfo(lcRotator).noquote() << "rotator: pointing at direction" << direction << "bearing"
                                    << DirectionBearing(direction, FSettings.Offset);
    });
}

TRotatorListener::~TRotatorListener() {
    Stop();
}

bool TRotatorListener::Start() {
    Stop();
    FError.clear();
    const QString wanted = QStringLiteral("%1 port %2").arg(Address()).arg(FSettings.Port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    // A bind address names this machine, so the hosts file answers it at once.
    const int resolved =
        ::getaddrinfo(FSettings.Address.c_str(), std::to_string(FSettings.Port).c_str(), &hints, &found);
    if (resolved != 0) {
        FError = "cannot listen on " + wanted + ": " + QString::fromLocal8Bit(::gai_strerror(resolved));
        return false;
    }
    QStringList failures; // "address: cause" for each address that could not be bound
    QString lastCause;
    FPort = FSettings.Port;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        sockaddr_storage address{};
        std::memcpy(&address, a->ai_addr, a->ai_addrlen);
        // With port 0, every address gets the port the first one was given.
        if (a->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in&>(address).sin_port = htons(FPort);
        else if (a->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(FPort);
        const QString where = numericAddress(reinterpret_cast<sockaddr*>(&address), a->ai_addrlen);
        const int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastCause = errnoText(errno);
            failures << where + ": " + lastCause;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // "localhost" gives 127.0.0.1 and ::1: each gets a socket of its own.
        if (a->ai_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), a->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
            lastCause = errnoText(errno);
            failures << where + ": " + lastCause;
            ::close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
            FPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                      : reinterpret_cast<sockaddr_in&>(bound).sin_port);
        TListenSocket listener{fd, TNotifier(new QSocketNotifier(fd, QSocketNotifier::Read))};
        connect(listener.Notifier.get(), &QSocketNotifier::activated, this, [this, fd] { accept(fd); });
        FListeners.push_back(std::move(listener));
        qCInfo(lcRotator).noquote() << "rotator: listening on"
                                    << numericAddress(reinterpret_cast<sockaddr*>(&bound), length);
    }
    ::freeaddrinfo(found);
    if (!Listening()) {
        // One address needs no repeating; several ("localhost") say which failed how.
        FError =
            "cannot listen on " + wanted + ": " + (failures.size() == 1 ? lastCause : failures.join("; "));
        return false;
    }
    // Listening on some of the addresses is a start; the others are worth a line in the log.
    for (const QString& failure : failures)
        qCWarning(lcRotator).noquote() << "rotator: cannot listen on" << failure;
    return true;
}

void TRotatorListener::Stop() {
    while (!FConnections.empty())
        close(FConnections.begin()->first, "listener stopped", false);
    for (TListenSocket& listener : FListeners) {
        delete listener.Notifier.release();
        ::close(listener.Fd);
    }
    FListeners.clear();
    FEngine.Stop();
}

void TRotatorListener::accept(int listenFd) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd =
            ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == ECONNABORTED || error == EINTR)
                continue;
            if (wouldBlock(error))
                return;
            qCWarning(lcRotator).noquote() << "rotator: accept:" << errnoText(error);
            for (TListenSocket& listener : FListeners)
                if (listener.Fd == listenFd) {
                    QSocketNotifier* notifier = listener.Notifier.get();
                    notifier->setEnabled(false);
                    QTimer::singleShot(acceptPauseMs, notifier, [notifier] { notifier->setEnabled(true); });
                }
            return;
        }
        const QString where = numericAddress(reinterpret_cast<sockaddr*>(&peer), length);
        if (ConnectionCount() >= maxConnections) {
            qCWarning(lcRotator).noquote() << "rotator: connection from" << where << "refused: too many";
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<TConnection>();
        const int id = FNextId++;
        connection->Id = id;
        connection->Fd = fd;
        connection->Peer = where;
        connection->Read = TNotifier(new QSocketNotifier(fd, QSocketNotifier::Read));
        connection->Write = TNotifier(new QSocketNotifier(fd, QSocketNotifier::Write));
        connection->Write->setEnabled(false);
        connect(connection->Read.get(), &QSocketNotifier::activated, this, [this, id] { readable(id); });
        connect(connection->Write.get(), &QSocketNotifier::activated, this, [this, id] { writable(id); });
        FConnections.emplace(id, std::move(connection));
        qCInfo(lcRotator).noquote() << "rotator: connection from" << where << "opened";
        emit ConnectionsChanged(ConnectionCount());
    }
}

void TRotatorListener::readable(int id) {
    const auto it = FConnections.find(id);
    if (it == FConnections.end())
        return;
    TConnection& connection = *it->second;
    char buffer[readChunk];
    const ssize_t got = ::recv(connection.Fd, buffer, sizeof buffer, 0);
    if (got == 0) {
        close(id, "by the peer");
        return;
    }
    if (got < 0) {
        if (!wouldBlock(errno))
            close(id, errnoText(errno).toLocal8Bit().constData());
        return;
    }
    std::vector<TRotatorRequest> requests;
    connection.Parser.Feed(std::string_view(buffer, static_cast<std::size_t>(got)), requests);
    for (const TRotatorRequest& request : requests) {
        if (request.Command == rcQuit) {
            connection.Quitting = true;
            break;
        }
        if (!send(connection, execute(request)))
            return;
    }
    if (connection.Quitting && connection.Pending.empty())
        close(id, "on request");
    else if (connection.Quitting)
        connection.Read->setEnabled(false);
}

void TRotatorListener::writable(int id) {
    const auto it = FConnections.find(id);
    if (it == FConnections.end())
        return;
    TConnection& connection = *it->second;
    const ssize_t sent =
        ::send(connection.Fd, connection.Pending.data(), connection.Pending.size(), MSG_NOSIGNAL);
    if (sent < 0) {
        if (!wouldBlock(errno))
            close(id, errnoText(errno).toLocal8Bit().constData());
        return;
    }
    connection.Pending.erase(0, static_cast<std::size_t>(sent));
    if (!connection.Pending.empty())
        return;
    connection.Write->setEnabled(false);
    if (connection.Quitting)
        close(id, "on request");
}

bool TRotatorListener::send(TConnection& connection, const std::string& reply) {
    if (connection.Pending.empty()) {
        const ssize_t sent = ::send(connection.Fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(reply.size()))
            return true;
        if (sent < 0 && !wouldBlock(errno)) {
            close(connection.Id, errnoText(errno).toLocal8Bit().constData());
            return false;
        }
        connection.Pending.assign(reply, sent < 0 ? 0 : static_cast<std::size_t>(sent));
    } else {
        connection.Pending += reply;
    }
    if (connection.Pending.size() > MaxPendingOutput) {
        close(connection.Id, "it does not read its replies");
        return false;
    }
    connection.Write->setEnabled(true);
    return true;
}

void TRotatorListener::close(int id, const char* why, bool fromNotifier) {
    const auto it = FConnections.find(id);
    if (it == FConnections.end())
        return;
    const std::unique_ptr<TConnection> connection = std::move(it->second);
    FConnections.erase(it);
    connection->Read->setEnabled(false);
    connection->Write->setEnabled(false);
    // Outside a notifier's activation there may be no event loop left to delete them later.
    if (!fromNotifier) {
        delete connection->Read.release();
        delete connection->Write.release();
    }
    ::close(connection->Fd);
    qCInfo(lcRotator).noquote() << "rotator: connection from" << connection->Peer
                                << "closed:" << QString::fromLocal8Bit(why);
    emit ConnectionsChanged(ConnectionCount());
}

std::string TRotatorListener::execute(const TRotatorRequest& request) {
    switch (request.Command) {
    case rcSetPos:
        return setPosition(request, ParseSetPosAzimuth(request.Args));
    case rcGetPos:
        return position(request);
    case rcGetInfo:
        return FormatReply(request, rprtOk, {{"Info", "Dravane Control " DRAVANE_VERSION}});
    case rcStop:
        FEngine.Stop();
        return FormatReply(request, rprtOk);
    case rcPark:
        if (!FSettings.Park)
            return FormatReply(request, rprtNotImplemented);
        return setPosition(request, FSettings.Park);
    case rcDumpState:
        return FormatDumpState(request);
    case rcChkVfo:
        return FormatReply(request, rprtOk, {{"CHKVFO", "0"}});
    case rcOverlong:
        return FormatReply(request, rprtInvalid);
    case rcQuit:
    case rcUnknown:
        break;
    }
    return FormatReply(request, rprtNotImplemented);
}

std::string TRotatorListener::setPosition(const TRotatorRequest& request, std::optional<double> azimuth) {
    if (!azimuth)
        return FormatReply(request, rprtInvalid);
    if (!FDrive.CanTurn())
        return FormatReply(request, rprtIoError);
    switch (FEngine.SetTarget(NearestDirection(*azimuth, FSettings.Offset))) {
    case gsMoving:
    case gsThere:
        return FormatReply(request, rprtOk);
    case gsNoDirection:
        return FormatReply(request, rprtRejected);
    case gsNoState:
        break;
    }
    return FormatReply(request, rprtNotAvailable);
}

std::string TRotatorListener::position(const TRotatorRequest& request) const {
    if (!FDrive.LinkUp())
        return FormatReply(request, rprtIoError);
    const std::optional<comm::TAntennaState> state = FDrive.State();
    // rotctl prints -11 as "Feature not available": nothing has been reported yet.
    if (!state)
        return FormatReply(request, rprtNotAvailable);
    if (state->Mode == comm::kelOmniDir)
        return FormatReply(request, rprtRejected);
    // In BI two directions are lit: the one asked for, when lit, is where the array points.
    int direction = state->Direction;
    if (const std::optional<int> target = FEngine.LastTarget(); target && state->Lit(*target))
        direction = *target;
    return FormatReply(request, rprtOk,
                       {{"Azimuth", FormatDecimal(DirectionBearing(direction, FSettings.Offset))},
                        {"Elevation", FormatDecimal(0)}});
}

} // namespace dravane::rotator
