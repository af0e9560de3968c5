// Triggers, handlers and notification delivery of TBaseDispatcher.

#include "serial/BaseDispatcher.h"

#include "serial/PortErrors.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

namespace dravane::serial {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// A synchronised event handler's call, handed to the UI thread by address.
struct TSyncCall {
    TBaseDispatcher* Dispatcher;
    TNotifyEvent Event;
    std::uint32_t Msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};
constexpr std::uint32_t SyncCallMessage = 1;

template <class List, class Pred>
void DeregisterPrim(List& list, bool busy, bool& deletePending, Pred match) {
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& h) { return !h.Deleted && match(h); });
    if (it == list.end())
        return;
    if (busy) {
        it->Deleted = true;
        deletePending = true;
    } else {
        list.erase(it);
    }
}

// Offers up to Pending ring bytes from Pos on to the data triggers and stops
// after the byte that completes a pattern (Pos then names that byte). Kept
// apart so that the per-byte loop runs on registers.
bool ScanForPatterns(const std::uint8_t* Ring, TDataTrigger* First, TDataTrigger* Last, int& Pos,
                     int& Pending) {
    int i = Pos;
    int pending = Pending;
    bool matched = false;
    while (pending > 0) {
        const std::uint8_t b = Ring[i];
        --pending;
        for (TDataTrigger* d = First; d != Last; ++d)
            if (!d->Matched && d->Offer(b))
                matched = true;
        if (matched)
            break;
        i = (i + 1) & (DispatchBufferSize - 1);
    }
    Pos = i;
    Pending = pending;
    return matched;
}

} // namespace

// ---------------------------------------------------------------- trigger handles

bool TBaseDispatcher::HandleInUse(int Base) const {
    auto base = [](int h) { return h & ~StatusTypeMask; };
    return std::any_of(TimerTriggers.begin(), TimerTriggers.end(),
                       [&](auto& t) { return t.Handle == Base; }) ||
           std::any_of(StatusTriggers.begin(), StatusTriggers.end(),
                       [&](auto& t) { return base(t.Handle) == Base; }) ||
           std::any_of(DataTriggers.begin(), DataTriggers.end(),
                       [&](auto& t) { return base(t.Handle) == Base; });
}

// Counter x 8 while the counter is below MaxTriggerHandle, then the smallest
// free multiple of 8 in the same range: handles stay within 16 bits.
int TBaseDispatcher::GetTriggerHandle() {
    if (TriggerCounter < MaxTriggerHandle)
        return (TriggerCounter++) * 8;
    for (int h = FirstTriggerCounter * 8; h < MaxTriggerHandle * 8; h += 8)
        if (!HandleInUse(h))
            return h;
    return ecNoMoreTriggers;
}

TTimerTrigger* TBaseDispatcher::FindTimer(std::uint16_t Handle) {
    auto it =
        std::find_if(TimerTriggers.begin(), TimerTriggers.end(), [&](auto& t) { return t.Handle == Handle; });
    return it == TimerTriggers.end() ? nullptr : &*it;
}

TStatusTrigger* TBaseDispatcher::FindStatus(std::uint16_t Handle) {
    auto it = std::find_if(StatusTriggers.begin(), StatusTriggers.end(),
                           [&](auto& t) { return t.Handle == Handle; });
    return it == StatusTriggers.end() ? nullptr : &*it;
}

// ---------------------------------------------------------------- trigger management

int TBaseDispatcher::ChangeLengthTrigger(std::uint16_t Length) {
    {
        Lock data(DataSection);
        LenTrigger = Length;
    }
    // A shorter length may make bytes already held due.
    WakeDispatch();
    return ecOK;
}

int TBaseDispatcher::AddTimerTrigger() {
    Lock data(DataSection);
    const int h = GetTriggerHandle();
    if (h < 0)
        return h;
    TTimerTrigger t;
    t.Handle = static_cast<std::uint16_t>(h);
    TimerTriggers.push_back(t);
    AddDispatchEntry(dtTriggerAlloc, dstTimer, static_cast<std::uint32_t>(h));
    return h;
}

int TBaseDispatcher::AddDataTrigger(const char* Data, bool IgnoreCase) {
    if (Data == nullptr)
        return ecBadArgument;
    return AddDataTriggerLen(Data, IgnoreCase, static_cast<int>(strnlen(Data, MaxDataTriggerLen + 1)));
}

