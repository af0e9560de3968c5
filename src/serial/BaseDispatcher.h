#pragma once
// TBaseDispatcher: the device-independent core behind every port. It owns
// the 8192-byte receive ring, the software output buffer, the line settings,
// the triggers and the trigger handlers, and runs the dispatch cycle that
// moves received bytes into the ring, evaluates triggers and delivers
// notifications. Device layers (serial, TCP) derive from it and supply the
// device operations.
//
// Where each part lives:
//   BaseDispatcher.cpp      the port list, open and close, line and flow
//                           settings, the receive ring and its reads, the
//                           output buffer, the dispatch cycle, diagnostics
//   DispatcherTriggers.cpp  trigger management and evaluation, handler
//                           registration, notification delivery
//   DispatchTrace.h/.cpp    the trace and the dispatch log (TDispatchDiagnostics,
//                           which the Diagnostics operations below forward to)
//
// Threading contract
// ------------------
// Threads: the UI thread (the port component: open, close, line and flow
// settings, trigger and handler management, reads and writes), the
// dispatcher thread (the dispatch cycle: ProcessComEvent, ExtractData,
// ProcessTimer, trigger evaluation, SendNotify, and the event and procedure
// handlers it calls), and the device threads of the device layer (they only
// touch the output buffer through OutputSection and the device layer's own
// queue). The TCP layer has no threads: it runs the dispatch cycle on the UI
// thread.
//
// - Reads (GetChar, PeekChar, GetBlock, PeekBlock, CharReady, InBuffUsed,
//   InBuffFree, FlushInBuffer) and writes (PutChar, PutString, PutBlock,
//   OutBuffUsed, OutBuffFree) may run on any thread at any time, including
//   from inside a handler. While a byte-availability or data notification is
//   being delivered, the reads of the handler running it (the thread inside
//   a THandlerScope, or a window's thread while it is sent to) do not consume: they advance that handler's
//   own read count, and the ring advances once, after every handler has run, by the largest count any handler
//   read. Every other read consumes at once, after first taking for good what the delivery's handlers have
//   read.
// - Trigger and handler management may run on any thread, handlers
//   included. A handler deregistered during a delivery is skipped and freed
//   when the delivery ends.
// - InitPort, InitSocket, DonePort, DonePortPrim and destruction run on the
//   UI thread. DonePortPrim stops and joins the threads and closes the
//   device; from a thread no delivery waits for, it may run at any time (a
//   delivery waiting for a window is withdrawn within NotifySliceMs). A
//   DonePort during a delivery only discards the buffered bytes and sets
//   ClosePending (it never waits for the dispatcher thread, which may be
//   waiting for the UI thread); the delivery ends early, the dispatch cycle
//   returns false with DoDonePortPrimRequested(), and when the delivery
//   ends every window handler is posted pw_ClosePending: the owner then
//   finishes the close with DonePortPrim.
// - SendNotify calls handlers with no dispatcher lock held. A window handler
//   is a message object on the UI thread; the dispatcher thread waits for it
//   at most NotifyTimeoutMs before it has started, and until it has finished
//   once it has started, so a handler never reads the ring after the
//   dispatcher has moved on. A stop (KillThreads) or close (ClosePending)
//   request withdraws a delivery that has not started within NotifySliceMs.
//
// Locks (std::recursive_mutex; order: PortList, then DataSection, then
// DispSection or OutputSection, then the device layer's own locks; never
// the other way round):
// - DataSection: trigger lists, handler lists and their flags, fEventBusy,
//   DeletePending, the control block, the release of the buffers at close.
// - DispSection: the receive ring and its positions, DispatchFull,
//   InAvailMessage, GetCount, MaxGetCount, the notification bookkeeping.
// - OutputSection: the output buffer and its positions.
// Every shared field names its guard at its declaration.
//
// What a device layer provides and owes:
// - The device operations below. OpenCom returns the handle or -1, leaving
//   the reason in DeviceErrorCode (the last-error value). WaitForComItem and
//   TakeComEvent are the dispatch cycle's view of the layer's I/O queue;
//   InQueueUsed and ReadCom take bytes from it.
// - A dispatcher thread that calls ThreadStarted, then DispatchCycle until
//   it returns false, then ThreadEnded; when DoDonePortPrimRequested() it
//   asks the UI thread for DonePortPrim (the deferred close) rather than
//   joining anything itself.
// - StopDispatcher stops and joins every thread (never from one of them)
//   and must not be called while a thread waits for the UI thread.
// - The write thread sets SentEvent when it has emptied the output buffer
//   (SetLine waits for that before reprogramming the line).
// - DonePort in its own destructor: the base destructor cannot reach the
//   device operations any more.

