#pragma once
// TCustomComPort / TComPort: the component through which the program uses a
// serial port. It carries the line settings as properties, opens and closes
// the device through a dispatcher, writes and reads bytes, and turns the
// dispatcher's notifications into events on the UI thread.
//
// Where each part lives:
//   ComPort.cpp          lifetime, the open/close state machine, users, the
//                        hidden window, run-time state, data and triggers
//   ComPortSettings.cpp  the line settings and behaviour properties
//   ComPortTrace.cpp     tracing and the dispatch log
//
// Threading contract
// ------------------
// Every operation runs on the UI thread, and every event fires there: the
// dispatcher's threads reach the port only through messages to its hidden
// window ("PortNotifyWindow"), which is created at each open and destroyed at
// each close. While an event runs, the dispatcher thread waits for it, so a
// handler may read the bytes it was told about.
//
// The close, one state machine (FPortState; UI thread only)
// --------------------------------------------------------
//   psClosed --SetOpen(true)--> psOpen            InitPort; a failure is
//                                                  raised to the caller and
//                                                  leaves psClosed
//   psOpen --SetOpen(false)--> psClosed            outside the port's
//        handlers: FinishClose before SetOpen returns (window destroyed,
//        every thread joined, device closed, dispatcher freed)
//   psOpen --SetOpen(false)--> psShuttingDown      inside one of the port's
//        handlers (or any event loop nested in one), or while its
//        dispatcher delivers on this very thread (the TCP layer): the
//        delivery waits for this thread, so nothing may wait for it.
//        The device is released at once (ReleaseDevice) and Open still
//        reads True.
//   psShuttingDown --pw_ClosePending--> psClosed   the dispatcher posts it
//        to the port's window when the delivery ends; the UI thread then
//        runs FinishClose and, when SetOpen(true) was asked for meanwhile
//        (OpenPending), the open. SetOpen from outside the handlers also
//        finishes it at once.
// Destroying the port closes it the same way; a dispatcher that must still
// wait is handed over (TNotifyState::Orphans) and freed by a call queued
// when the outermost handler returns. No step waits for an answer a
// stopping thread will not give.
//
// Derived ports (the TCP port) choose their own dispatcher through the
// virtual hooks ActivateDeviceLayer, DeviceLayerChanged, AcceptsDeviceLayer,
// InitializePort and ValidateComport, and see the hidden window's messages
// through WndProc.

#include "serial/DispatchDefs.h"
#include "serial/Triggers.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravane::platform {
class TMessageWindow;
}

namespace dravane::serial {

class TBaseDispatcher;

// ---------------------------------------------------------------- enumerations

enum TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TDeviceLayer : std::uint8_t { dlWin32, dlWinsock };
enum TTapiMode : std::uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum TPortState : std::uint8_t { psClosed, psShuttingDown, psOpen };
enum THWFlowOption : std::uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : std::uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue };
enum TCallbackType : std::uint8_t { ctOpen, ctClosing, ctClosed };