int TBaseDispatcher::AddDataTriggerLen(const void* Data, bool IgnoreCase, int Len) {
    if (Len > MaxDataTriggerLen)
        return ecTriggerTooLong;
    if (Len < 0 || (Len > 0 && Data == nullptr))
        return ecBadArgument;
    Lock data(DataSection);
    const int h = GetTriggerHandle();
    if (h < 0)
        return h;
    TDataTrigger t;
    t.Handle = static_cast<std::uint16_t>(h);
    t.SetPattern(static_cast<const std::uint8_t*>(Data), Len, IgnoreCase);
    DataTriggers.push_back(t);
    AddDispatchEntry(dtTriggerAlloc, dstData, static_cast<std::uint32_t>(h));
    return h;
}

// Status type 0 would give a handle indistinguishable from a timer or data
// trigger's, so it is refused like the types above stOutSent.
int TBaseDispatcher::AddStatusTrigger(std::uint16_t SType) {
    if (SType == stNotActive || SType > stOutSent)
        return ecBadArgument;
    Lock data(DataSection);
    const int h = GetTriggerHandle();
    if (h < 0)
        return h;
    TStatusTrigger t;
    t.Handle = static_cast<std::uint16_t>(h + SType);
    t.SType = SType;
    StatusTriggers.push_back(t);
    AddDispatchEntry(dtTriggerAlloc, dstStatus, t.Handle);
    return t.Handle;
}

int TBaseDispatcher::RemoveTrigger(std::uint16_t TriggerHandle) {
    Lock data(DataSection);
    if (TriggerHandle == 1) {
        LenTrigger = 0;
        return ecOK;
    }
    if (TriggerHandle == 0)
        return ecBadTriggerHandle;
    auto eraseIf = [&](auto& list, auto pred) {
        auto it = std::find_if(list.begin(), list.end(), pred);
        if (it == list.end())
            return false;
        list.erase(it);
        AddDispatchEntry(dtTriggerDispose, dstNone, TriggerHandle);
        return true;
    };
    if (eraseIf(TimerTriggers, [&](auto& t) { return t.Handle == TriggerHandle; }) ||
        eraseIf(StatusTriggers, [&](auto& t) { return t.Handle == TriggerHandle; }) ||
        eraseIf(DataTriggers,
                [&](auto& t) { return (t.Handle & ~StatusTypeMask) == (TriggerHandle & ~StatusTypeMask); }))
        return ecOK;
    return ecBadTriggerHandle;
}

void TBaseDispatcher::RemoveAllTriggers() {
    Lock data(DataSection);
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    LenTrigger = 0;
    TriggerCounter = FirstTriggerCounter;
}

int TBaseDispatcher::SetTimerTrigger(std::uint16_t TriggerHandle, std::uint32_t Ticks, bool Activate) {
    Lock data(DataSection);
    TTimerTrigger* t = FindTimer(TriggerHandle);
    if (t == nullptr)
        return ecBadTriggerHandle;
    if (Activate) {
        if (Ticks != 0)
            t->Ticks = Ticks;
        t->Timer.Start(NowTicks(), t->Ticks);
    }
    t->Active = Activate;
    if (Activate)
        WakeDispatch();
    return ecOK;
}

int TBaseDispatcher::ExtendTimer(std::uint16_t TriggerHandle, std::uint32_t Ticks) {
    Lock data(DataSection);
    TTimerTrigger* t = FindTimer(TriggerHandle);
    if (t == nullptr)
        return ecBadTriggerHandle;
    t->Timer.Extend(Ticks);
    return ecOK;
}

int TBaseDispatcher::TimerTicksRemaining(std::uint16_t TriggerHandle, std::uint32_t& TicksRemaining) {
    Lock data(DataSection);
    TTimerTrigger* t = FindTimer(TriggerHandle);
    if (t == nullptr)
        return ecBadTriggerHandle;
    TicksRemaining = t->Timer.Remaining(NowTicks());
    return ecOK;
}

int TBaseDispatcher::SetStatusTrigger(std::uint16_t TriggerHandle, std::uint16_t Value, bool Activate) {
    Lock data(DataSection);
    TStatusTrigger* t = FindStatus(TriggerHandle);
    if (t == nullptr)
        return ecBadTriggerHandle;
    switch (t->SType) {
    case stModem: {
        const std::uint16_t mask = Value & 0xFF;
        t->Value = static_cast<std::uint16_t>((mask << 8) | (mask & ModemStatus.load()));
        break;
    }
    case stLine:
        t->Value = static_cast<std::uint16_t>((Value & (lsOverrun | lsParity | lsFraming | lsBreak)) << 1);
        break;
    case stOutBuffFree:
    case stOutBuffUsed:
        t->Value = Value;
        break;
    default:
        break;
    }
    t->Active = Activate;
    t->Hit = false;
    if (Activate)
        WakeDispatch();
    return ecOK;
}

