#pragma once
// TWsConnection: one TCP port's sockets and byte rings. It owns the socket it
// created (listening in the server role, connecting in the client role), the
// data socket once there is one, a raw input ring that the socket fills and
// the dispatcher empties (decoding telnet on the way out), and an encoded
// output ring that writes fill and the socket empties.
//
// Threading: UI thread only, like every socket notice. The device socket's
// list lock guards only its list of connections and the look-up cache.

#include "net/TelnetCodec.h"

#include <cstdint>
#include <vector>

namespace dravane::net {

class TDeviceSocket;
class TWinsockDispatcher;

enum TWsConnectionState : std::uint8_t { wcsInit, wcsConnected };

class TWsConnection : private TTelnetSink {
public:
    // Extra room in the output ring beyond the port's output size, for escapes.
    static constexpr int OutRingExtra = 4096;

    // CreateInit: raises ESocketException when no socket can be had.
    TWsConnection(TDeviceSocket& Owner, int OutSize, int InSize);
    ~TWsConnection() override;
    TWsConnection(const TWsConnection&) = delete;
    TWsConnection& operator=(const TWsConnection&) = delete;

    // Receives into the input ring, then delivers at most Size decoded bytes.
    int ReadBuf(std::uint8_t* Buf, int Size);
    // Queues a whole block (encoded) and pushes what the socket takes. A block
    // that does not fit is not taken at all: the result is then 0.
    int WriteBuf(const std::uint8_t* Buf, int Size);
    int GetInChars();
    int GetOutChars();
    void FlushInBuffer();
    void FlushOutBuffer();
    void SetConnectionState(TWsConnectionState State);
    int Shutdown();
    // A newly admitted peer starts with a clean telnet decoder.
    void PeerAdmitted();

    void HandleCommand(std::uint8_t Command, std::uint8_t Option) {
        FCodec.HandleCommand(Command, Option, *this);
    }
    void SendDo(std::uint8_t Option) { FCodec.SendDo(Option, *this); }
    void SendDont(std::uint8_t Option) { FCodec.SendDont(Option, *this); }
    void SendWill(std::uint8_t Option) { FCodec.SendWill(Option, *this); }
    void SendWont(std::uint8_t Option) { FCodec.SendWont(Option, *this); }
    void SendTerminal() { FCodec.SendTerminal(*this); }

    int CommSocket() const { return FCommSocket; }
    bool Connected() const { return FConnectionState == wcsConnected; }
    TWsConnectionState ConnectionState() const { return FConnectionState; }
    int InChars() const;
    int InSize() const { return FInSize; }
    bool IsClient() const { return FIsClient; }
    bool IsTelnet() const { return FIsTelnet; }
    int OutChars() const;
    int OutSize() const { return FOutSize; }
    int SocketHandle() const { return FSocketHandle; }
    TWinsockDispatcher* Dispatcher() const { return FDispatcher; }
    const TTelnetCodec& Codec() const { return FCodec; }

private:
    friend class TDeviceSocket;
    friend class TWinsockDispatcher;

    void receive();
    void push();
    void TelnetSend(const std::uint8_t* data, std::size_t size) override;
    void TelnetLog(TTelnetEvent event, std::uint8_t data) override;

    TDeviceSocket& FOwner;
    int FSimBuf = 0;
    int FCommSocket = -1;
    TWinsockDispatcher* FDispatcher = nullptr;
    TWsConnectionState FConnectionState = wcsInit;
    std::vector<std::uint8_t> FInBuf;
    bool FInBufFull = false;
    int FInSize = 0;
    int FInStart = 0;
    int FInEnd = 0;
    bool FIsClient = false;
    bool FIsTelnet = false;
    std::vector<std::uint8_t> FOutBuf;
    bool FOutBufFull = false;
    int FOutSize = 0;
    int FOutStart = 0;
    int FOutEnd = 0;
    int FSocketHandle = -1;
    TTelnetCodec FCodec;
    std::vector<std::uint8_t> FEncoded; // scratch for one encoded block
};

} // namespace dravane::net