#include "platform/Event.h"
#include "platform/MessageWindow.h"
#include "platform/MsClock.h"
#include "serial/DispatchDefs.h"
#include "serial/DispatchTrace.h"
#include "serial/Triggers.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace dravane::serial {

class TCustomComPort;

// What a procedure or event handler receives: exactly what a window would.
using TNotifyProc = void (*)(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam);

// A method bound to its object, comparable so that it can be deregistered.
struct TNotifyEvent {
    void* Object = nullptr;
    void (*Call)(void* Object, std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) = nullptr;

    template <class T, void (T::*Method)(std::uint32_t, std::uintptr_t, std::intptr_t)>
    static TNotifyEvent Bind(T* object) {
        return {object, [](void* o, std::uint32_t m, std::uintptr_t w, std::intptr_t l) {
                    (static_cast<T*>(o)->*Method)(m, w, l);
                }};
    }
    explicit operator bool() const { return Call != nullptr; }
    bool operator==(const TNotifyEvent&) const = default;
};

// A window handler: the message object (TWndHandle, identity for
// deregistration) and its shareable address, which stays safe to send to
// after the window is gone.
struct TWndTriggerHandler {
    TWndHandle Window = nullptr;
    platform::TMessageTarget Target;
    bool Deleted = false;
    // The window's thread, whose reads count against a delivery while the
    // window is sent to, unless the handler marks its own (THandlerScope).
    std::thread::id Thread;
    bool ScopesReads = false;
};
struct TProcTriggerHandler {
    TNotifyProc Proc = nullptr;
    bool Deleted = false;
};
struct TEventTriggerHandler {
    TNotifyEvent Event;
    bool Deleted = false;
    bool Sync = false; // run on the UI thread
};

class TBaseDispatcher {
public:
    // A window handler that has not started within this time is skipped.
    static constexpr int NotifyTimeoutMs = 3000;
    // A waiting delivery re-checks for a stop or close request this often.
    static constexpr int NotifySliceMs = 10;
    static constexpr int DataPointerCount = 10;

    explicit TBaseDispatcher(TCustomComPort* Owner,
                             const platform::TMsClock& Clock = platform::TMsClock::System());
    virtual ~TBaseDispatcher();
    TBaseDispatcher(const TBaseDispatcher&) = delete;
    TBaseDispatcher& operator=(const TBaseDispatcher&) = delete;

    // ---- Global port list (a dispatcher's handle is its slot index) ----
    static void LockPortList();
    static void UnlockPortList();
    // Call with the port list locked; null when the handle names no dispatcher.
    static TBaseDispatcher* GetTComRecPtr(std::uint16_t Handle);

    TCustomComPort* Owner() const { return fOwner; }
    // Set by an owner that hears of a device failure itself (UI thread, from
    // a message the device thread posted; it must not close the port inside
    // the call). None: the failure goes to the application's exception
    // display. A failure still pending when the dispatcher goes is dropped
    // when set (the owner closed the port and knows).
    std::function<void(int Code)> OnDeviceFailure;
    std::uint16_t Handle() const { return fHandle; }
    std::string DeviceName;
    int ComHandle() const { return CidEx.load(); }