void TBaseDispatcher::SaveTriggers(TTriggerSave& Save) {
    Lock data(DataSection);
    Save.tsLenTrigger = LenTrigger;
    Save.tsTimerTriggers = TimerTriggers;
    Save.tsDataTriggers = DataTriggers;
    Save.tsStatusTriggers = StatusTriggers;
}

void TBaseDispatcher::RestoreTriggers(const TTriggerSave& Save) {
    Lock data(DataSection);
    LenTrigger = Save.tsLenTrigger;
    TimerTriggers = Save.tsTimerTriggers;
    DataTriggers = Save.tsDataTriggers;
    StatusTriggers = Save.tsStatusTriggers;
    // New triggers must not be handed a handle a restored one already holds.
    int highest = 0;
    for (auto& t : TimerTriggers)
        highest = std::max(highest, t.Handle / 8);
    for (auto& t : DataTriggers)
        highest = std::max(highest, t.Handle / 8);
    for (auto& t : StatusTriggers)
        highest = std::max(highest, t.Handle / 8);
    TriggerCounter = std::max(TriggerCounter, highest + 1);
    WakeDispatch();
}

void TBaseDispatcher::ClearSaveBuffers(TTriggerSave& Save) {
    Save.tsLenTrigger = 0;
    Save.tsTimerTriggers.clear();
    Save.tsDataTriggers.clear();
    Save.tsStatusTriggers.clear();
}

// ---------------------------------------------------------------- trigger evaluation

bool TBaseDispatcher::CheckStatusTriggers() {
    std::uint16_t handle = 0;
    std::uint16_t data = 0;
    {
        Lock lock(DataSection);
        for (auto& t : StatusTriggers) {
            if (!t.Active || t.Hit)
                continue;
            bool fire = false;
            std::uint16_t value = 0;
            switch (t.SType) {
            case stModem:
                fire = (((t.Value & 0xFF) ^ ModemStatus.load()) & (t.Value >> 8)) != 0;
                break;
            case stLine: {
                const std::uint32_t err = LastError.load();
                fire = (t.Value & err) != 0;
                if (fire)
                    t.Value = static_cast<std::uint16_t>(err);
                break;
            }
            case stOutBuffFree: {
                const int freeBytes = std::max(OutBuffFree(), 0);
                fire = freeBytes >= t.Value;
                value = static_cast<std::uint16_t>(std::min(freeBytes, 0xFFFF));
                break;
            }
            case stOutBuffUsed: {
                const int used = std::max(OutBuffUsed(), 0);
                fire = used <= t.Value;
                value = static_cast<std::uint16_t>(std::min(used, 0xFFFF));
                break;
            }
            case stOutSent:
                fire = OutSentPending.exchange(false);
                break;
            default:
                break;
            }
            if (fire) {
                t.Active = false;
                t.Hit = true;
                GlobalStatHit = true;
                handle = t.Handle;
                data = value;
                break;
            }
        }
    }
    if (handle == 0)
        return false;
    SendNotify(pw_TriggerStatus, handle, data);
    return true;
}

bool TBaseDispatcher::CheckTimerTriggers() {
    std::uint16_t handle = 0;
    {
        Lock lock(DataSection);
        const std::uint32_t now = NowTicks();
        for (auto& t : TimerTriggers) {
            if (t.Active && t.Timer.Expired(now)) {
                t.Active = false;
                handle = t.Handle;
                break;
            }
        }
    }
    if (handle == 0)
        return false;
    SendNotify(pw_TriggerTimer, handle, 0);
    return true;
}

