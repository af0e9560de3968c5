#pragma once
// TIOQueue: the bounded first-in first-out list between a serial port's
// device threads (producers: the read thread pushes received bytes in
// items of at most IO_BUFFER_SIZE bytes, the status thread pushes device
// event words) and its dispatcher thread (the consumer: ReadCom,
// InQueueUsed, TakeComEvent, WaitForComItem).
//
// The data items live in one block allocated with the queue, so a full
// queue costs no more memory than an empty one and pushing allocates
// nothing. When every data slot is taken, PushData refuses the bytes: the
// read thread then stops reading (the kernel keeps or drops further bytes,
// as a UART overrun would) until a reader frees a slot and the queue's
// space callback wakes it. Status items have slots of their own, so a flood
// of data never loses a line or modem event; when those are taken too, a
// new event word is merged into the newest one.
//
// Threading contract: every operation may run on any thread at any time;
// one internal lock (a leaf lock: nothing is called with it held, except
// the space callback, which must not call back into the queue; the item
// callback is called without it).

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace dravane::serial {

constexpr int IO_BUFFER_SIZE = 256;
constexpr int IOQueueDataSlots = 256; // 64 KiB of received bytes at most
constexpr int IOQueueStatusSlots = 32;

class TIOQueue {
public:
    explicit TIOQueue(int DataSlots = IOQueueDataSlots, int StatusSlots = IOQueueStatusSlots);
    TIOQueue(const TIOQueue&) = delete;
    TIOQueue& operator=(const TIOQueue&) = delete;

    // Called, without the lock, when a reader frees a slot of a full queue.
    void SetSpaceCallback(std::function<void()> Callback);

    // Appends up to IO_BUFFER_SIZE bytes as one item; false (nothing taken)
    // when every data slot is in use.
    bool PushData(const std::uint8_t* Data, int Size);
    void PushStatus(std::uint32_t Event);
    bool DataFull() const;

    // Waits at most TimeoutMs for an item the consumer can take: any item
    // when DataUsable, else (its receive ring being full) a status item at
    // the head, so that a full ring is not a busy loop. True when the head
    // item is one it can take.
    bool WaitForItem(int TimeoutMs, bool DataUsable = true);
    // Wakes WaitForItem at once (stop requests).
    void Wake();
    // For a consumer that waits on a device too: BeginPoll is true when an
    // item it can take is there already; otherwise, until EndPoll, every push
    // and Wake also calls the item callback (without the lock), which must
    // end the consumer's own wait.
    void SetItemCallback(std::function<void()> Callback);
    bool BeginPoll(bool DataUsable);
    void EndPoll();

    // Copies bytes out of the data items at the head, stopping at a status
    // item or an empty queue; a partly read item stays queued.
    int Read(std::uint8_t* Buf, int Size);
    // Unread bytes of the head item when it is a data item, else 0.
    int HeadDataUnread() const;
    // The event word of a status item at the head, removed; 0 otherwise.
    std::uint32_t TakeStatus();
    // Bytes in every queued data item.
    int BytesQueued() const;
    // Drops every item.
    void Clear();

private:
    struct TItem {
        bool Status = false;
        std::uint32_t Event = 0; // status item
        int Slot = -1;           // data item: index of its block
        int Used = 0;
        int Read = 0;
    };
    void freedSlot(bool WasFull, std::unique_lock<std::mutex>& Lock);
    bool usableHead(bool DataUsable) const; // FLock held

    const int FDataSlots;
    const int FStatusSlots;
    mutable std::mutex FLock;
    std::condition_variable FChanged;     // FLock
    std::vector<std::uint8_t> FBlocks;    // FLock for the slots in use; FDataSlots x IO_BUFFER_SIZE
    std::vector<int> FFreeSlots;          // FLock
    std::vector<TItem> FRing;             // FLock; circular, FDataSlots + FStatusSlots entries
    int FHead = 0, FCount = 0;            // FLock
    int FStatusCount = 0;                 // FLock
    int FBytesQueued = 0;                 // FLock
    bool FWoken = false;                  // FLock
    std::function<void()> FSpaceCallback; // set before the threads start
    std::function<void()> FItemCallback;  // set before the threads start
    bool FPolling = false;                // FLock
    void itemArrived(bool Poke);
};

} // namespace dravane::serial