    // ---- Device operations, supplied by the device layer ----
    virtual int EscapeComFunction(int Func) = 0;
    // Queue 0: output, 1: input.
    virtual int FlushCom(int Queue) = 0;
    // Returns and clears the device error word; fills the status.
    virtual int GetComError(TComStat& Stat) = 0;
    virtual int GetComState(TDCB& Block) = 0;
    virtual int ReadCom(std::uint8_t* Buf, int Size) = 0;
    virtual int SetComState(const TDCB& Block) = 0;
    virtual int WriteCom(const std::uint8_t* Buf, int Size) = 0;
    virtual bool SetupCom(int InSize, int OutSize) = 0;
    virtual void DonePortPrim();
    // Frees the device at once while a delivery of this dispatcher waits for
    // the calling thread (a close inside a handler): the threads that do not
    // deliver are stopped and joined and the device is closed, so another
    // port can open it before the delivery has ended. Layers without such
    // threads keep the device until DonePortPrim.
    virtual void ReleaseDevice() {}
    virtual void StartDispatcher() = 0;
    virtual void StopDispatcher() = 0;
    virtual int OutBufUsed() = 0;
    virtual int InQueueUsed() { return 0; }
    // The device handle (>= 0) or -1; the reason is then in DeviceErrorCode.
    virtual int OpenCom(const std::string& ComName, int InQueue, int OutQueue) = 0;
    virtual int CloseCom() = 0;
    virtual bool CheckPort(const std::string& ComName) = 0;
    virtual void ProcessCommunications() = 0;
    virtual void SetThreadBoost(TThreadBoost Boost) { ThreadBoost = Boost; }
    virtual void UpdateHandlerFlags(int FlagUpdate);
    // The negated system error of the last failed device call (-2 missing
    // device, -5 in use, -8 out of memory, ...): the last-error value.
    virtual int DeviceErrorCode() const { return -1001; }
    // Modem line states in the CTSMask..DCDMask bits.
    virtual std::uint8_t GetComModemStatus() { return ModemStatus.load() & ClearDelta; }
    // The same, for the dispatch cycle, which runs for every delivery: a
    // device layer that watches the lines anyway may answer from what it saw
    // last instead of asking the driver (a USB round trip on some adapters).
    virtual std::uint8_t CycleModemStatus() { return GetComModemStatus(); }
    // The dispatch cycle's source: waits at most TimeoutMs for a queued item
    // (true when one is there); takes the event word of a status item at the
    // head of the device layer's queue (0 for a data item or none).
    virtual bool WaitForComItem(int TimeoutMs) = 0;
    virtual std::uint32_t TakeComEvent() = 0;
    // Ends a WaitForComItem early: a trigger changed and the cycle may be
    // due sooner than its idle wait.
    virtual void WakeDispatch() {}

    // ---- Opening and closing ----
    int InitPort(const std::string& ComName, std::int32_t Baud, int Parity, int DataBits, int StopBits,
                 int InSize, int OutSize, int FlowOpts);
    int InitSocket(int InSize, int OutSize);
    void DonePort();
    int SetCommBuffers(int InSize, int OutSize);

    // ---- Line ----
    int SetLine(std::int32_t Baud, int Parity, int DataBits, int StopBits);
    void GetLine(std::int32_t& Baud, int& Parity, int& DataBits, int& StopBits);
    int ChangeBaud(std::int32_t NewBaud) {
        return SetLine(NewBaud, DontChangeParity, DontChangeDatabits, DontChangeStopbits);
    }
    int SetDtr(bool OnOff);
    int SetRts(bool OnOff);
    int SetModem(bool Dtr, bool Rts);
    // Returns the modem status and clears its change bits.
    std::uint8_t GetModemStatus();
    bool CheckCTS();
    bool CheckDSR();
    bool CheckRI();
    bool CheckDCD();
    bool CheckDeltaCTS();
    bool CheckDeltaDSR();
    bool CheckDeltaRI();
    bool CheckDeltaDCD();
    // The first pending line error (le...), cleared when read.
    std::uint16_t GetLineError();
    bool CheckLineBreak();
    void SendBreak(std::uint16_t Ticks, bool Yield);
    int SetBreak(bool BreakOn);
    // Milliseconds 18 characters take at the given line settings, doubled
    // below 1 ms, capped at one second; 0 for an unknown rate.
    static std::uint32_t DrainDelayMs(std::uint32_t Baud, int ByteSize, int Parity, int StopBitsCode);

