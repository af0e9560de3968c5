#include "platform/MessageWindow.h"

#include "platform/AppException.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace dravane::platform {

namespace {

enum TSendState : std::uint8_t { ssQueued, ssRunning, ssDone, ssCancelled };

// Lives on the sender's stack for the duration of a cross-thread Send.
struct TSendRecord {
    TSendState State = ssQueued; // TMessageQueue::FLock
    std::intptr_t Result = 0;    // TMessageQueue::FLock
};

struct TEntry {
    std::uint32_t Msg;
    std::uintptr_t WParam;
    std::intptr_t LParam;
    TSendRecord* Send; // null for a post
    bool Withdrawn;    // a timed-out send: skipped when its turn comes
};

} // namespace

// The state shared by the window, its notifier and every sender. It outlives
// the window while anyone still holds it, so a late sender or a notifier
// deleted in the middle of its own signal finds it intact.
class TMessageQueue {
public:
    TMessageQueue(TMessageHandler Handler)
        : FHandler(std::move(Handler)), FUiThread(std::this_thread::get_id()), FRing(64) {
        FEventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (FEventFd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~TMessageQueue() { ::close(FEventFd); }

    int EventFd() const { return FEventFd; }

    bool Post(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) {
        bool wake = false;
        {
            std::lock_guard lock(FLock);
            if (FClosed)
                return false;
            push({Msg, WParam, LParam, nullptr, false});
            wake = armWake();
        }
        afterQueued(wake);
        return true;
    }

    TSendResult Send(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam, int TimeoutMs,
                     std::intptr_t* Result) {
        if (std::this_thread::get_id() == FUiThread) {
            {
                std::lock_guard lock(FLock);
                if (FClosed)
                    return srCancelled;
            }
            const std::intptr_t r = callHandler(Msg, WParam, LParam);
            if (Result)
                *Result = r;
            return srDone;
        }

        TSendRecord record;
        bool wake = false;
        {
            std::lock_guard lock(FLock);
            if (FClosed)
                return srCancelled;
            push({Msg, WParam, LParam, &record, false});
            wake = armWake();
        }
        afterQueued(wake);

        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
        std::unique_lock lock(FLock);
        const auto finished = [&] { return record.State == ssDone || record.State == ssCancelled; };
        if (!FSendDone.wait_until(lock, deadline, finished)) {
            if (record.State == ssQueued) {
                withdraw(&record);
                return srTimedOut;
            }
            // The handler has started: the caller must not move on while it runs.
            lock.unlock();
            if (Probe)
                Probe(TMessageWindow::prSendLate);
            lock.lock();
            FSendDone.wait(lock, finished);
        }
        if (record.State == ssCancelled)
            return srCancelled;
        if (Result)
            *Result = record.Result;
        return srDone;
    }

    // UI thread: runs every queued message. `self` keeps the queue alive even
    // if a handler destroys the window.
    static void Dispatch(const std::shared_ptr<TMessageQueue>& self) {
        std::uint64_t count = 0;
        while (::read(self->FEventFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::unique_lock lock(self->FLock);
        self->FWakePending = false;
        while (!self->FClosed && self->FCount > 0) {
            TEntry entry = self->pop();
            if (entry.Withdrawn)
                continue;
            if (entry.Send)
                entry.Send->State = ssRunning;
            lock.unlock();
            const std::intptr_t r = self->callHandler(entry.Msg, entry.WParam, entry.LParam);
            lock.lock();
            if (entry.Send) {
                entry.Send->Result = r;
                entry.Send->State = ssDone;
                // The record may be gone once the lock is free; the sender
                // wakes to the state, not to the notification.
                lock.unlock();
                self->FSendDone.notify_all();
                lock.lock();
            }
        }
    }

    // UI thread: the window is going; nothing queued will run.
    void Close() {
        std::lock_guard lock(FLock);
        FClosed = true;
        while (FCount > 0) {
            TEntry entry = pop();
            if (entry.Send && !entry.Withdrawn)
                entry.Send->State = ssCancelled;
        }
        FSendDone.notify_all();
    }

    std::function<void(TMessageWindow::TProbe)> Probe; // set before other threads use the window

private:
    std::intptr_t callHandler(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) {
        std::intptr_t r = 0;
        Guarded([&] { r = FHandler(Msg, WParam, LParam); });
        return r;
    }

    // FLock held. The ring doubles when full and never shrinks, so a steady
    // flow of messages allocates nothing.
    void push(const TEntry& e) {
        if (FCount == FRing.size()) {
            std::vector<TEntry> bigger(FRing.size() * 2);
            for (std::size_t i = 0; i < FCount; ++i)
                bigger[i] = FRing[(FHead + i) % FRing.size()];
            FRing.swap(bigger);
            FHead = 0;
        }
        FRing[(FHead + FCount) % FRing.size()] = e;
        ++FCount;
    }

    TEntry pop() {
        TEntry e = FRing[FHead];
        FHead = (FHead + 1) % FRing.size();
        --FCount;
        return e;
    }

    // FLock held. The entry stays in the ring (removing from the middle would
    // reorder nothing but cost a shift) and is skipped when reached.
    void withdraw(TSendRecord* record) {
        for (std::size_t i = 0; i < FCount; ++i) {
            TEntry& e = FRing[(FHead + i) % FRing.size()];
            if (e.Send == record) {
                e.Send = nullptr;
                e.Withdrawn = true;
                return;
            }
        }
    }

    // FLock held. One eventfd write per batch: the UI thread clears the flag
    // before it drains, so a message queued after that writes again.
    bool armWake() {
        if (FWakePending)
            return false;
        FWakePending = true;
        return true;
    }

    void afterQueued(bool wake) {
        if (wake) {
            const std::uint64_t one = 1;
            while (::write(FEventFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
        if (Probe)
            Probe(TMessageWindow::prQueued);
    }

    const TMessageHandler FHandler;
    const std::thread::id FUiThread;
    int FEventFd = -1;

    std::mutex FLock;
    std::condition_variable FSendDone; // FLock
    std::vector<TEntry> FRing;         // FLock
    std::size_t FHead = 0;             // FLock
    std::size_t FCount = 0;            // FLock
    bool FWakePending = false;         // FLock
    bool FClosed = false;              // FLock
};

bool TMessageTarget::Post(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam) const {
    return FQueue && FQueue->Post(Msg, WParam, LParam);
}

TSendResult TMessageTarget::Send(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam,
                                 int TimeoutMs, std::intptr_t* Result) const {
    if (!FQueue)
        return srCancelled;
    return FQueue->Send(Msg, WParam, LParam, TimeoutMs, Result);
}

TMessageWindow::TMessageWindow(TMessageHandler Handler)
    : FTarget(std::make_shared<TMessageQueue>(std::move(Handler))) {
    FNotifier = std::make_unique<QSocketNotifier>(FTarget.FQueue->EventFd(), QSocketNotifier::Read);
    // The connection holds the queue, so it stays valid while the slot runs
    // even when the handler deletes this window and with it the notifier.
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated,
                     [queue = FTarget.FQueue] { TMessageQueue::Dispatch(queue); });
}

TMessageWindow::~TMessageWindow() {
    FTarget.FQueue->Close();
    FNotifier.reset();
}

void TMessageWindow::SetProbe(std::function<void(TProbe)> Probe) {
    FTarget.FQueue->Probe = std::move(Probe);
}

} // namespace dravane::platform
