#pragma once
// TWsConnection: one TCP port's sockets and byte rings. It owns the socket it
// created (listening in the server role, connecting in the client role), the
// data socket once there is one, a raw input ring that the socket fills and
// the dispatcher empties (decoding telnet on the way out), and an encoded
// output ring that writes and negotiation replies fill and the socket empties.
//
// Dependencies run one way: the dispatcher uses the connection, the
// connection uses the socket wrapper below it. What the connection has to
// tell the dispatcher above goes through TWsConnectionEvents, which the
// dispatcher implements.
//
// Threading: UI thread only, like every socket notice.

#include "net/PeerAddress.h"
#include "net/TelnetCodec.h"

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dravane::net {

class TSocketWrapper;

enum TWsConnectionState : std::uint8_t { wcsInit, wcsConnected };

// Keepalive and user time-out on a connected TCP socket, so a path that went
// dead (pulled cable, crashed router) ends the connection with an error
// instead of leaving it half-open for ever. False when the system refused one.
bool EnableDeadPeerDetection(int Socket);
inline constexpr int DeadPeerUserTimeoutMs = 15000;
inline constexpr int DeadPeerKeepIdleS = 10;
inline constexpr int DeadPeerKeepIntervalS = 5;
inline constexpr int DeadPeerKeepCount = 3;

// The dispatcher a connection serves, as the connection and the device
// socket see it.
class TWsConnectionEvents {
public:
    // Carrier detect follows the connection state.
    virtual void CarrierChanged(bool On) = 0;
    // The peer admitted (server role), or no address when it left.
    virtual void PeerChanged(const TPeerAddress& Peer) = 0;
    // Bytes came or output room came back: dispatch now, not at the next tick.
    virtual void DispatchNow() = 0;
    // A socket notice for the port (wsn... codes or an error code); the port's answer.
    virtual std::intptr_t SocketNotice(int Event, std::intptr_t LParam) = 0;
    virtual void TelnetLogged(TTelnetEvent Event, std::uint8_t Data, const std::string& Terminal) = 0;

protected:
    ~TWsConnectionEvents() = default;
};

class TWsConnection : private TTelnetSink {
public:
    // Extra room in the output ring beyond the port's output size, for escapes.
    static constexpr int OutRingExtra = 4096;
    // Output ring room for negotiation replies beyond what data can take; a
    // peer that asks more while not reading waits until it reads.
    static constexpr int ReplyRoom = 1024;

    // CreateInit: a socket of Family; raises ESocketException when none can be had.
    TWsConnection(TSocketWrapper& Sockets, const std::string& Terminal, int OutSize, int InSize,
                  int Family = AF_INET);
    ~TWsConnection() override;
    TWsConnection(const TWsConnection&) = delete;
    TWsConnection& operator=(const TWsConnection&) = delete;

    // Set up by the dispatcher once its socket is bound and registered.
    void Attach(TWsConnectionEvents* Events, bool IsClient, bool IsTelnet);
    // On: every data socket admitted from now on gets dead-peer detection.
    void SetDeadPeerDetection(bool On) { FDeadPeerDetection = On; }

    // Receives into the input ring, then delivers at most Size decoded bytes.
    int ReadBuf(std::uint8_t* Buf, int Size);
    // A read notice: the socket has bytes again. After a short receive the
    // connection asks no more until one comes (each receive re-arms it).
    void ReadNoticed() { FDrained = false; }
    // Queues a whole block (encoded) and pushes what the socket takes. A block
    // that does not fit is not taken at all: the result is then 0.
    int WriteBuf(const std::uint8_t* Buf, int Size);
    int GetInChars();
    int GetOutChars();
    void FlushInBuffer();
    void FlushOutBuffer();
    void SetConnectionState(TWsConnectionState State);
    int Shutdown();
    // Sends what the output ring holds, as far as the socket takes it.
    void Push();

    // The data socket: Socket carries the peer from now on, with a clean
    // telnet decoder and nothing agreed with it yet. Peer: the address of an
    // accepted peer, if any. An accepted peer that follows another starts
    // with an empty output ring: what waits there was meant for the one
    // before (a controller's answer to a peer that was reset, say). Output
    // written before the first peer still goes to it.
    void AdmitPeer(int Socket, const TPeerAddress* Peer = nullptr);
    // The data socket is forgotten (not closed) and the state falls back to
    // wcsInit; returns it.
    int DropPeer();

    int CommSocket() const { return FCommSocket; }
    bool Connected() const { return FConnectionState == wcsConnected; }
    TWsConnectionState ConnectionState() const { return FConnectionState; }
    int InChars() const;
    int InSize() const { return FInSize; }
    bool IsClient() const { return FIsClient; }
    bool IsTelnet() const { return FIsTelnet; }
    int OutChars() const;
    // Every byte ever put into the output ring, encoded.
    std::uint64_t QueuedTotal() const { return FQueuedTotal; }
    int OutSize() const { return FOutSize; }
    int SocketHandle() const { return FSocketHandle; }
    TWsConnectionEvents* Events() const { return FEvents; }
    const TTelnetCodec& Codec() const { return FCodec; }

private:
    void receive();
    // Copies Len bytes into the output ring; false (and nothing copied) when they do not fit.
    bool queue(const std::uint8_t* Src, std::size_t Len);
    bool TelnetCanSend(std::size_t size) override;
    void TelnetSend(const std::uint8_t* data, std::size_t size) override;
    void TelnetLog(TTelnetEvent event, std::uint8_t data) override;

    TSocketWrapper& FSockets;
    int FSimBuf = 0;
    int FCommSocket = -1;
    TWsConnectionEvents* FEvents = nullptr;
    TWsConnectionState FConnectionState = wcsInit;
    std::vector<std::uint8_t> FInBuf;
    bool FInBufFull = false;
    bool FDrained = false; // the last receive emptied the socket
    int FInSize = 0;
    int FInStart = 0;
    int FInEnd = 0;
    bool FIsClient = false;
    bool FIsTelnet = false;
    bool FDeadPeerDetection = true;
    std::vector<std::uint8_t> FOutBuf;
    bool FOutBufFull = false;
    int FOutSize = 0;
    int FPortOutSize = 0; // the port's output size: at most this many source bytes are admitted
    int FOutStart = 0;
    int FOutEnd = 0;
    std::uint64_t FQueuedTotal = 0;
    int FSocketHandle = -1;
    bool FServed = false; // a peer has been accepted since the socket was made
    TTelnetCodec FCodec;
    std::vector<std::uint8_t> FEncoded; // scratch for one encoded block
};

} // namespace dravane::net