    // ---- Flow control ----
    int HWFlowOptions(std::uint16_t BufferFull, std::uint16_t BufferResume, int Options);
    int HWFlowState();
    int SWFlowEnable(std::uint16_t BufferFull, std::uint16_t BufferResume, int Options);
    int SWFlowDisable();
    int SWFlowState();
    int SWFlowChars(std::uint8_t OnChar, std::uint8_t OffChar);
    void GetFlowOptions(int& HWOpts, int& SWOpts, std::uint16_t& BufferFull, std::uint16_t& BufferResume);

    // ---- Input ----
    bool CharReady();
    int PeekChar(std::uint8_t& C, int Count);
    int GetChar(std::uint8_t& C);
    int PeekBlock(void* Block, int Len);
    int GetBlock(void* Block, int Len);
    int InBuffUsed();
    int InBuffFree();
    int FlushInBuffer();

    // ---- Output ----
    int PutChar(std::uint8_t C) { return PutBlock(&C, 1); }
    int PutString(std::string_view S) { return PutBlock(S.data(), static_cast<int>(S.size())); }
    int PutBlock(const void* Block, int Len);
    int OutBuffUsed();
    int OutBuffFree();
    int FlushOutBuffer();
    void BufferSizes(int& InSize, int& OutSize) const;

    // ---- Triggers ----
    int ChangeLengthTrigger(std::uint16_t Length);
    int AddTimerTrigger();
    int AddDataTrigger(const char* Data, bool IgnoreCase);
    int AddDataTriggerLen(const void* Data, bool IgnoreCase, int Len);
    int AddStatusTrigger(std::uint16_t SType);
    int RemoveTrigger(std::uint16_t TriggerHandle);
    void RemoveAllTriggers();
    int SetTimerTrigger(std::uint16_t TriggerHandle, std::uint32_t Ticks, bool Activate);
    int ExtendTimer(std::uint16_t TriggerHandle, std::uint32_t Ticks);
    int TimerTicksRemaining(std::uint16_t TriggerHandle, std::uint32_t& TicksRemaining);
    int SetStatusTrigger(std::uint16_t TriggerHandle, std::uint16_t Value, bool Activate);
    static int ClassifyStatusTrigger(std::uint16_t TriggerHandle) { return TriggerHandle & StatusTypeMask; }
    void SaveTriggers(TTriggerSave& Save);
    void RestoreTriggers(const TTriggerSave& Save);
    static void ClearSaveBuffers(TTriggerSave& Save);

    // ---- Handlers ----
    // On the window's thread. ScopesReads: the handler opens a THandlerScope
    // itself, so reads on that thread outside it consume at once.
    void RegisterWndTriggerHandler(TWndHandle HW, bool ScopesReads = false);
    void RegisterProcTriggerHandler(TNotifyProc NP);
    void RegisterEventTriggerHandler(TNotifyEvent NP);
    void RegisterSyncEventTriggerHandler(TNotifyEvent NP);
    void DeregisterWndTriggerHandler(TWndHandle HW);
    void DeregisterProcTriggerHandler(TNotifyProc NP);
    void DeregisterEventTriggerHandler(TNotifyEvent NP);
    // Marks the calling thread, for the scope's life, as running a handler of
    // the delivery in progress: its reads count against the delivery.
    class THandlerScope {
    public:
        explicit THandlerScope(TBaseDispatcher& D) : FD(D) { FD.HandlerRunning(true); }
        ~THandlerScope() { FD.HandlerRunning(false); }
        THandlerScope(const THandlerScope&) = delete;
        THandlerScope& operator=(const THandlerScope&) = delete;

