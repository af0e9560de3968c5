#pragma once
// The socket wrapper's notice window: turns readiness of registered sockets
// into the six notices (read, write, accept, connect, close, error with code)
// on the UI thread, as messages to the wrapper's window procedure.
//
// Each registered socket has one-shot QSocketNotifiers, re-armed only when a
// call shows there may be something new to say: read after a receive, accept
// after an accept, write only after a send that would block or while
// connecting. A
// peer that sends and is never read therefore gives one read notice, not a
// busy loop. Connect completion is "writable" plus SO_ERROR; a peer's close is
// a zero-byte MSG_PEEK; a reset is the close notice carrying the mapped error.
// A socket that saw its close or a failed connect gets no further notices.
//
// An accept that fails for want of descriptors or memory leaves the peer
// waiting, so the listening socket stays readable: it is retried on the next
// AcceptRetryMs tick, not at once, and only the first failure of a streak
// becomes a notice.
//
// Threading: UI thread only, like every QObject here.

#include "net/SocketErrors.h"
#include "net/WsLoader.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>

class QSocketNotifier;
class QTimer;

namespace dravane::net {

// Sets TCP_NODELAY: the relay writes byte by byte, and Nagle plus delayed
// acknowledgement would add tens of milliseconds to every reply.
void EnableNoDelay(const TWsApi& Api, int Socket);

class TSocketNoticeWindow : public QObject, public TNoticeTarget {
public:
    // The window procedure that receives each notice: (Msg, Socket, LParam),
    // LParam = event | error << 16.
    using TWndProc = std::function<void(unsigned Msg, int Socket, std::uint32_t LParam)>;

    static constexpr int AcceptRetryMs = 50;

    TSocketNoticeWindow(const TWsApi& Api, TWndProc WndProc);
    ~TSocketNoticeWindow() override;

    // WSAAsyncSelect: notices of Events for Socket, as message Msg; puts the
    // socket in non-blocking mode. Events 0 stops the notices. -1 with errno
    // set when the socket cannot be made non-blocking.
    int Select(int Socket, unsigned Msg, long Events) override;

    // What the wrapper's calls mean for the notices.
    void Listening(int Socket);
    void ConnectStarted(int Socket); // connect returned 0 or would-block: the write notifier finishes it
    void ConnectFailed(int Socket);
    void Received(int Socket);
    void AcceptCalled(int Listening, int Accepted);
    // A failed accept: true when it is to be noticed (would-block, or the
    // first failure since the last accept that did not fail).
    bool AcceptFailed(int Listening, bool WouldBlock);
    // Re-arms every listening socket backing off after a failed accept.
    void RetryAccepts();
    void SendBlocked(int Socket);
    void ShutDown(int Socket, int How);
    // Drops the socket's notifiers; called before its descriptor is closed, so
    // a descriptor number reused later cannot inherit them.
    void Forget(int Socket);

    TSocketHistory History(int Socket) const;
    bool Registered(int Socket) const { return FEntries.count(Socket) != 0; }
    // Notifier firings so far, whether or not they became notices.
    std::uint64_t Activations() const { return FActivations; }

private:
    struct TEntry {
        unsigned Msg = 0;
        long Events = 0;
        std::uint64_t Generation = 0;
        QSocketNotifier* Read = nullptr;
        QSocketNotifier* Write = nullptr;
        bool ReadArmed = false;
        bool WriteArmed = false;
        bool Listening = false;
        bool Connecting = false;
        bool Connected = false;
        bool ShutWrite = false;
        bool Ended = false;         // close or failed connect noticed: nothing more to say
        bool AcceptFailing = false; // the last accept failed other than would-block
    };

    TEntry* find(int Socket);
    TEntry* find(int Socket, std::uint64_t Generation);
    QSocketNotifier* makeNotifier(int Socket, const TEntry& E, bool Write);
    void armRead(int Socket, TEntry& E);
    void armWrite(int Socket, TEntry& E);
    void dropNotifiers(TEntry& E);
    void onReadable(int Socket, std::uint64_t Generation);
    void onWritable(int Socket, std::uint64_t Generation);
    void notify(int Socket, unsigned Msg, long Event, std::int32_t Error);

    const TWsApi& FApi;
    TWndProc FWndProc;
    std::map<int, TEntry> FEntries;
    std::uint64_t FNextGeneration = 1;
    std::uint64_t FActivations = 0;
    QSocketNotifier* FFiring = nullptr; // the notifier whose signal is being handled
    QTimer* FAcceptRetry;
};

} // namespace dravane::net
