#include "serial/IOQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace dravane::serial {

TIOQueue::TIOQueue(int DataSlots, int StatusSlots)
    : FDataSlots(std::max(DataSlots, 1)), FStatusSlots(std::max(StatusSlots, 1)),
      FBlocks(static_cast<std::size_t>(FDataSlots) * IO_BUFFER_SIZE),
      FRing(static_cast<std::size_t>(FDataSlots + FStatusSlots)) {
    FFreeSlots.reserve(static_cast<std::size_t>(FDataSlots));
    for (int k = FDataSlots - 1; k >= 0; --k)
        FFreeSlots.push_back(k);
}

void TIOQueue::SetSpaceCallback(std::function<void()> Callback) {
    std::lock_guard lock(FLock);
    FSpaceCallback = std::move(Callback);
}

bool TIOQueue::PushData(const std::uint8_t* Data, int Size) {
    Size = std::clamp(Size, 0, IO_BUFFER_SIZE);
    if (Size == 0)
        return true;
    bool poke = false;
    {
        std::lock_guard lock(FLock);
        if (FFreeSlots.empty())
            return false;
        const int slot = FFreeSlots.back();
        FFreeSlots.pop_back();
        std::memcpy(&FBlocks[static_cast<std::size_t>(slot) * IO_BUFFER_SIZE], Data,
                    static_cast<std::size_t>(Size));
        TItem& item = FRing[static_cast<std::size_t>((FHead + FCount) % static_cast<int>(FRing.size()))];
        item = TItem{false, 0, slot, Size, 0};
        ++FCount;
        FBytesQueued += Size;
        poke = FPolling;
    }
    itemArrived(poke);
    return true;
}

// After the unlock: a consumer woken while the lock is held would only
// block on it again.
void TIOQueue::itemArrived(bool Poke) {
    FChanged.notify_all();
    if (Poke && FItemCallback)
        FItemCallback();
}

void TIOQueue::SetItemCallback(std::function<void()> Callback) {
    std::lock_guard lock(FLock);
    FItemCallback = std::move(Callback);
}

bool TIOQueue::BeginPoll(bool DataUsable) {
    std::lock_guard lock(FLock);
    const bool ready = usableHead(DataUsable) || FWoken;
    FPolling = !ready;
    return ready;
}

void TIOQueue::EndPoll() {
    std::lock_guard lock(FLock);
    FPolling = false;
}

void TIOQueue::PushStatus(std::uint32_t Event) {
    if (Event == 0)
        return;
    bool poke = false;
    {
        std::lock_guard lock(FLock);
        const int ringSize = static_cast<int>(FRing.size());
        if (FStatusCount >= FStatusSlots) {
            // Out of status slots: fold the event into the newest status item.
            for (int k = FCount - 1; k >= 0; --k) {
                TItem& item = FRing[static_cast<std::size_t>((FHead + k) % ringSize)];
                if (item.Status) {
                    item.Event |= Event;
                    break;
                }
            }
        } else {
            FRing[static_cast<std::size_t>((FHead + FCount) % ringSize)] = TItem{true, Event, -1, 0, 0};
            ++FCount;
            ++FStatusCount;
        }
        poke = FPolling;
    }
    itemArrived(poke);
}

bool TIOQueue::DataFull() const {
    std::lock_guard lock(FLock);
    return FFreeSlots.empty();
}

bool TIOQueue::usableHead(bool DataUsable) const {
    return FCount > 0 && (DataUsable || FRing[static_cast<std::size_t>(FHead)].Status);
}

bool TIOQueue::WaitForItem(int TimeoutMs, bool DataUsable) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, std::chrono::milliseconds(std::max(TimeoutMs, 0)),
                      [&] { return usableHead(DataUsable) || FWoken; });
    FWoken = false;
    return usableHead(DataUsable);
}

void TIOQueue::Wake() {
    bool poke = false;
    {
        std::lock_guard lock(FLock);
        FWoken = true;
        poke = FPolling;
    }
    itemArrived(poke);
}

void TIOQueue::freedSlot(bool WasFull, std::unique_lock<std::mutex>& Lock) {
    if (!WasFull || !FSpaceCallback)
        return;
    auto callback = FSpaceCallback;
    Lock.unlock();
    callback();
}

int TIOQueue::Read(std::uint8_t* Buf, int Size) {
    std::unique_lock lock(FLock);
    const bool wasFull = FFreeSlots.empty();
    bool freed = false;
    int n = 0;
    const int ringSize = static_cast<int>(FRing.size());
    while (n < Size && FCount > 0) {
        TItem& item = FRing[static_cast<std::size_t>(FHead)];
        if (item.Status)
            break;
        const int take = std::min(Size - n, item.Used - item.Read);
        std::memcpy(Buf + n, &FBlocks[static_cast<std::size_t>(item.Slot) * IO_BUFFER_SIZE + item.Read],
                    static_cast<std::size_t>(take));
        item.Read += take;
        n += take;
        FBytesQueued -= take;
        if (item.Read == item.Used) {
            FFreeSlots.push_back(item.Slot);
            FHead = (FHead + 1) % ringSize;
            --FCount;
            freed = true;
        }
    }
    freedSlot(wasFull && freed, lock);
    return n;
}

int TIOQueue::HeadDataUnread() const {
    std::lock_guard lock(FLock);
    if (FCount == 0 || FRing[static_cast<std::size_t>(FHead)].Status)
        return 0;
    const TItem& item = FRing[static_cast<std::size_t>(FHead)];
    return item.Used - item.Read;
}

std::uint32_t TIOQueue::TakeStatus() {
    std::lock_guard lock(FLock);
    if (FCount == 0 || !FRing[static_cast<std::size_t>(FHead)].Status)
        return 0;
    const std::uint32_t ev = FRing[static_cast<std::size_t>(FHead)].Event;
    FHead = (FHead + 1) % static_cast<int>(FRing.size());
    --FCount;
    --FStatusCount;
    return ev;
}

int TIOQueue::BytesQueued() const {
    std::lock_guard lock(FLock);
    return FBytesQueued;
}

void TIOQueue::Clear() {
    std::unique_lock lock(FLock);
    const bool wasFull = FFreeSlots.empty();
    const int ringSize = static_cast<int>(FRing.size());
    for (; FCount > 0; --FCount) {
        const TItem& item = FRing[static_cast<std::size_t>(FHead)];
        if (!item.Status)
            FFreeSlots.push_back(item.Slot);
        FHead = (FHead + 1) % ringSize;
    }
    FHead = 0;
    FStatusCount = 0;
    FBytesQueued = 0;
    freedSlot(wasFull, lock);
}

} // namespace dravane::serial