// Availability is tracked by counts, not only by positions: FScanPending
// bytes await the data-trigger scan and FNotifyPending bytes await an
// availability notification. Positions alone cannot tell a full ring from
// an empty one after an exact wrap.
bool TBaseDispatcher::CheckReceiveTriggers() {
    std::unique_lock data(DataSection);
    std::unique_lock disp(DispSection);
    if (DBuffer.empty())
        return false;
    int i = LastTailData;
    if (std::none_of(DataTriggers.begin(), DataTriggers.end(),
                     [](const TDataTrigger& d) { return d.Len != 0; })) {
        // Nothing to match: the scan only moves on.
        i = RingMask(i + FScanPending);
        FScanPending = 0;
    }
    const bool matched = ScanForPatterns(DBuffer.data(), DataTriggers.data(),
                                         DataTriggers.data() + DataTriggers.size(), i, FScanPending);
    const int already = InAvailMessage ? GetCount : 0;
    if (!matched) {
        LastTailData = i;
        const int count = AvailPrim() - already;
        if (LenTrigger == 0 || FNotifyPending == 0 || count < LenTrigger)
            return false;
        disp.unlock();
        data.unlock();
        bool delivered = false;
        const bool result = SendNotifyPrim(pw_TriggerAvail, static_cast<std::uint16_t>(count), 0, delivered);
        if (delivered) {
            Lock relock(DispSection);
            FNotifyPending = 0;
            NotifyTail = DBufHead;
        }
        return result;
    }

    // A pattern completed at i: announce the bytes before it first, then the pattern.
    int maxLen = 0;
    FMatched.clear();
    for (auto it = DataTriggers.rbegin(); it != DataTriggers.rend(); ++it) {
        if (it->Matched) {
            maxLen = std::max<int>(maxLen, it->Len);
            FMatched.push_back({it->Handle, it->Len});
            it->Matched = false;
        }
    }
    const int after = FScanPending; // bytes behind i, still to scan
    const int newBefore = FNotifyPending - after - 1;
    int before = 0;
    if (LenTrigger != 0 && newBefore > 0) {
        const int upToI = RingMask(i - DBufTail + DispatchBufferSize) + 1;
        const int count = upToI <= AvailPrim() ? upToI - already : 0;
        if (count - maxLen >= LenTrigger)
            before = count - maxLen;
    }
    LastTailData = RingMask(i + 1);
    disp.unlock();
    data.unlock();
    if (before > 0) {
        bool delivered = false;
        SendNotifyPrim(pw_TriggerAvail, static_cast<std::uint16_t>(before), 0, delivered);
        if (delivered) {
            Lock relock(DispSection);
            FNotifyPending = after + 1;
            NotifyTail = i;
        }
    }
    for (std::size_t k = 0; k < FMatched.size() && !ClosePending; ++k)
        SendNotify(pw_TriggerData, FMatched[k].first, FMatched[k].second);
    return !ClosePending;
}

// ---------------------------------------------------------------- handlers

void TBaseDispatcher::RegisterWndTriggerHandler(TWndHandle HW, bool ScopesReads) {
    if (HW == nullptr)
        return;
    Lock data(DataSection);
    WndTriggerHandlers.push_back({HW, HW->Target(), false, std::this_thread::get_id(), ScopesReads});
    HandlerServiceNeeded = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstWndHandler, 0);
}

void TBaseDispatcher::RegisterProcTriggerHandler(TNotifyProc NP) {
    Lock data(DataSection);
    ProcTriggerHandlers.push_back({NP, false});
    HandlerServiceNeeded = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstProcHandler, 0);
}

void TBaseDispatcher::RegisterEventTriggerHandler(TNotifyEvent NP) {
    Lock data(DataSection);
    EventTriggerHandlers.push_back({NP, false, false});
    HandlerServiceNeeded = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 0);
}

void TBaseDispatcher::RegisterSyncEventTriggerHandler(TNotifyEvent NP) {
    Lock data(DataSection);
    if (!FSyncWindow)
        FSyncWindow = std::make_unique<platform::TMessageWindow>(
            [](std::uint32_t, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
                // The sender waits until this has finished, so its call record is alive.
                const auto* call = reinterpret_cast<const TSyncCall*>(wParam);
                const THandlerScope reads(*call->Dispatcher);
                call->Event.Call(call->Event.Object, call->Msg, call->wParam, call->lParam);
                return 1;
            });
    EventTriggerHandlers.push_back({NP, false, true});
    HandlerServiceNeeded = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 1);
}

void TBaseDispatcher::DeregisterWndTriggerHandler(TWndHandle HW) {
    Lock data(DataSection);
    DeregisterPrim(WndTriggerHandlers, fEventBusy, DeletePending, [&](auto& h) { return h.Window == HW; });
    RecomputeServiceNeeded(fuKeepPort);
}

void TBaseDispatcher::DeregisterProcTriggerHandler(TNotifyProc NP) {
    Lock data(DataSection);
    DeregisterPrim(ProcTriggerHandlers, fEventBusy, DeletePending, [&](auto& h) { return h.Proc == NP; });
    RecomputeServiceNeeded(fuKeepPort);
}

