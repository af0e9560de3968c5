#include "net/ServedPeer.h"

#include "net/WsConnection.h"

#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace dravane::net {

TServedPeer::TServedPeer(int Socket, const TPeerAddress& Address, std::uint16_t PortNet, bool Telnet,
                         QObject* parent)
    : QObject(parent), FSocket(Socket), FAddress(Address), FPortNet(PortNet), FTelnet(Telnet),
      FRead(new QSocketNotifier(static_cast<qintptr>(Socket), QSocketNotifier::Read, this)),
      FWrite(new QSocketNotifier(static_cast<qintptr>(Socket), QSocketNotifier::Write, this)) {
    EnableDeadPeerDetection(Socket);
    ::fcntl(Socket, F_SETFL, ::fcntl(Socket, F_GETFL) | O_NONBLOCK);
    FWrite->setEnabled(false);
    connect(FRead, &QSocketNotifier::activated, this, [this] { readable(); });
    connect(FWrite, &QSocketNotifier::activated, this, [this] { writable(); });
}

TServedPeer::~TServedPeer() {
    Close();
}

std::string TServedPeer::Text() const {
    return FAddress.Text() + " port " + std::to_string(ntohs(FPortNet));
}

void TServedPeer::Close() {
    if (FSocket < 0)
        return;
    FRead->setEnabled(false);
    FWrite->setEnabled(false);
    ::close(FSocket);
    FSocket = -1;
}

void TServedPeer::CloseAfterSending() {
    if (FSocket < 0 || FClosing)
        return;
    FClosing = true;
    std::string why;
    if (!flush(why))
        Close();
}

void TServedPeer::finishSending() {
    ::shutdown(FSocket, SHUT_WR);
    QTimer::singleShot(LingerMs, this, [this] { Close(); });
}

bool TServedPeer::Write(std::string_view Bytes) {
    if (!IsOpen())
        return false;
    const auto* src = reinterpret_cast<const std::uint8_t*>(Bytes.data());
    std::string encoded;
    if (!FTelnet || FCodec.EncodesVerbatim(src, Bytes.size())) {
        encoded.assign(Bytes);
    } else {
        encoded.resize(TTelnetCodec::MaxEncodedSize(Bytes.size()));
        std::size_t written = 0;
        FCodec.Encode(src, Bytes.size(), reinterpret_cast<std::uint8_t*>(encoded.data()), encoded.size(),
                      written);
        encoded.resize(written);
    }
    if (Queued() + encoded.size() > MaxQueued)
        return false;
    FOut += encoded;
    std::string why;
    if (!flush(why)) {
        // Told from the event loop, never from inside the writer's call.
        QMetaObject::invokeMethod(
            this, [this, why] { fail(why); }, Qt::QueuedConnection);
    }
    return true;
}

bool TServedPeer::flush(std::string& Why) {
    while (Queued() > 0) {
        const ssize_t n = ::send(FSocket, FOut.data() + FOutStart, Queued(), MSG_NOSIGNAL);
        if (n > 0) {
            FOutStart += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            FWrite->setEnabled(true);
            return true;
        }
        Why = std::strerror(errno);
        return false;
    }
    FOut.clear();
    FOutStart = 0;
    FWrite->setEnabled(false);
    if (FClosing)
        finishSending();
    return true;
}

void TServedPeer::writable() {
    if (FSocket < 0)
        return;
    std::string why;
    if (!flush(why)) {
        if (FClosing)
            Close();
        else
            fail(why);
        return;
    }
}

void TServedPeer::readable() {
    if (FSocket < 0)
        return;
    std::uint8_t in[ReadChunk];
    const ssize_t n = ::recv(FSocket, in, sizeof in, 0);
    if (FClosing) {
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            Close();
        return;
    }
    if (n == 0) {
        fail("closed by the peer");
        return;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        fail(std::strerror(errno));
        return;
    }
    std::string out;
    if (!FTelnet) {
        out.assign(reinterpret_cast<const char*>(in), static_cast<std::size_t>(n));
    } else {
        out.resize(static_cast<std::size_t>(n));
        std::size_t at = 0;
        std::size_t produced = 0;
        // A reply that does not fit now is dropped with the rest of what
        // needs one: a peer that floods negotiation while not reading gets
        // no more of our attention than the queue bound allows.
        while (at < static_cast<std::size_t>(n)) {
            const TTelnetDecodeResult r = FCodec.Decode(
                in + at, static_cast<std::size_t>(n) - at,
                reinterpret_cast<std::uint8_t*>(out.data()) + produced, out.size() - produced, *this);
            at += r.Consumed;
            produced += r.Produced;
            if (r.Consumed == 0)
                break;
        }
        out.resize(produced);
    }
    if (!out.empty() && FOnBytes)
        FOnBytes(out);
}

void TServedPeer::fail(const std::string& Why) {
    if (FSocket < 0)
        return;
    Close();
    if (FOnClosed)
        FOnClosed(Why);
}

bool TServedPeer::TelnetCanSend(std::size_t size) {
    return Queued() + size <= MaxQueued;
}

void TServedPeer::TelnetSend(const std::uint8_t* data, std::size_t size) {
    FOut.append(reinterpret_cast<const char*>(data), size);
    std::string why;
    if (!flush(why))
        QMetaObject::invokeMethod(
            this, [this, why] { fail(why); }, Qt::QueuedConnection);
}

} // namespace dravane::net