    private:
        TBaseDispatcher& FD;
    };
    void SetEventBusy(bool& WasOn, bool SetOn);
    bool EventBusy() const { return fEventBusy.load(); }
    // A delivery is running on the calling thread: closing now would pull
    // the dispatcher from under it.
    bool BusyOnThisThread();
    bool IsClosePending() const { return ClosePending.load(); }
    bool HandlerServiceIsNeeded() const { return HandlerServiceNeeded.load(); }

    // ---- Dispatch cycle (dispatcher thread; UI thread for the TCP layer) ----
    // One turn: wait for an item, communication step, timer step. False when
    // the loop must end (KillThreads or ClosePending); DoDonePortPrim then
    // says whether the thread's end must run DonePortPrim.
    bool DispatchCycle(int WaitMs = 50);
    // How long the next cycle may wait for an item: PollMs while something
    // is due without one (a timer or status trigger to evaluate, bytes to
    // scan or announce, a full ring, triggers held back by a busy event),
    // else IdleMs, since every other change arrives as an item or as a
    // WakeDispatch. An idle port then costs no wake-ups.
    int NextCycleWaitMs(int PollMs, int IdleMs);
    void ProcessComEvent();
    void ExtractData();
    void ProcessTimer();
    bool SendNotify(std::uint32_t Msg, std::uint16_t Trigger, std::uint16_t Data);
    bool DoDonePortPrimRequested() const { return DoDonePortPrim.load(); }

    // ---- Options and user data ----
    void OptionsOn(std::uint16_t Options) { fOptions.fetch_or(Options); }
    void OptionsOff(std::uint16_t Options) { fOptions.fetch_and(static_cast<std::uint16_t>(~Options)); }
    bool OptionsAreOn(std::uint16_t Options) const { return (fOptions.load() & Options) == Options; }
    void SetDataPointer(void* P, int Index);
    void* GetDataPointer(int Index) const;

    // ---- Diagnostics ----
    void InitTracing(std::uint32_t NumEntries);
    void AddTraceEntry(char CurEntry, std::uint8_t CurCh);
    int DumpTrace(const std::string& FName, bool InHex, bool AllHex);
    int AppendTrace(const std::string& FName, bool InHex, bool AllHex);
    void StartTracing();
    void StopTracing();
    void ClearTracing();
    void AbortTracing();
    bool TracingOn() const;
    void InitDispatchLogging(std::uint32_t QueueSize);
    void AddDispatchEntry(TDispatchType DT, TDispatchSubType DST, std::uint32_t Data,
                          const void* Buf = nullptr, std::size_t BufLen = 0);
    void AddStringToLog(std::string_view S);
    int DumpDispatchLog(const std::string& FName, bool InHex, bool AllHex);
    int AppendDispatchLog(const std::string& FName, bool InHex, bool AllHex);
    void StartDispatchLogging();
    void StopDispatchLogging();
    void ClearDispatchLogging();
    void AbortDispatchLogging();
    bool DLoggingOn() const;