void TBaseDispatcher::DeregisterEventTriggerHandler(TNotifyEvent NP) {
    Lock data(DataSection);
    DeregisterPrim(EventTriggerHandlers, fEventBusy, DeletePending, [&](auto& h) { return h.Event == NP; });
    RecomputeServiceNeeded(fuKeepPort);
}

void TBaseDispatcher::RecomputeServiceNeeded(int FlagUpdate) {
    if (FlagUpdate == fuEnablePort)
        PortHandlerInstalled = true;
    else if (FlagUpdate == fuDisablePort)
        PortHandlerInstalled = false;
    const bool others =
        WndTriggerHandlers.size() > 1 || !ProcTriggerHandlers.empty() || !EventTriggerHandlers.empty();
    HandlerServiceNeeded = others || PortHandlerInstalled;
    if (FlagUpdate == fuDisablePort)
        HandlerServiceNeeded = others;
}

void TBaseDispatcher::UpdateHandlerFlags(int FlagUpdate) {
    Lock data(DataSection);
    RecomputeServiceNeeded(FlagUpdate);
}

void TBaseDispatcher::FreeDeletedHandlers() {
    auto purge = [](auto& list) { std::erase_if(list, [](const auto& h) { return h.Deleted; }); };
    purge(WndTriggerHandlers);
    purge(ProcTriggerHandlers);
    purge(EventTriggerHandlers);
}

void TBaseDispatcher::SetEventBusy(bool& WasOn, bool SetOn) {
    Lock data(DataSection);
    WasOn = fEventBusy;
    MarkBusy(SetOn);
}

bool TBaseDispatcher::BusyOnThisThread() {
    Lock data(DataSection);
    return fEventBusy && FBusyThread == std::this_thread::get_id();
}

// A close asked for during the delivery that ends here can now be finished:
// the owner's window hears it once the delivery has let go.
void TBaseDispatcher::MarkBusy(bool On) {
    fEventBusy = On;
    FBusyThread = On ? std::this_thread::get_id() : std::thread::id();
    if (On || !ClosePending)
        return;
    const auto lParam = static_cast<std::intptr_t>(fHandle) * 65536;
    for (const TWndTriggerHandler& h : WndTriggerHandlers)
        if (!h.Deleted)
            h.Target.Post(pw_ClosePending, 0, lParam);
}

// ---------------------------------------------------------------- delivery

// A send waiting for a busy UI thread is withdrawn and offered again in
// short slices, so that a stop or close request ends the wait within one
// slice: a UI thread that stops the threads never waits on one that waits
// for it. srTimedOut when the handler never started.
platform::TSendResult TBaseDispatcher::SendInSlices(const platform::TMessageTarget& Target, std::uint32_t Msg,
                                                    std::uintptr_t wParam, std::intptr_t lParam) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(NotifyTimeoutMs);
    for (;;) {
        if (KillThreads || ClosePending)
            return platform::srTimedOut;
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return platform::srTimedOut;
        const int slice = static_cast<int>(std::min<long long>(left, NotifySliceMs));
        const platform::TSendResult r = Target.Send(Msg, wParam, lParam, slice);
        if (r != platform::srTimedOut)
            return r;
    }
}

bool TBaseDispatcher::SendToWindow(const platform::TMessageTarget& Target, std::uint32_t Msg,
                                   std::uintptr_t wParam, std::intptr_t lParam) {
    // A window that is gone reads nothing; only one that did not start in
    // time leaves its bytes to be offered again.
    return SendInSlices(Target, Msg, wParam, lParam) != platform::srTimedOut;
}

bool TBaseDispatcher::CallOnMainThread(const TNotifyEvent& Event, std::uint32_t Msg, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
    platform::TMessageTarget target;
    {
        Lock data(DataSection);
        if (!FSyncWindow)
            return false;
        target = FSyncWindow->Target();
    }
    const TSyncCall call{this, Event, Msg, wParam, lParam};
    return SendInSlices(target, SyncCallMessage, reinterpret_cast<std::uintptr_t>(&call), 0) !=
           platform::srTimedOut;
}

bool TBaseDispatcher::SendNotify(std::uint32_t Msg, std::uint16_t Trigger, std::uint16_t Data) {
    bool delivered = false;
    return SendNotifyPrim(Msg, Trigger, Data, delivered);
}

