#pragma once
// A scriptable device layer for the dispatcher: tests queue received bytes
// and device events, run dispatch cycles one at a time (or on a real
// dispatcher thread), look at what was written and programmed, and make
// device calls fail on demand. Plus a controllable millisecond clock.

#include "serial/BaseDispatcher.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dravane::test {

class TManualClock : public platform::TMsClock {
public:
    std::uint32_t NowMs() const override { return FNow.load(); }
    // Sleeping passes controlled time at once and is recorded.
    void SleepMs(std::uint32_t ms) const override {
        Slept.fetch_add(ms);
        FNow.fetch_add(ms);
    }
    void Set(std::uint32_t ms) { FNow = ms; }
    void Advance(std::uint32_t ms) { FNow.fetch_add(ms); }
    mutable std::atomic<std::uint64_t> Slept{0};

private:
    mutable std::atomic<std::uint32_t> FNow{1000};
};

class TScriptDispatcher : public serial::TBaseDispatcher {
public:
    explicit TScriptDispatcher(const platform::TMsClock& Clock = platform::TMsClock::System(),
                               bool Threaded = false)
        : TBaseDispatcher(nullptr, Clock), FThreaded(Threaded) {}
    ~TScriptDispatcher() override {
        DonePort();
        StopThread();
    }

    // Opens with 8N1 at 19200 and the given output size.
    int Open(int OutSize = 4096, int Opts = serial::ipAssertDTR | serial::ipAssertRTS) {
        return InitPort("COM1", 19200, serial::NOPARITY, 8, 1, 4096, OutSize, Opts);
    }

    // ---- script: the receive side ----
    // Queues bytes as the read thread would: in items of at most ItemSize bytes.
    void Receive(std::string_view bytes, std::size_t ItemSize = 256) {
        std::lock_guard lock(FQueueLock);
        for (std::size_t at = 0; at < bytes.size(); at += ItemSize)
            FQueue.push_back({false, 0, std::string(bytes.substr(at, ItemSize)), 0});
        FQueueChanged.notify_all();
    }
    void Event(std::uint32_t ev) {
        std::lock_guard lock(FQueueLock);
        FQueue.push_back({true, ev, {}, 0});
        FQueueChanged.notify_all();
    }
    std::size_t QueuedBytes() {
        std::lock_guard lock(FQueueLock);
        std::size_t n = 0;
        for (auto& i : FQueue)
            n += i.Data.size() - i.Read;
        return n;
    }
    // One dispatch cycle without waiting.
    bool Cycle() { return DispatchCycle(0); }

    // ---- script: the send side ----
    std::string TakeWritten() {
        std::lock_guard lock(OutputSection);
        std::string w;
        w.swap(FPendingOut);
        FWritten += w;
        if (SentEvent)
            SentEvent->Set();
        return w;
    }
    std::string Pending() {
        std::lock_guard lock(OutputSection);
        return FPendingOut;
    }

    // ---- observation and failure injection ----
    std::atomic<int> WriteResult{-1}; // -1: accept everything
    std::atomic<int> EscapeResult{0};
    std::atomic<std::uint32_t> ErrorWord{0};
    std::atomic<std::uint8_t> Lines{0};
    std::atomic<int> OpenError{0}; // nonzero: OpenCom fails with this code
    std::atomic<int> SetStateCalls{0};
    std::vector<int> Escapes;               // guard: DataSection (written from line calls)
    serial::TDCB Device;                    // guard: DataSection
    std::atomic<int> RemainingWndSends{-1}; // >= 0: cancel window sends once this reaches 0
    int FlushCalls[2] = {0, 0};

    using TBaseDispatcher::CheckStatusTriggers;
    using TBaseDispatcher::CheckTimerTriggers;
    using TBaseDispatcher::DispSection;

