#include "net/WsConnection.h"

#include "net/SocketWrapper.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace dravane::net {

bool EnableDeadPeerDetection(int Socket) {
    const int on = 1;
    const int idle = DeadPeerKeepIdleS;
    const int interval = DeadPeerKeepIntervalS;
    const int count = DeadPeerKeepCount;
    const unsigned userTimeout = DeadPeerUserTimeoutMs;
    bool ok = ::setsockopt(Socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
    ok = ::setsockopt(Socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 && ok;
    ok = ::setsockopt(Socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 && ok;
    ok = ::setsockopt(Socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
    ok = ::setsockopt(Socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) == 0 && ok;
    return ok;
}

TWsConnection::TWsConnection(TSocketWrapper& Sockets, const std::string& Terminal, int OutSize, int InSize,
                             int Family)
    : FSockets(Sockets), FCodec(Terminal) {
    FSocketHandle = FSockets.CreateSocket(Family);
    FInSize = std::max(InSize, 1);
    // Every byte of the largest pending output the dispatcher admits may be
    // doubled by escaping; a ring of OutSize + 4096 holds that only up to an
    // OutSize of 4096, so a larger port gets twice its size. Negotiation
    // replies get room of their own on top.
    const int out = std::max(OutSize, 1);
    FPortOutSize = out;
    FOutSize = std::max(out + OutRingExtra, static_cast<int>(TTelnetCodec::MaxEncodedSize(out))) +
               std::max(ReplyRoom, static_cast<int>(FCodec.MaxReplySize()));
    FInBuf.assign(static_cast<std::size_t>(FInSize), 0);
    FOutBuf.assign(static_cast<std::size_t>(FOutSize), 0);
}

TWsConnection::~TWsConnection() {
    if (FSocketHandle >= 0 || FCommSocket >= 0)
        Shutdown();
}

void TWsConnection::Attach(TWsConnectionEvents* Events, bool IsClient, bool IsTelnet) {
    FEvents = Events;
    FIsClient = IsClient;
    FIsTelnet = IsTelnet;
}

int TWsConnection::InChars() const {
    return FInBufFull ? FInSize : (FInEnd - FInStart + FInSize) % FInSize;
}

int TWsConnection::OutChars() const {
    return FOutBufFull ? FOutSize : (FOutEnd - FOutStart + FOutSize) % FOutSize;
}

void TWsConnection::receive() {
    // Drained: another receive before the next read notice would only fail
    // with EAGAIN, a system call on every relayed line's way.
    if (FCommSocket < 0 || FInBufFull || FDrained)
        return;
    const bool wraps = FInStart <= FInEnd; // free space runs to the ring end (and on from its start)
    const int first = wraps ? FInSize - FInEnd : FInStart - FInEnd;
    const int n = std::max(FSockets.ReadSocket(FCommSocket, &FInBuf[FInEnd], first, 0), 0);
    FInEnd = (FInEnd + n) % FInSize;
    FDrained = n < first;
    // An error notice may have closed the data socket meanwhile.
    if (n == first && wraps && FInStart > 0 && FCommSocket >= 0) {
        const int m = std::max(FSockets.ReadSocket(FCommSocket, &FInBuf[0], FInStart, 0), 0);
        FInEnd = m;
        FDrained = m < FInStart;
        if (m > 0 && FInEnd == FInStart)
            FInBufFull = true;
    } else if (n > 0 && FInEnd == FInStart) {
        FInBufFull = true;
    }
}

int TWsConnection::ReadBuf(std::uint8_t* Buf, int Size) {
    if (Connected())
        receive();
    if (Size <= 0)
        return 0;
    // Bytes left from a peer that has gone are still delivered: they were
    // received, and the next peer must not see them as its own.
    int produced = 0;
    while (produced < Size && InChars() > 0) {
        const int segEnd = FInStart < FInEnd ? FInEnd : FInSize;
        const int segLen = segEnd - FInStart;
        std::size_t consumed;
        if (FIsTelnet) {
            const TTelnetDecodeResult r =
                FCodec.Decode(&FInBuf[FInStart], static_cast<std::size_t>(segLen), Buf + produced,
                              static_cast<std::size_t>(Size - produced), *this);
            consumed = r.Consumed;
            produced += static_cast<int>(r.Produced);
        } else {
            const int n = std::min(segLen, Size - produced);
            std::memcpy(Buf + produced, &FInBuf[FInStart], static_cast<std::size_t>(n));
            consumed = static_cast<std::size_t>(n);
            produced += n;
        }
        if (consumed == 0)
            break;
        FInStart = (FInStart + static_cast<int>(consumed)) % FInSize;
        FInBufFull = false;
    }
    return produced;
}

int TWsConnection::GetInChars() {
    if (FInBufFull)
        return FInSize;
    if (Connected())
        receive();
    return InChars();
}

int TWsConnection::WriteBuf(const std::uint8_t* Buf, int Size) {
    FSimBuf += std::max(Size, 0);
    int taken = 0;
    if (Size > 0) {
        const std::uint8_t* src = Buf;
        std::size_t len = static_cast<std::size_t>(Size);
        if (FIsTelnet && !FCodec.EncodesVerbatim(Buf, len)) {
            FEncoded.resize(TTelnetCodec::MaxEncodedSize(len));
            std::size_t written = 0;
            FCodec.Encode(Buf, len, FEncoded.data(), FEncoded.size(), written);
            src = FEncoded.data();
            len = written;
        }
        // All or nothing: a block cut short would be reported as written.
        if (queue(src, len))
            taken = Size;
        else
            FSimBuf -= Size;
    }
    Push();
    return taken;
}

bool TWsConnection::queue(const std::uint8_t* Src, std::size_t Len) {
    if (Len > static_cast<std::size_t>(FOutSize - OutChars()))
        return false;
    const std::size_t first = std::min(Len, static_cast<std::size_t>(FOutSize - FOutEnd));
    std::memcpy(&FOutBuf[FOutEnd], Src, first);
    std::memcpy(FOutBuf.data(), Src + first, Len - first);
    FOutEnd = static_cast<int>((static_cast<std::size_t>(FOutEnd) + Len) % FOutBuf.size());
    if (Len > 0 && FOutEnd == FOutStart)
        FOutBufFull = true;
    FQueuedTotal += Len;
    return true;
}

void TWsConnection::Push() {
    // No data socket yet: the bytes wait for the next peer (sending on -1
    // would only raise a spurious error notice).
    while (OutChars() > 0 && FCommSocket >= 0) {
        const int segEnd = FOutStart < FOutEnd ? FOutEnd : FOutSize;
        const int len = segEnd - FOutStart;
        const int r = FSockets.WriteSocket(FCommSocket, &FOutBuf[FOutStart], len, 0);
        if (r <= 0)
            return;
        FOutStart = (FOutStart + r) % FOutSize;
        FOutBufFull = false;
        if (r < len)
            return;
    }
}

int TWsConnection::GetOutChars() {
    if (Connected()) {
        Push();
        if (OutChars() == 0)
            FSimBuf = 0;
    }
    return FSimBuf;
}

void TWsConnection::FlushInBuffer() {
    FInStart = FInEnd = 0;
    FInBufFull = false;
}

void TWsConnection::FlushOutBuffer() {
    FOutStart = FOutEnd = 0;
    FOutBufFull = false;
    FSimBuf = 0; // nothing is pending any more, connected or not
}

void TWsConnection::SetConnectionState(TWsConnectionState State) {
    if (State == FConnectionState)
        return;
    FConnectionState = State;
    if (FEvents)
        FEvents->CarrierChanged(State == wcsConnected);
}

void TWsConnection::AdmitPeer(int Socket, const TPeerAddress* Peer) {
    FCommSocket = Socket;
    FDrained = false;
    FCodec.ResetPeer();
    if (FDeadPeerDetection && Socket >= 0)
        EnableDeadPeerDetection(Socket);
    if (Peer) {
        if (FServed)
            FlushOutBuffer();
        FServed = true;
    }
    if (FEvents && Peer)
        FEvents->PeerChanged(*Peer);
}

int TWsConnection::DropPeer() {
    const int peer = FCommSocket;
    FCommSocket = -1;
    SetConnectionState(wcsInit);
    if (FEvents)
        FEvents->PeerChanged(TPeerAddress{});
    return peer;
}

int TWsConnection::Shutdown() {
    const int comm = FCommSocket;
    const int own = FSocketHandle;
    FCommSocket = -1;
    FSocketHandle = -1;
    if (comm >= 0 && comm != own)
        FSockets.CloseSocket(comm);
    if (own >= 0)
        FSockets.CloseSocket(own);
    return 0;
}

// Replies share the output ring with the data, behind what was written
// before them. They may use only the room that writes the dispatcher has
// admitted, or may still admit, cannot need: escaped, those take up to twice
// their size.
bool TWsConnection::TelnetCanSend(std::size_t size) {
    const int dataRoom = 2 * std::max(FPortOutSize - FSimBuf, 0);
    return OutChars() + static_cast<int>(size) + dataRoom <= FOutSize;
}

void TWsConnection::TelnetSend(const std::uint8_t* data, std::size_t size) {
    queue(data, size);
    Push();
}

void TWsConnection::TelnetLog(TTelnetEvent event, std::uint8_t data) {
    if (FEvents)
        FEvents->TelnetLogged(event, data, FCodec.Terminal());
}

} // namespace dravane::net