// Delivered is false when the close was requested during the delivery or a
// handler could not be reached in time: the bytes then stay unread and the
// notification is due again.
bool TBaseDispatcher::SendNotifyPrim(std::uint32_t Msg, std::uint16_t Trigger, std::uint16_t Data,
                                     bool& Delivered) {
    // Nobody to tell: the bytes stay due and are announced once a handler is there.
    Delivered = false;
    if (!HandlerServiceNeeded)
        return false;
    {
        Lock data(DataSection);
        MarkBusy(true);
    }
    const bool inAvail = Msg == pw_TriggerAvail || Msg == pw_TriggerData;
    {
        Lock disp(DispSection);
        MaxGetCount = 0;
        GetCount = 0;
        InAvailMessage = inAvail;
    }
    if (FDiag.LogOn()) {
        const TDispatchSubType sub = Msg == pw_TriggerAvail   ? dstAvail
                                     : Msg == pw_TriggerData  ? dstData
                                     : Msg == pw_TriggerTimer ? dstTimer
                                                              : dstStatus;
        AddDispatchEntry(dtTrigger, sub, Trigger);
    }
    const std::intptr_t lParam =
        static_cast<std::intptr_t>(Data) + static_cast<std::intptr_t>(fHandle) * 65536;
    bool cancelled = false;
    bool aborted = false;
    int reached = 0; // handlers that took the notification

    // Runs one handler list; the entry is copied under the lock, so handlers
    // may register and deregister while the list is walked.
    // Reader: the thread whose reads count against the delivery while the
    // entry is called, or none when the handler marks its own (THandlerScope).
    auto walk = [&](auto& list, auto reader, auto call) {
        for (std::size_t k = 0; !aborted; ++k) {
            typename std::remove_reference_t<decltype(list)>::value_type entry;
            {
                Lock data(DataSection);
                if (k >= list.size())
                    break;
                entry = list[k];
            }
            if (entry.Deleted)
                continue;
            if (KillThreads) {
                // The threads are being stopped, perhaps by a UI thread that
                // now waits for this one: reach no further handler.
                aborted = true;
                break;
            }
            {
                Lock disp(DispSection);
                GetCount = 0;
                FHandlerThread = reader(entry);
            }
            try {
                if (call(entry))
                    ++reached;
                else
                    cancelled = true;
            } catch (const std::exception& e) {
                // A handler on this thread has nowhere to raise to; the
                // delivery goes on for the others.
                ++reached;
                AddDispatchEntry(dtError, dstNone, Msg, e.what(), std::strlen(e.what()));
            }
            if (ClosePending) {
                aborted = true;
                break;
            }
            Lock disp(DispSection);
            MaxGetCount = std::max(MaxGetCount, GetCount);
            FHandlerThread = std::thread::id();
        }
    };
    const std::thread::id self = std::this_thread::get_id();
    walk(
        EventTriggerHandlers,
        [&](const TEventTriggerHandler& h) { return h.Sync ? std::thread::id() : self; },
        [&](const TEventTriggerHandler& h) {
            if (h.Sync)
                return CallOnMainThread(h.Event, Msg, Trigger, lParam);
            h.Event.Call(h.Event.Object, Msg, Trigger, lParam);
            return true;
        });
    walk(
        ProcTriggerHandlers, [&](const TProcTriggerHandler&) { return self; },
        [&](const TProcTriggerHandler& h) {
            h.Proc(Msg, Trigger, lParam);
            return true;
        });
    bool windows;
    {
        Lock data(DataSection);
        windows = WndTriggerHandlers.size() >= 2 || PortHandlerInstalled;
    }
    if (windows)
        walk(
            WndTriggerHandlers,
            [&](const TWndTriggerHandler& h) { return h.ScopesReads ? std::thread::id() : h.Thread; },
            [&](const TWndTriggerHandler& h) { return SendToWindow(h.Target, Msg, Trigger, lParam); });

    bool result = true;
    {
        Lock disp(DispSection);
        if (InAvailMessage) {
            InAvailMessage = false;
            if (!aborted && !cancelled) {
                DBufTail = RingMask(DBufTail + std::min(MaxGetCount, AvailPrim()));
                if (MaxGetCount != 0)
                    DispatchFull = false;
                if (Msg == pw_TriggerAvail && MaxGetCount != Trigger)
                    result = false;
            }
        }
        GetCount = 0;
        FHandlerThread = std::thread::id();
    }
    {
        Lock data(DataSection);
        if (DeletePending) {
            FreeDeletedHandlers();
            DeletePending = false;
            RecomputeServiceNeeded(fuKeepPort);
        }
        MarkBusy(false);
    }
    Delivered = reached > 0 && !aborted && !cancelled;
    return Delivered && result;
}

} // namespace dravane::serial
