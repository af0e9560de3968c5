#pragma once
// TServedPeer: a TCP peer a server port handed on because it serves one
// itself. It owns the connected socket and speaks to it as the port speaks to
// its own peer: telnet byte handling both ways, dead-peer detection, and a
// bounded output queue, so a peer that stops reading is let go rather than
// held in memory without end.
//
// Threading: UI thread only; the socket is watched by notifiers of the
// thread's event loop.

#include "net/PeerAddress.h"
#include "net/TelnetCodec.h"

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class QSocketNotifier;

namespace dravane::net {

class TServedPeer : public QObject, private TTelnetSink {
public:
    // Encoded bytes waiting for the socket beyond which the peer counts as
    // not reading.
    static constexpr std::size_t MaxQueued = 64 * 1024;
    static constexpr std::size_t ReadChunk = 4096;
    static constexpr int LingerMs = 2000;

    // Bytes: decoded bytes as they come. Closed: the peer left or failed
    // (Why: "closed by the peer", the system's error text); called once,
    // after which the socket is closed. Neither is called from inside Write
    // or Close.
    using TBytesEvent = std::function<void(std::string_view Bytes)>;
    using TClosedEvent = std::function<void(const std::string& Why)>;

    // Takes Socket (connected, from accept) over: it is closed when this goes.
    TServedPeer(int Socket, const TPeerAddress& Address, std::uint16_t PortNet, bool Telnet,
                QObject* parent = nullptr);
    ~TServedPeer() override;
    TServedPeer(const TServedPeer&) = delete;
    TServedPeer& operator=(const TServedPeer&) = delete;

    void SetOnBytes(TBytesEvent E) { FOnBytes = std::move(E); }
    void SetOnClosed(TClosedEvent E) { FOnClosed = std::move(E); }

    // Queues Bytes (encoded) and sends what the socket takes. False, with
    // nothing queued, once the peer is closed or when its queue would grow
    // beyond MaxQueued.
    bool Write(std::string_view Bytes);
    // Sends what is queued (a refusal line, say), ends its side, and closes
    // once the peer has closed too or after LingerMs; what the peer sends
    // meanwhile is read and dropped, so the line is not lost to a reset.
    // Closed is not called.
    void CloseAfterSending();
    // Closes at once; Closed is not called.
    void Close();

    bool IsOpen() const { return FSocket >= 0 && !FClosing; }
    // Closed, whether by either side or after the linger.
    bool Finished() const { return FSocket < 0; }
    const TPeerAddress& Address() const { return FAddress; }
    // "127.0.0.1 port 50312".
    std::string Text() const;
    std::size_t Queued() const { return FOut.size() - FOutStart; }

private:
    void readable();
    void writable();
    // Sends from the queue; false when the socket failed (and Why says how).
    bool flush(std::string& Why);
    void fail(const std::string& Why);
    void finishSending();
    bool TelnetCanSend(std::size_t size) override;
    void TelnetSend(const std::uint8_t* data, std::size_t size) override;

    int FSocket;
    TPeerAddress FAddress;
    std::uint16_t FPortNet;
    bool FTelnet;
    bool FClosing = false;
    TTelnetCodec FCodec;
    std::string FOut;
    std::size_t FOutStart = 0;
    QSocketNotifier* FRead;
    QSocketNotifier* FWrite;
    TBytesEvent FOnBytes;
    TClosedEvent FOnClosed;
};

} // namespace dravane::net