    // ---- device operations ----
    int EscapeComFunction(int Func) override {
        std::lock_guard lock(DataSection);
        Escapes.push_back(Func);
        return EscapeResult;
    }
    int FlushCom(int Queue) override {
        ++FlushCalls[Queue == 0 ? 0 : 1];
        if (Queue == 0) {
            std::lock_guard lock(OutputSection);
            FPendingOut.clear();
        } else {
            std::lock_guard lock(FQueueLock);
            std::erase_if(FQueue, [](const TItem& i) { return !i.Status; });
        }
        return 0;
    }
    int GetComError(serial::TComStat& Stat) override {
        Stat = {};
        Stat.cbOutQue = static_cast<std::uint32_t>(OutBufUsed());
        return static_cast<int>(ErrorWord.exchange(0));
    }
    int GetComState(serial::TDCB& Block) override {
        std::lock_guard lock(DataSection);
        Block = Device;
        return 0;
    }
    int ReadCom(std::uint8_t* Buf, int Size) override {
        std::lock_guard lock(FQueueLock);
        int n = 0;
        while (n < Size && !FQueue.empty() && !FQueue.front().Status) {
            TItem& item = FQueue.front();
            const int take = std::min<int>(Size - n, static_cast<int>(item.Data.size() - item.Read));
            std::memcpy(Buf + n, item.Data.data() + item.Read, static_cast<std::size_t>(take));
            item.Read += static_cast<std::size_t>(take);
            n += take;
            if (item.Read == item.Data.size())
                FQueue.pop_front();
        }
        return n;
    }
    int SetComState(const serial::TDCB& Block) override {
        std::lock_guard lock(DataSection);
        Device = Block;
        ++SetStateCalls;
        return 0;
    }
    int WriteCom(const std::uint8_t* Buf, int Size) override {
        std::lock_guard lock(OutputSection);
        const int n = WriteResult < 0 ? Size : std::min<int>(WriteResult, Size);
        FPendingOut.append(reinterpret_cast<const char*>(Buf), static_cast<std::size_t>(n));
        return n;
    }
    bool SetupCom(int, int) override { return true; }
    void StartDispatcher() override {
        DispActive = true;
        KillThreads = false;
        if (FThreaded)
            FThread = std::thread([this] {
                ThreadStarted();
                while (DispatchCycle(50)) {
                }
                ThreadEnded();
            });
    }
    void StopDispatcher() override {
        StopThread();
        DispActive = false;
    }
    int OutBufUsed() override {
        std::lock_guard lock(OutputSection);
        return static_cast<int>(FPendingOut.size());
    }
    int InQueueUsed() override {
        std::lock_guard lock(FQueueLock);
        if (FQueue.empty() || FQueue.front().Status)
            return 0;
        return static_cast<int>(FQueue.front().Data.size() - FQueue.front().Read);
    }
    int OpenCom(const std::string&, int, int) override { return OpenError != 0 ? -1 : 3; }
    int CloseCom() override {
        StopThread();
        return 0;
    }
    bool CheckPort(const std::string&) override { return true; }
    void ProcessCommunications() override {}
    int DeviceErrorCode() const override { return OpenError; }
    std::uint8_t GetComModemStatus() override { return Lines; }
    bool WaitForComItem(int TimeoutMs) override {
        std::unique_lock lock(FQueueLock);
        return FQueueChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [&] {
            return !FQueue.empty() || KillThreads;
        }) && !FQueue.empty();
    }
    std::uint32_t TakeComEvent() override {
        std::lock_guard lock(FQueueLock);
        if (FQueue.empty() || !FQueue.front().Status)
            return 0;
        const std::uint32_t ev = FQueue.front().Ev;
        FQueue.pop_front();
        return ev;
    }

protected:
    bool SendToWindow(const platform::TMessageTarget& Target, std::uint32_t Msg, std::uintptr_t wParam,
                      std::intptr_t lParam) override {
        if (RemainingWndSends >= 0 && RemainingWndSends.fetch_sub(1) <= 0)
            return false; // as if the window had not started within the time-out
        return TBaseDispatcher::SendToWindow(Target, Msg, wParam, lParam);
    }

private:
    void StopThread() {
        if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) {
            KillThreads = true;
            {
                std::lock_guard lock(FQueueLock);
                FQueueChanged.notify_all();
            }
            FThread.join();
        }
    }

    struct TItem {
        bool Status;
        std::uint32_t Ev;
        std::string Data;
        std::size_t Read;
    };
    const bool FThreaded;
    std::mutex FQueueLock;
    std::condition_variable FQueueChanged; // FQueueLock
    std::deque<TItem> FQueue;              // FQueueLock
    std::string FPendingOut;               // OutputSection
    std::string FWritten;                  // OutputSection
    std::thread FThread;
};

} // namespace dravane::test