    // ---- Read-only state for the components ----
    std::uint32_t LastErrorBits() const { return LastError.load(); }
    std::uint32_t CurrentEventWord() const { return CurrentEvent.load(); }
    bool RingDetected() const { return RingFlag.load(); }
    bool ThreadsActive() const { return DispActive.load(); }
    int ActiveThreadCount() const { return ActiveThreads.load(); }
    // The error the device threads ended on (ecDeviceRead, ecDeviceWrite...),
    // 0 while none has; DeviceLost once every thread has ended on it.
    int DeviceFailure() const { return FDeviceFailure.load(); }
    bool DeviceLost() const { return FDeviceFailure.load() != 0 && !DispActive.load(); }

protected:
    // Trigger evaluation; each delivers at most one notification per call and
    // says whether one fired.
    bool CheckReceiveTriggers();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    // Status, receive and timer triggers once each, as the TCP layer's dispatch procedure does.
    bool CheckTriggers();
    void ResetStatusHits();
    // The TCP layer's dispatch procedure brackets its trigger checks with these.
    void ClearGlobalStatHit() { GlobalStatHit = false; }
    bool GlobalStatusHit() const { return GlobalStatHit.load(); }
    void RefreshStatus();
    void MapEventsToMS(std::uint32_t Event);
    // Sets or clears line bits of the modem status (the TCP layer's carrier).
    void SetModemLines(std::uint8_t Set, std::uint8_t Clear);
    // How a window handler is reached; false when the delivery was cancelled
    // before its handler started.
    virtual bool SendToWindow(const platform::TMessageTarget& Target, std::uint32_t Msg,
                              std::uintptr_t wParam, std::intptr_t lParam);
    // How a synchronised event handler reaches the UI thread; false when cancelled.
    virtual bool CallOnMainThread(const TNotifyEvent& Event, std::uint32_t Msg, std::uintptr_t wParam,
                                  std::intptr_t lParam);
    platform::TSendResult SendInSlices(const platform::TMessageTarget& Target, std::uint32_t Msg,
                                       std::uintptr_t wParam, std::intptr_t lParam);
    void ThreadStarted() { ActiveThreads.fetch_add(1); }
    void ThreadEnded();
    // Records the first device failure of this open; false when one was already recorded.
    bool NoteDeviceFailure(int Code) {
        int none = 0;
        return FDeviceFailure.compare_exchange_strong(none, Code);
    }

    std::recursive_mutex DataSection;
    std::recursive_mutex OutputSection;
    std::recursive_mutex DispSection;

    const platform::TMsClock& FClock;
    std::atomic<int> CidEx{-1}; // UI thread writes at open and close; read anywhere

    // Sizes, fixed while open (written by InitPort before the threads start).
    int InQue = 0;
    int OutQue = 0;

    // Output buffer; guard: OutputSection. The serial device layer fills it in
    // WriteCom and its write thread empties it.
    std::vector<std::uint8_t> OBuffer;
    int OBufHead = 0;
    int OBufTail = 0;
    bool OBufFull = false;
    std::atomic<bool> OutSentPending{false}; // set by PutBlock, cleared by status triggers
    // Bytes were written since the line was last programmed (or the port
    // opened): only then can some still be on their way at the old rate.
    std::atomic<bool> FSentSinceLineSet{false};

    // Line; guard: DataSection.
    TDCB DCB;
    std::uint32_t LastBaud = 115200;
    bool DTRState = false;
    bool DTRAuto = false;
    bool RTSState = false;
    bool RTSAuto = false;
    bool RS485Mode = false;
    std::uint16_t BaseAddress = 0;
    TThreadBoost ThreadBoost = tbNone;

    // Status; atomics, read and written from the UI and dispatcher threads.
    std::atomic<std::uint8_t> ModemStatus{0};
    std::atomic<std::uint8_t> LastModemStatus{0};
    std::atomic<std::uint32_t> LastError{0};
    std::atomic<std::uint16_t> LastLineErr{0};
    std::atomic<bool> RingFlag{false};
    std::atomic<std::uint32_t> CurrentEvent{0};
    std::mutex FStatusLock; // leaf lock
    TComStat ComStatus;     // guard: FStatusLock

    // Control.
    std::atomic<bool> KillThreads{false};
    std::atomic<bool> DispActive{false};
    std::atomic<int> ActiveThreads{0};
    std::atomic<bool> ClosePending{false};   // set by DonePort during a delivery
    std::atomic<bool> DoDonePortPrim{false}; // the dispatcher thread's end must run DonePortPrim
    std::atomic<int> FDeviceFailure{0};      // set once by a device thread, cleared by InitPort