// A set of THWFlowOption values.
class THWFlowOptions {
public:
    constexpr THWFlowOptions() = default;
    constexpr THWFlowOptions(std::initializer_list<THWFlowOption> options) {
        for (THWFlowOption o : options)
            FBits = static_cast<std::uint8_t>(FBits | Bit(o));
    }
    constexpr bool Contains(THWFlowOption o) const { return (FBits & Bit(o)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr std::uint8_t Bits() const { return FBits; }
    constexpr bool operator==(const THWFlowOptions&) const = default;

private:
    static constexpr std::uint8_t Bit(THWFlowOption o) { return static_cast<std::uint8_t>(1u << o); }
    std::uint8_t FBits = 0;
};

// ---------------------------------------------------------------- events

class TCustomComPort;

using TTriggerEvent = std::function<void(TCustomComPort* CP, std::uint16_t Msg, std::uint16_t TriggerHandle,
                                         std::uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TCustomComPort* CP, std::uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent = std::function<void(TCustomComPort* CP, std::uint16_t Error, bool LineBreak)>;
using TComNotifyEvent = std::function<void(TCustomComPort* CP)>;
using TWaitCharEvent = std::function<void(TCustomComPort* CP, std::uint8_t C)>;

// A method bound to its object, comparable so that it can be deregistered.
template <class... Args> struct TMethodRef {
    void* Object = nullptr;
    void (*Call)(void* Object, Args...) = nullptr;

    template <class T, void (T::*Method)(Args...)> static TMethodRef Bind(T* object) {
        return {object, [](void* o, Args... a) { (static_cast<T*>(o)->*Method)(a...); }};
    }
    void operator()(Args... a) const { Call(Object, a...); }
    explicit operator bool() const { return Call != nullptr; }
    bool operator==(const TMethodRef&) const = default;
};
using TPortCallback = TMethodRef<TCustomComPort*, bool /*Opening*/>;
using TPortCallbackEx = TMethodRef<TCustomComPort*, TCallbackType>;

// One user of the port: told of opening and closing.
struct TUserListEntry {
    TWndHandle Handle = nullptr;
    TPortCallback Callback;
    TPortCallbackEx CallbackEx;
    bool IsEx = false;
};

// How many of a port's trigger events are being handled, whether a handler
// has destroyed the port, and what it left behind; shared so that it
// outlives the port.
struct TNotifyState;

// Builds a dispatcher for the port; a port given one uses it instead of its own choice.
using TActivationProcedure = std::function<std::unique_ptr<TBaseDispatcher>(TCustomComPort* Owner)>;

// ---------------------------------------------------------------- component base

// A component with a read-only version text and the "being loaded" state: its
// owner calls BeginLoading while building the window and Loaded when done.
class TBaseComponent {
public:
    virtual ~TBaseComponent() = default;
    static std::string Version();
    void BeginLoading() { FLoading = true; }
    virtual void Loaded() { FLoading = false; }
    bool ComponentLoading() const { return FLoading; }

private:
    bool FLoading = false;
};

// ---------------------------------------------------------------- defaults

constexpr std::uint16_t adpoDefComNumber = 0;
constexpr std::int32_t adpoDefBaudRt = 19200;
constexpr TParity adpoDefParity = pNone;
constexpr std::uint16_t adpoDefDatabits = 8;
constexpr std::uint16_t adpoDefStopbits = 1;
constexpr std::uint16_t adpoDefInSize = 4096;
constexpr std::uint16_t adpoDefOutSize = 4096;
constexpr std::uint8_t adpoDefXOnChar = 17;
constexpr std::uint8_t adpoDefXOffChar = 19;
constexpr std::uint32_t adpoDefTraceSize = 10000;
constexpr std::uint32_t adpoDefLogSize = 10000;
constexpr const char* adpoDefTraceName = "DRAVANE.TRC";
constexpr const char* adpoDefLogName = "DRAVANE.LOG";
constexpr std::uint16_t adpoDefCommNotificationLevel = 10;
constexpr std::size_t MaxFileNameLength = 255;

// ---------------------------------------------------------------- the port

class TCustomComPort : public TBaseComponent {
public:
    TCustomComPort();
    ~TCustomComPort() override;
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // Copies every property (not the open state, events or users) from Source.
    virtual void Assign(const TCustomComPort& Source);
    void Loaded() override;

    // ---- opening and closing ----
    bool Open() const { return FOpen; }
    void SetOpen(bool Enable);
    void ForcePortOpen();
    TPortState PortState() const { return FPortState; }
    // True once the device threads have ended on a device failure (hang-up,
    // read or write error) while the port is still open: writes then raise
    // that failure's error. False after a close or a new open.
    bool DeviceLost() const;
    // The system error behind the last failed open (EACCES, EBUSY, ENOENT,
    // ENOTTY...; 0 when the last open worked or failed before the device).
    int LastOpenErrno() const { return FLastOpenErrno; }
    bool OpenPending() const { return FOpenPending; }
    // The dispatcher; opens the port first when AutoOpen allows it. Raises
    // ECommNotOpen when there is none.
    TBaseDispatcher& Dispatcher() { return ValidDispatcher(); }
    // The dispatcher or null, never opening.
    TBaseDispatcher* DispatcherOrNull() const { return FDispatcher.get(); }
    void SetCustomDispatcher(TActivationProcedure Proc) { FCustomDispatcher = std::move(Proc); }

    // ---- line settings ----
    std::uint16_t ComNumber() const { return FComNumber; }
    void SetComNumber(std::uint16_t Value);
    std::int32_t Baud() const { return FBaud; }
    void SetBaud(std::int32_t Value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity Value);
    std::uint16_t DataBits() const { return FDataBits; }
    void SetDataBits(std::uint16_t Value);
    std::uint16_t StopBits() const { return FStopBits; }
    void SetStopBits(std::uint16_t Value);
    std::uint16_t InSize() const { return FInSize; }
    void SetInSize(std::uint16_t Value);
    std::uint16_t OutSize() const { return FOutSize; }
    void SetOutSize(std::uint16_t Value);
    bool DTR() const { return FDTR; }
    void SetDTR(bool Value);
    bool RTS() const { return FRTS; }
    void SetRTS(bool Value);
    THWFlowOptions HWFlowOptions() const { return FHWFlowOptions; }
    void SetHWFlowOptions(THWFlowOptions Value);
    TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
    void SetSWFlowOptions(TSWFlowOptions Value);
    std::uint8_t XOnChar() const { return FXOnChar; }
    void SetXOnChar(std::uint8_t Value);
    std::uint8_t XOffChar() const { return FXOffChar; }
    void SetXOffChar(std::uint8_t Value);
    std::uint16_t BufferFull() const { return FBufferFull; }
    void SetBufferFull(std::uint16_t Value);
    std::uint16_t BufferResume() const { return FBufferResume; }
    void SetBufferResume(std::uint16_t Value);

    // ---- behaviour ----
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }
    bool PromptForPort() const { return FPromptForPort; }
    void SetPromptForPort(bool Value) { FPromptForPort = Value; }
    TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
    void SetDeviceLayer(TDeviceLayer Value);
    std::uint16_t TriggerLength() const { return FTriggerLength; }
    void SetTriggerLength(std::uint16_t Value);
    bool UseMSRShadow() const { return FUseMSRShadow; }
    virtual void SetUseMSRShadow(bool Value);
    bool UseEventWord() const { return FUseEventWord; }
    void SetUseEventWord(bool Value);
    std::uint16_t CommNotificationLevel() const { return FCommNotificationLevel; }
    void SetCommNotificationLevel(std::uint16_t Value) { FCommNotificationLevel = Value; }
    TTapiMode TapiMode() const { return FTapiMode; }
    void SetTapiMode(TTapiMode Value) { FTapiMode = Value; }
    bool RS485Mode() const { return FRS485Mode; }
    void SetRS485Mode(bool Value);
    TThreadBoost ThreadBoost() const { return FThreadBoost; }
    void SetThreadBoost(TThreadBoost Value);
    std::uint16_t BaseAddress() const { return FBaseAddress; }
    void SetBaseAddress(std::uint16_t Value) { FBaseAddress = Value; }

    // ---- tracing and the dispatch log (off in this program) ----
    TTraceLogState Tracing() const { return FTracing; }
    void SetTracing(TTraceLogState Value);
    TTraceLogState Logging() const { return FLogging; }
    void SetLogging(TTraceLogState Value);
    std::uint32_t TraceSize() const { return FTraceSize; }
    void SetTraceSize(std::uint32_t Value) { FTraceSize = Value; }
    std::uint32_t LogSize() const { return FLogSize; }
    void SetLogSize(std::uint32_t Value) { FLogSize = Value; }
    const std::string& TraceName() const { return FTraceName; }
    void SetTraceName(std::string Value);
    const std::string& LogName() const { return FLogName; }
    void SetLogName(std::string Value);
    bool TraceHex() const { return FTraceHex; }
    void SetTraceHex(bool Value) { FTraceHex = Value; }
    bool LogHex() const { return FLogHex; }
    void SetLogHex(bool Value) { FLogHex = Value; }
    bool TraceAllHex() const { return FTraceAllHex; }
    void SetTraceAllHex(bool Value) { FTraceAllHex = Value; }
    bool LogAllHex() const { return FLogAllHex; }
    void SetLogAllHex(bool Value) { FLogAllHex = Value; }
    void InitTracing(std::uint32_t NumEntries);
    void DumpTrace(const std::string& FName, bool InHex);
    void AppendTrace(const std::string& FName, bool InHex, TTraceLogState NewState);
    void ClearTracing();
    void AbortTracing();
    void StartTracing();
    void StopTracing();
    void AddTraceEntry(char CurEntry, std::uint8_t CurCh);
    void InitLogging(std::uint32_t Size);
    void DumpLog(const std::string& FName, bool InHex);
    void AppendLog(const std::string& FName, bool InHex, TTraceLogState NewState);
    void ClearLogging();
    void AbortLogging();
    void StartLogging();
    void StopLogging();
    void AddStringToLog(std::string_view S);

    // ---- run-time state (read-only) ----
    std::uint8_t ModemStatus();
    bool DSR();
    bool CTS();
    bool RI();
    bool DCD();
    bool DeltaDSR();
    bool DeltaCTS();
    bool DeltaRI();
    bool DeltaDCD();
    std::uint16_t LineError();
    bool LineBreak();
    TFlowControlState FlowState();
    int InBuffUsed();
    int InBuffFree();
    int OutBuffUsed();
    int OutBuffFree();
    void SetOutput(std::string_view S) { PutString(S); }

    // ---- data ----
    void PutChar(std::uint8_t C);
    void PutString(std::string_view S);
    void PutBlock(const void* Block, int Len);
    std::uint8_t GetChar();
    std::uint8_t PeekChar(std::uint16_t Count);
    void GetBlock(void* Block, int Len);
    void PeekBlock(void* Block, int Len);
    bool CharReady();
    void FlushInBuffer();
    void FlushOutBuffer();
    void SendBreak(std::uint16_t Ticks, bool Yield);
    void SetBreak(bool BreakOn);
    virtual void ProcessCommunications();

    // ---- triggers (results checked; 0 while shutting down) ----
    std::uint16_t AddDataTrigger(std::string_view Data, bool IgnoreCase);
    std::uint16_t AddTimerTrigger();
    std::uint16_t AddStatusTrigger(std::uint16_t SType);
    void RemoveTrigger(std::uint16_t Handle);
    void RemoveAllTriggers();
    void SetTimerTrigger(std::uint16_t Handle, std::uint32_t Ticks, bool Activate);
    void SetStatusTrigger(std::uint16_t Handle, std::uint16_t Value, bool Activate);

    // ---- users ----
    void RegisterUser(TWndHandle H);
    void RegisterUserEx(TWndHandle H);
    void RegisterUserCallback(TPortCallback CallBack);
    void RegisterUserCallbackEx(TPortCallbackEx CallBackEx);
    void DeregisterUser(TWndHandle H);
    void DeregisterUserCallback(TPortCallback CallBack);
    void DeregisterUserCallbackEx(TPortCallbackEx CallBackEx);

    // ---- events (UI thread) ----
    void SetOnTrigger(TTriggerEvent E);
    void SetOnTriggerAvail(TTriggerAvailEvent E);
    void SetOnTriggerData(TTriggerDataEvent E);
    void SetOnTriggerStatus(TTriggerStatusEvent E);
    void SetOnTriggerTimer(TTriggerTimerEvent E);
    void SetOnTriggerLineError(TTriggerLineErrorEvent E);
    void SetOnTriggerModemStatus(TComNotifyEvent E);
    void SetOnTriggerOutbuffFree(TComNotifyEvent E);
    void SetOnTriggerOutbuffUsed(TComNotifyEvent E);
    void SetOnTriggerOutSent(TComNotifyEvent E);
    void SetOnPortOpen(TComNotifyEvent E) { FOnPortOpen = std::move(E); }
    // The device threads ended on a failure (ecDeviceRead, ecDeviceWrite...),
    // told once on the UI thread, while the port is still open on that
    // device; the handler must not close the port inside the call. Without
    // one the failure goes to the application's exception display.
    void SetOnDeviceFailure(std::function<void(TCustomComPort* CP, std::int32_t Code)> E) {
        FOnDeviceFailure = std::move(E);
    }
    void SetOnPortClose(TComNotifyEvent E) { FOnPortClose = std::move(E); }
    void SetOnWaitChar(TWaitCharEvent E) { FOnWaitChar = std::move(E); }

    // The hidden window while the port is open (null otherwise).
    const platform::TMessageWindow* NotifyWindow() const { return FNotifyWindow.get(); }

protected:
    // ---- hooks for derived ports ----
    // The dispatcher factory: the custom procedure if any, else the layer's own.
    virtual std::unique_ptr<TBaseDispatcher> ActivateDeviceLayer();
    virtual void DeviceLayerChanged() {}
    virtual bool AcceptsDeviceLayer(TDeviceLayer Layer) const { return Layer == dlWin32; }
    // Opens the device through the dispatcher; 0 or a negative code.
    virtual int InitializePort();
    // Creates (true) or destroys (false) the hidden window and (de)registers it.
    virtual void RegisterComPort(bool Enabling);
    // Raises ENoPortSelected (or asks for a port) when ComNumber is 0.
    virtual void ValidateComport();
    virtual void Trigger(std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data);
    virtual void TriggerAvail(std::uint16_t Count);
    virtual void TriggerData(std::uint16_t TriggerHandle);
    virtual void TriggerStatus(std::uint16_t TriggerHandle);
    virtual void TriggerTimer(std::uint16_t TriggerHandle);
    virtual void UpdateHandlerFlag();
    virtual void TriggerLineError(std::uint16_t Error, bool LineBreak);
    virtual void TriggerModemStatus();
    virtual void TriggerOutbuffFree();
    virtual void TriggerOutbuffUsed();
    virtual void TriggerOutSent();
    virtual void WaitChar(std::uint8_t C);
    // The close sequence (SetOpen(false)).
    virtual void DonePort();
    // The open sequence (SetOpen(true)).
    virtual void InitPort();
    virtual void PortOpen();
    virtual void PortClose();
    virtual void PortClosing();
    // The hidden window's procedure; derived ports handle their own messages
    // and pass the rest here. Runs on the UI thread.
    virtual std::intptr_t WndProc(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam);
    // Asks the operator for a port number through the installed selector
    // (serial/PortSelector.h); 0 when cancelled or when none is installed.
    // Tests replace it.
    virtual std::uint16_t SelectPort();

    // The dispatcher; ValidDispatcher opens first when AutoOpen allows, and raises ECommNotOpen.
    TBaseDispatcher& ValidDispatcher();
    // Raises the exception for a negative result (kept quiet while loading).
    std::int32_t Check(std::int32_t Code) const;
    bool ShuttingDown() const { return FPortState == psShuttingDown; }
    bool Force() const { return FForce; }
    void SetPortState(TPortState S) { FPortState = S; }
    // The dispatcher's initial options from DTR, RTS and the flow options.
    int InitPortOptions() const;

    std::unique_ptr<TBaseDispatcher> FDispatcher;

private:
    // True while a delivery of this port waits for this thread (see the state machine above).
    bool CloseMustWait() const;
    // pw_ClosePending: the deferred close's end.
    void ContinueDeferredClose();
    // Window, threads, device, dispatcher, state: never while CloseMustWait().
    void FinishClose();
    void ApplyHWFlow();
    void ApplySWFlow();
    void ApplyTraceLog(TTraceLogState& Field, TTraceLogState Value, bool Log);
    void StatusEvent(std::uint16_t TriggerHandle);
    std::intptr_t DispatchTrigger(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam);
    bool PortIsOpen() const { return FPortState == psOpen && FDispatcher != nullptr; }
    bool AnyTriggerEvent() const;
    void NotifyUsers(TCallbackType Type);

    // Properties.
    std::uint16_t FComNumber = adpoDefComNumber;
    std::int32_t FBaud = adpoDefBaudRt;
    TParity FParity = adpoDefParity;
    std::uint16_t FDataBits = adpoDefDatabits;
    std::uint16_t FStopBits = adpoDefStopbits;
    std::uint16_t FInSize = adpoDefInSize;
    std::uint16_t FOutSize = adpoDefOutSize;
    bool FAutoOpen = true;
    bool FPromptForPort = true;
    bool FOpen = false;
    TDeviceLayer FDeviceLayer = dlWin32;
    bool FDTR = true;
    bool FRTS = true;
    THWFlowOptions FHWFlowOptions;
    TSWFlowOptions FSWFlowOptions = swfNone;
    std::uint8_t FXOnChar = adpoDefXOnChar;
    std::uint8_t FXOffChar = adpoDefXOffChar;
    std::uint16_t FBufferFull = 0;
    std::uint16_t FBufferResume = 0;
    std::uint16_t FTriggerLength = 1;
    TTraceLogState FTracing = tlOff;
    TTraceLogState FLogging = tlOff;
    std::uint32_t FTraceSize = adpoDefTraceSize;
    std::uint32_t FLogSize = adpoDefLogSize;
    std::string FTraceName = adpoDefTraceName;
    std::string FLogName = adpoDefLogName;
    bool FTraceHex = true;
    bool FLogHex = true;
    bool FTraceAllHex = false;
    bool FLogAllHex = false;
    bool FUseMSRShadow = true;
    bool FUseEventWord = true;
    std::uint16_t FCommNotificationLevel = adpoDefCommNotificationLevel;
    TTapiMode FTapiMode = tmAuto;
    bool FRS485Mode = false;
    TThreadBoost FThreadBoost = tbNone;
    std::uint16_t FBaseAddress = 0;

    // Events.
    TTriggerEvent FOnTrigger;
    TTriggerAvailEvent FOnTriggerAvail;
    TTriggerDataEvent FOnTriggerData;
    TTriggerStatusEvent FOnTriggerStatus;
    TTriggerTimerEvent FOnTriggerTimer;
    TTriggerLineErrorEvent FOnTriggerLineError;
    TComNotifyEvent FOnTriggerModemStatus;
    TComNotifyEvent FOnTriggerOutbuffFree;
    TComNotifyEvent FOnTriggerOutbuffUsed;
    TComNotifyEvent FOnTriggerOutSent;
    TComNotifyEvent FOnPortOpen;
    std::function<void(TCustomComPort*, std::int32_t)> FOnDeviceFailure;
    int FLastOpenErrno = 0;
    TComNotifyEvent FOnPortClose;
    TWaitCharEvent FOnWaitChar;

    // State (UI thread only).
    TPortState FPortState = psClosed;
    bool FOpenPending = false;
    bool FForceOpen = false;
    bool FCopyTriggers = false;
    bool FForce = false;
    std::shared_ptr<TNotifyState> FNotifyState;
    TTriggerSave FSaveTriggerBuffer;
    TActivationProcedure FCustomDispatcher;
    std::unique_ptr<platform::TMessageWindow> FNotifyWindow;
    std::vector<TUserListEntry> FUserList;
};

// The published port: adds nothing.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

} // namespace dravane::serial
