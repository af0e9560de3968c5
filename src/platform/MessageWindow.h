#pragma once
// The hidden message window: an object on the UI thread whose handler
// (Msg, WParam, LParam) -> result receives messages posted or sent from any
// thread.
//
// Messages from other threads travel through a queue of our own (a mutex, a
// ring of entries and an eventfd watched by a QSocketNotifier on the UI
// thread), not through Qt's event posting, so ThreadSanitizer sees the
// hand-off and a message costs no allocation once the ring has grown to the
// traffic.
//
// Threading contract:
// - The window is created and destroyed on the UI thread (the thread whose Qt
//   event loop delivers its messages); the handler always runs there.
// - Post and Send may be called from any thread while the window exists.
//   A TMessageTarget obtained from Target() may be kept and used from any
//   thread even after the window is gone: its calls then fail cleanly.
// - Messages run in the order they were queued, one at a time, on the UI
//   thread; a handler that pumps the event loop may see later ones nested.
// - Send from the UI thread calls the handler directly. Send from another
//   thread queues the call and waits: if Timeout passes before the handler
//   has started, the call is withdrawn and will never run (srTimedOut); once
//   the handler has started, the sender waits for it to finish however long
//   that takes, because the caller must not move on while the handler works
//   on its data.
// - Destroying the window (also from inside its own handler) drops every
//   message still queued; a sender waiting on a dropped message returns
//   srCancelled. The handler never runs after the window is destroyed.
// - An exception leaving the handler goes to the application's exception
//   display; the message's result is then 0.

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace dravane::platform {

using TMessageHandler =
    std::function<std::intptr_t(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam)>;

enum TSendResult : std::uint8_t {
    srDone,      // the handler ran; Result holds its answer
    srTimedOut,  // the time-out passed before the handler started: it will never run
    srCancelled, // the window was destroyed first: the handler did not run
};

class TMessageQueue;

// A shareable address of a window.
class TMessageTarget {
public:
    TMessageTarget() = default;

    // Queues the message and returns at once; false when the window is gone.
    bool Post(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) const;

    // See the threading contract above. Result is set only with srDone.
    TSendResult Send(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam, int TimeoutMs,
                     std::intptr_t* Result = nullptr) const;

    explicit operator bool() const { return static_cast<bool>(FQueue); }

private:
    friend class TMessageWindow;
    explicit TMessageTarget(std::shared_ptr<TMessageQueue> Queue) : FQueue(std::move(Queue)) {}
    std::shared_ptr<TMessageQueue> FQueue;
};

class TMessageWindow {
public:
    explicit TMessageWindow(TMessageHandler Handler);
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;

    bool Post(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) const {
        return FTarget.Post(Msg, WParam, LParam);
    }
    TSendResult Send(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam, int TimeoutMs,
                     std::intptr_t* Result = nullptr) const {
        return FTarget.Send(Msg, WParam, LParam, TimeoutMs, Result);
    }

    const TMessageTarget& Target() const { return FTarget; }

    // Test observation points, called on the sending thread without locks held.
    enum TProbe : std::uint8_t {
        prQueued,  // a message entered the queue
        prSendLate // a sender's time-out passed while its handler ran
    };
    void SetProbe(std::function<void(TProbe)> Probe);

private:
    TMessageTarget FTarget;
    std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace dravane::platform
