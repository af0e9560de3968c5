#include "net/SocketNoticeWindow.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>

namespace dravane::net {

void EnableNoDelay(const TWsApi& Api, int Socket) {
    const int on = 1;
    Api.setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // best effort: only latency is at stake
}

TSocketNoticeWindow::TSocketNoticeWindow(const TWsApi& Api, TWndProc WndProc)
    : FApi(Api), FWndProc(std::move(WndProc)), FAcceptRetry(new QTimer(this)) {
    FAcceptRetry->setSingleShot(true);
    FAcceptRetry->setInterval(AcceptRetryMs);
    connect(FAcceptRetry, &QTimer::timeout, this, [this] { RetryAccepts(); });
}

TSocketNoticeWindow::~TSocketNoticeWindow() {
    for (auto& [socket, entry] : FEntries)
        dropNotifiers(entry);
}

TSocketNoticeWindow::TEntry* TSocketNoticeWindow::find(int Socket) {
    auto it = FEntries.find(Socket);
    return it == FEntries.end() ? nullptr : &it->second;
}

TSocketNoticeWindow::TEntry* TSocketNoticeWindow::find(int Socket, std::uint64_t Generation) {
    TEntry* e = find(Socket);
    return e && e->Generation == Generation ? e : nullptr;
}

int TSocketNoticeWindow::Select(int Socket, unsigned Msg, long Events) {
    if (Events == 0) {
        Forget(Socket);
        return 0;
    }
    const int flags = FApi.fcntl(Socket, F_GETFL);
    if (flags < 0 || FApi.fcntl(Socket, F_SETFL, flags | O_NONBLOCK) < 0)
        return SOCKET_ERROR;
    Forget(Socket);
    TEntry& e = FEntries[Socket];
    e.Msg = Msg;
    e.Events = Events;
    e.Generation = FNextGeneration++;
    int accepting = 0;
    socklen_t len = sizeof accepting;
    e.Listening = FApi.getsockopt(Socket, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting != 0;
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    e.Connected = !e.Listening && FApi.getpeername(Socket, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0;
    if (e.Listening || e.Connected)
        armRead(Socket, e);
    return 0;
}

QSocketNotifier* TSocketNoticeWindow::makeNotifier(int Socket, const TEntry& E, bool Write) {
    auto* n = new QSocketNotifier(Socket, Write ? QSocketNotifier::Write : QSocketNotifier::Read, this);
    const std::uint64_t generation = E.Generation;
    connect(n, &QSocketNotifier::activated, this, [this, n, Socket, generation, Write] {
        QSocketNotifier* outer = FFiring;
        FFiring = n;
        if (Write)
            onWritable(Socket, generation);
        else
            onReadable(Socket, generation);
        FFiring = outer;
    });
    return n;
}

void TSocketNoticeWindow::armRead(int Socket, TEntry& E) {
    const long wanted = E.Listening ? FD_ACCEPT : FD_READ | FD_CLOSE;
    if (E.Ended || !(E.Events & wanted) || E.ReadArmed)
        return;
    if (!E.Read)
        E.Read = makeNotifier(Socket, E, false);
    E.ReadArmed = true;
    E.Read->setEnabled(true);
}

void TSocketNoticeWindow::armWrite(int Socket, TEntry& E) {
    if (E.Ended || E.WriteArmed)
        return;
    if (!E.Write)
        E.Write = makeNotifier(Socket, E, true);
    E.WriteArmed = true;
    E.Write->setEnabled(true);
}

void TSocketNoticeWindow::dropNotifiers(TEntry& E) {
    for (QSocketNotifier** slot : {&E.Read, &E.Write}) {
        QSocketNotifier* n = *slot;
        if (!n)
            continue;
        n->setEnabled(false); // off the event dispatcher's poll set at once
        if (n == FFiring)
            n->deleteLater(); // its own signal is still on the stack
        else
            delete n;
        *slot = nullptr;
    }
    E.ReadArmed = E.WriteArmed = false;
}

void TSocketNoticeWindow::Forget(int Socket) {
    if (TEntry* e = find(Socket)) {
        dropNotifiers(*e);
        FEntries.erase(Socket);
    }
}

void TSocketNoticeWindow::Listening(int Socket) {
    if (TEntry* e = find(Socket)) {
        e->Listening = true;
        armRead(Socket, *e);
    }
}

void TSocketNoticeWindow::ConnectStarted(int Socket) {
    if (TEntry* e = find(Socket)) {
        e->Connecting = true;
        armWrite(Socket, *e);
    }
}

void TSocketNoticeWindow::ConnectFailed(int Socket) {
    if (TEntry* e = find(Socket)) {
        e->Connecting = false;
        e->Ended = true;
        dropNotifiers(*e);
    }
}

void TSocketNoticeWindow::Received(int Socket) {
    if (TEntry* e = find(Socket); e && e->Connected)
        armRead(Socket, *e);
}

void TSocketNoticeWindow::AcceptCalled(int Listening, int Accepted) {
    TEntry* listener = find(Listening);
    if (!listener)
        return;
    listener->AcceptFailing = false;
    const unsigned msg = listener->Msg;
    const long events = listener->Events;
    armRead(Listening, *listener);
    // The accepted socket inherits the listening socket's registration.
    Select(Accepted, msg, events);
}

bool TSocketNoticeWindow::AcceptFailed(int Listening, bool WouldBlock) {
    TEntry* listener = find(Listening);
    if (!listener)
        return true;
    if (WouldBlock) {
        // Nobody is waiting any more: the next arrival makes the socket readable.
        listener->AcceptFailing = false;
        armRead(Listening, *listener);
        return true;
    }
    const bool first = !listener->AcceptFailing;
    listener->AcceptFailing = true;
    if (!FAcceptRetry->isActive())
        FAcceptRetry->start();
    return first;
}

void TSocketNoticeWindow::RetryAccepts() {
    for (auto& [socket, entry] : FEntries)
        if (entry.Listening && entry.AcceptFailing)
            armRead(socket, entry);
}

void TSocketNoticeWindow::SendBlocked(int Socket) {
    if (TEntry* e = find(Socket))
        armWrite(Socket, *e);
}

void TSocketNoticeWindow::ShutDown(int Socket, int How) {
    if (TEntry* e = find(Socket); e && (How == SHUT_WR || How == SHUT_RDWR))
        e->ShutWrite = true;
}

TSocketHistory TSocketNoticeWindow::History(int Socket) const {
    auto it = FEntries.find(Socket);
    if (it == FEntries.end())
        return shConnected; // not watched: a broken pipe most likely means a lost peer
    if (it->second.ShutWrite)
        return shShutDown;
    return it->second.Connected ? shConnected : shNeverConnected;
}

void TSocketNoticeWindow::onReadable(int Socket, std::uint64_t Generation) {
    ++FActivations;
    TEntry* e = find(Socket, Generation);
    if (!e || !e->ReadArmed)
        return; // stale: the socket was forgotten or re-registered since
    e->ReadArmed = false;
    e->Read->setEnabled(false);
    const unsigned msg = e->Msg;
    const long events = e->Events;
    if (e->Listening) {
        notify(Socket, msg, FD_ACCEPT, 0);
        return;
    }
    char byte = 0;
    const ssize_t n = FApi.recv(Socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    const int err = errno;
    if (n > 0) {
        if (events & FD_READ)
            notify(Socket, msg, FD_READ, 0);
        return;
    }
    if (n < 0 && (err == EAGAIN || err == EINTR)) {
        armRead(Socket, *e);
        return;
    }
    e->Ended = true;
    const std::int32_t error = n == 0 ? 0 : SocketErrorFromErrno(err, History(Socket));
    if (events & FD_CLOSE)
        notify(Socket, msg, FD_CLOSE, error);
}

void TSocketNoticeWindow::onWritable(int Socket, std::uint64_t Generation) {
    ++FActivations;
    TEntry* e = find(Socket, Generation);
    if (!e || !e->WriteArmed)
        return;
    e->WriteArmed = false;
    e->Write->setEnabled(false);
    const unsigned msg = e->Msg;
    const long events = e->Events;
    if (!e->Connecting) {
        if (events & FD_WRITE)
            notify(Socket, msg, FD_WRITE, 0);
        return;
    }
    e->Connecting = false;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (FApi.getsockopt(Socket, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
        soError = errno;
    if (soError != 0) {
        e->Ended = true;
        if (events & FD_CONNECT)
            notify(Socket, msg, FD_CONNECT, SocketErrorFromErrno(soError, shNeverConnected));
        return;
    }
    e->Connected = true;
    EnableNoDelay(FApi, Socket);
    armRead(Socket, *e);
    if (events & FD_CONNECT)
        notify(Socket, msg, FD_CONNECT, 0);
}

void TSocketNoticeWindow::notify(int Socket, unsigned Msg, long Event, std::int32_t Error) {
    // Last thing a slot does: the handler may close or re-register the socket.
    FWndProc(Msg, Socket, static_cast<std::uint32_t>(Event) | static_cast<std::uint32_t>(Error) << 16);
}

} // namespace dravane::net