    // Events, created by InitPort before the threads start and closed by the
    // device layer's StopDispatcher; the events themselves are thread-safe.
    std::unique_ptr<platform::TEvent> GeneralEvent; // thread start and flush acknowledgements
    std::unique_ptr<platform::TEvent> OutputEvent;  // output waiting for the write thread
    std::unique_ptr<platform::TEvent> SentEvent;    // manual: the write thread emptied the output buffer
    std::unique_ptr<platform::TEvent> OutFlushEvent;

private:
    bool SendNotifyPrim(std::uint32_t Msg, std::uint16_t Trigger, std::uint16_t Data, bool& Delivered);
    int AvailPrim() const;       // DispSection held
    bool HandlerReading() const; // DispSection held
    int ReadBase() const;        // DispSection held
    void CommitHandlerReads();   // DispSection held
    void HandlerRunning(bool On);
    int ReadPrim(void* Block, int Len, bool Consume, int Skip); // DispSection held
    int GetTriggerHandle();                                     // DataSection held
    bool HandleInUse(int Base) const;                           // DataSection held
    TTimerTrigger* FindTimer(std::uint16_t Handle);
    TStatusTrigger* FindStatus(std::uint16_t Handle);
    void RecomputeServiceNeeded(int FlagUpdate); // DataSection held
    void FreeDeletedHandlers();                  // DataSection held
    void MarkBusy(bool On);                      // DataSection held
    int SetCommStateFix(TDCB& NewDCB);           // DataSection held
    void WaitTxSent();
    std::uint32_t NowTicks() const { return MsToTicks(FClock.NowMs()); }
    int FlowLimitsCheck(std::uint16_t BufferFull, std::uint16_t BufferResume) const;

    TCustomComPort* const fOwner;
    std::uint16_t fHandle = 0; // fixed for the dispatcher's life (port-list slot)

    // Receive ring; guard: DispSection.
    std::vector<std::uint8_t> DBuffer;
    int DBufHead = 0;
    int DBufTail = 0;
    bool DispatchFull = false;
    int LastTailData = 0;   // next ring position data triggers examine
    int NotifyTail = 0;     // head position at the last availability notification
    int FScanPending = 0;   // extracted bytes data triggers have not examined yet
    int FNotifyPending = 0; // extracted bytes no availability notification has covered yet
    bool InAvailMessage = false;
    std::thread::id FHandlerThread; // the thread inside a THandlerScope, if any
    int GetCount = 0;
    int MaxGetCount = 0;
    // Matched data triggers of one receive check, reused so that delivery
    // allocates nothing; dispatcher thread only.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> FMatched;

    // Triggers; guard: DataSection.
    std::uint16_t LenTrigger = 0;
    std::vector<TTimerTrigger> TimerTriggers;
    std::vector<TDataTrigger> DataTriggers;
    std::vector<TStatusTrigger> StatusTriggers;
    int TriggerCounter = FirstTriggerCounter;
    std::atomic<bool> GlobalStatHit{
        false}; // dispatcher thread only; atomic for the TCP layer's UI-thread use
    int LastTailLen = 1;

    // Handlers; guard: DataSection.
    std::vector<TWndTriggerHandler> WndTriggerHandlers;
    std::vector<TProcTriggerHandler> ProcTriggerHandlers;
    std::vector<TEventTriggerHandler> EventTriggerHandlers;
    bool PortHandlerInstalled = false;
    std::atomic<bool> HandlerServiceNeeded{false}; // written under DataSection
    std::atomic<bool> fEventBusy{false};           // written under DataSection
    std::thread::id FBusyThread;                   // guard: DataSection; the thread that set fEventBusy
    bool DeletePending = false;
    // Runs synchronised event handlers on the UI thread; created on the UI
    // thread by the first RegisterSyncEventTriggerHandler. Guard: DataSection
    // for the pointer; the window itself is thread-safe to send to.
    std::unique_ptr<platform::TMessageWindow> FSyncWindow;

    std::atomic<std::uint16_t> fOptions{0};
    std::array<std::atomic<void*>, DataPointerCount> DataPointers{};

    TDispatchDiagnostics FDiag; // the trace and the dispatch log; thread-safe
};

} // namespace dravane::serial
