#include "serial/ComPort.h"

#include "platform/AppException.h"
#include "platform/MessageWindow.h"
#include "serial/BaseDispatcher.h"
#include "serial/PortErrors.h"
#include "serial/PortException.h"
#include "serial/PortSelector.h"
#include "serial/Win32Dispatcher.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>

namespace dravane::serial {

namespace {

// Dispatchers whose port went away inside one of its own handlers: their
// dispatcher thread waits for that handler, so they are stopped and freed
// by a call queued once the outermost handler has returned.
void ReleaseLater(std::vector<std::unique_ptr<TBaseDispatcher>> Dispatchers) {
    auto held = std::make_shared<std::vector<std::unique_ptr<TBaseDispatcher>>>(std::move(Dispatchers));
    QTimer::singleShot(0, [held] {
        std::vector<std::unique_ptr<TBaseDispatcher>> later;
        for (auto& d : *held) {
            // Still inside a delivery on this thread (an event loop run by a
            // handler): look again after a slice rather than spin.
            if (d->BusyOnThisThread())
                later.push_back(std::move(d));
            else
                d->DonePortPrim();
        }
        if (!later.empty()) {
            auto again = std::make_shared<std::vector<std::unique_ptr<TBaseDispatcher>>>(std::move(later));
            QTimer::singleShot(TBaseDispatcher::NotifySliceMs, [again] { ReleaseLater(std::move(*again)); });
        }
    });
}

} // namespace

// How many of a port's trigger events are being handled, and whether a
// handler has destroyed the port; shared so that it outlives the port.
struct TNotifyState {
    int Depth = 0;
    bool Destroyed = false;
    std::vector<std::unique_ptr<TBaseDispatcher>> Orphans;
};

namespace {

// Counts the port's trigger events being handled, also when one throws or
// destroys the port: the count outlives the port. The outermost one hands
// on the dispatchers a destroyed port left behind.
class TNotifyDepth {
public:
    explicit TNotifyDepth(std::shared_ptr<TNotifyState> state) : FState(std::move(state)) { ++FState->Depth; }
    ~TNotifyDepth() {
        if (--FState->Depth == 0 && !FState->Orphans.empty())
            ReleaseLater(std::exchange(FState->Orphans, {}));
    }
    TNotifyDepth(const TNotifyDepth&) = delete;
    TNotifyDepth& operator=(const TNotifyDepth&) = delete;
    bool PortGone() const { return FState->Destroyed; }

private:
    std::shared_ptr<TNotifyState> FState;
};

// A handler may destroy its port, and the std::function with it: the call
// runs on a copy.
template <class F, class... A> void Fire(const F& Event, A... Args) {
    if (!Event)
        return;
    const F call = Event;
    call(Args...);
}

// "Device already open" for a device the user may not open: the text adds
// the Linux reason and its remedy.
class EAccessDenied : public EAlreadyOpen {
public:
    EAccessDenied()
        : EAlreadyOpen(std::string(MessageNumberToString(ecAlreadyOpen)) +
                           " (permission denied: add the user to the dialout group with "
                           "\"sudo adduser $USER dialout\", then log in again)",
                       ecAlreadyOpen, 0) {}
};

bool AccessDenied(const TBaseDispatcher* Dispatcher) {
    const auto* serial = dynamic_cast<const TWin32Dispatcher*>(Dispatcher);
    return serial != nullptr && (serial->DeviceErrno() == EACCES || serial->DeviceErrno() == EPERM);
}

} // namespace

std::string TBaseComponent::Version() {
    return "Dravane serial components 2.0";
}

// ---------------------------------------------------------------- lifetime

TCustomComPort::TCustomComPort() : FNotifyState(std::make_shared<TNotifyState>()) {}

TCustomComPort::~TCustomComPort() {
    FNotifyState->Destroyed = true;
    try {
        DonePort();
    } catch (const std::exception&) {
        // A destructor has no caller to tell; the port is released below in any case.
    }
    RegisterComPort(false);
    if (FDispatcher) {
        if (CloseMustWait())
            FNotifyState->Orphans.push_back(std::move(FDispatcher));
        else
            FinishClose();
    }
    // Destroyed outside the port's handlers while its dispatcher still delivers on this thread.
    if (FNotifyState->Depth == 0 && !FNotifyState->Orphans.empty())
        ReleaseLater(std::exchange(FNotifyState->Orphans, {}));
    FUserList.clear();
    TBaseDispatcher::ClearSaveBuffers(FSaveTriggerBuffer);
}

void TCustomComPort::Assign(const TCustomComPort& Source) {
    FComNumber = Source.FComNumber;
    FBaud = Source.FBaud;
    FParity = Source.FParity;
    FDataBits = Source.FDataBits;
    FStopBits = Source.FStopBits;
    FInSize = Source.FInSize;
    FOutSize = Source.FOutSize;
    FAutoOpen = Source.FAutoOpen;
    FPromptForPort = Source.FPromptForPort;
    FDeviceLayer = Source.FDeviceLayer;
    FDTR = Source.FDTR;
    FRTS = Source.FRTS;
    FHWFlowOptions = Source.FHWFlowOptions;
    FSWFlowOptions = Source.FSWFlowOptions;
    FXOnChar = Source.FXOnChar;
    FXOffChar = Source.FXOffChar;
    FBufferFull = Source.FBufferFull;
    FBufferResume = Source.FBufferResume;
    FTriggerLength = Source.FTriggerLength;
    FTracing = Source.FTracing;
    FLogging = Source.FLogging;
    FTraceSize = Source.FTraceSize;
    FLogSize = Source.FLogSize;
    FTraceName = Source.FTraceName;
    FLogName = Source.FLogName;
    FTraceHex = Source.FTraceHex;
    FLogHex = Source.FLogHex;
    FTraceAllHex = Source.FTraceAllHex;
    FLogAllHex = Source.FLogAllHex;
    FUseMSRShadow = Source.FUseMSRShadow;
    FUseEventWord = Source.FUseEventWord;
    FCommNotificationLevel = Source.FCommNotificationLevel;
    FTapiMode = Source.FTapiMode;
    FRS485Mode = Source.FRS485Mode;
    FThreadBoost = Source.FThreadBoost;
    FBaseAddress = Source.FBaseAddress;
}

void TCustomComPort::Loaded() {
    TBaseComponent::Loaded();
    if (!FForceOpen)
        return;
    FForceOpen = false;
    FOpen = false;
    try {
        SetOpen(true);
    } catch (const std::exception& e) {
        platform::ShowException(e);
    }
}

// ---------------------------------------------------------------- opening and closing

void TCustomComPort::SetOpen(bool Enable) {
    if (ComponentLoading()) {
        FOpen = Enable;
        FForceOpen = Enable;
        return;
    }
    if (FPortState == psShuttingDown) {
        // Inside a handler Open still reads True; what counts is the latest
        // wish, performed when the close completes.
        if (CloseMustWait()) {
            FOpenPending = Enable;
            return;
        }
        FOpenPending = false;
        FinishClose();
    }
    if (Enable == FOpen)
        return;
    if (Enable)
        InitPort();
    else
        DonePort();
}

void TCustomComPort::ForcePortOpen() {
    SetOpen(true);
}

std::unique_ptr<TBaseDispatcher> TCustomComPort::ActivateDeviceLayer() {
    if (FCustomDispatcher)
        return FCustomDispatcher(this);
    if (FDeviceLayer == dlWin32 && FTapiMode != tmOn)
        return std::make_unique<TWin32Dispatcher>(this);
    // No telephony layer exists here, and no other layer belongs to this class.
    throw ENullApi();
}

int TCustomComPort::InitPortOptions() const {
    int options = 0;
    if (FDTR)
        options |= ipAssertDTR;
    if (FRTS)
        options |= ipAssertRTS;
    if (FHWFlowOptions.Contains(hwfUseDTR))
        options |= ipAutoDTR;
    if (FHWFlowOptions.Contains(hwfUseRTS))
        options |= ipAutoRTS;
    return options;
}

int TCustomComPort::InitializePort() {
    // The device layer resolves the number through the COM-number table; the
    // device-namespace prefix is kept for layers that expect it.
    return FDispatcher->InitPort("\\\\.\\COM" + std::to_string(FComNumber), FBaud, FParity, FDataBits,
                                 FStopBits, FInSize, FOutSize, InitPortOptions());
}

void TCustomComPort::InitPort() {
    if (FTapiMode != tmOn)
        ValidateComport();
    try {
        FLastOpenErrno = 0;
        FDispatcher = ActivateDeviceLayer();
        FDispatcher->DeviceName = "COM" + std::to_string(FComNumber);
        if (FOnDeviceFailure) {
            // Only while this port lives and still uses this dispatcher.
            const std::weak_ptr<TNotifyState> state = FNotifyState;
            const TBaseDispatcher* mine = FDispatcher.get();
            FDispatcher->OnDeviceFailure = [this, state, mine](int Code) {
                const auto s = state.lock();
                if (s && !s->Destroyed && FDispatcher.get() == mine && FPortState == psOpen)
                    Fire(FOnDeviceFailure, this, static_cast<std::int32_t>(Code));
            };
        }
        int rc = InitializePort();
        if (rc == ecFileAccessDenied && AccessDenied(FDispatcher.get()))
            throw EAccessDenied();
        if (rc == ecFileAccessDenied)
            rc = ecAlreadyOpen;
        else if (rc == ecFileNotFound || rc == ecPathNotFound)
            rc = ecBadId;
        if (rc < 0)
            RaisePortError(rc);

        FPortState = psOpen;
        UpdateHandlerFlag();
        FForce = true;
        SetTracing(FTracing);
        SetLogging(FLogging);
        SetHWFlowOptions(FHWFlowOptions);
        SetSWFlowOptions(FSWFlowOptions);
        SetXOnChar(FXOnChar);
        SetXOffChar(FXOffChar);
        SetTriggerLength(FTriggerLength);
        SetDTR(FDTR);
        SetRTS(FRTS);
        SetUseEventWord(FUseEventWord);
        SetRS485Mode(FRS485Mode);
        SetThreadBoost(FThreadBoost);
        FForce = false;
        FOpen = true;

        RegisterComPort(true);
        if (FCopyTriggers) {
            FCopyTriggers = false;
            FDispatcher->RestoreTriggers(FSaveTriggerBuffer);
        }
        PortOpen();
    } catch (...) {
        FForce = false;
        FOpen = false;
        FPortState = psClosed;
        // The window goes first: a notification queued for it is cancelled,
        // so stopping the threads never waits for this thread.
        RegisterComPort(false);
        if (const auto* serial = dynamic_cast<const TWin32Dispatcher*>(FDispatcher.get()))
            FLastOpenErrno = serial->DeviceErrno();
        if (FDispatcher) {
            FDispatcher->DonePortPrim();
            FDispatcher.reset();
        }
        throw;
    }
}

void TCustomComPort::DonePort() {
    if (FPortState != psOpen)
        return;
    // A trace or log that cannot be written must not keep the port open.
    std::exception_ptr dumpFailure;
    try {
        SetTracing(tlDump);
        SetLogging(tlDump);
    } catch (...) {
        dumpFailure = std::current_exception();
        FTracing = FLogging = tlOff;
    }
    FPortState = psShuttingDown;
    PortClosing();
    FDispatcher->SaveTriggers(FSaveTriggerBuffer);
    FCopyTriggers = true;
    if (CloseMustWait()) {
        // The delivery waits for this thread: free the device now, finish
        // when the delivery has ended (pw_ClosePending).
        FDispatcher->ReleaseDevice();
        FDispatcher->DonePort();
    } else {
        FinishClose();
    }
    PortClose();
    if (dumpFailure)
        std::rethrow_exception(dumpFailure);
}

bool TCustomComPort::CloseMustWait() const {
    return FNotifyState->Depth > 0 || (FDispatcher && FDispatcher->BusyOnThisThread());
}

void TCustomComPort::ContinueDeferredClose() {
    // Told again by the next delivery's end when this one cannot finish yet.
    if (FPortState != psShuttingDown || CloseMustWait())
        return;
    FinishClose();
    if (FOpenPending) {
        FOpenPending = false;
        InitPort();
    }
}

void TCustomComPort::FinishClose() {
    // The window goes first: a notification queued for it is dropped, so
    // the dispatcher thread stops waiting for this thread.
    RegisterComPort(false);
    std::unique_ptr<TBaseDispatcher> done = std::move(FDispatcher);
    if (done)
        done->DonePortPrim();
    done.reset();
    FPortState = psClosed;
    FOpen = false;
}

void TCustomComPort::RegisterComPort(bool Enabling) {
    if (Enabling) {
        if (!FNotifyWindow)
            FNotifyWindow = std::make_unique<platform::TMessageWindow>(
                [this](std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
                    return WndProc(Msg, wParam, lParam);
                });
        if (FDispatcher)
            FDispatcher->RegisterWndTriggerHandler(FNotifyWindow.get(), true);
        return;
    }
    if (!FNotifyWindow)
        return;
    if (FDispatcher)
        FDispatcher->DeregisterWndTriggerHandler(FNotifyWindow.get());
    FNotifyWindow.reset();
}

void TCustomComPort::ValidateComport() {
    if (FComNumber != 0)
        return;
    if (!FPromptForPort)
        throw ENoPortSelected();
    const std::uint16_t chosen = SelectPort();
    if (chosen == 0)
        throw ENoPortSelected();
    FComNumber = chosen;
}

std::uint16_t TCustomComPort::SelectPort() {
    // A copy: the selector may replace itself while it asks.
    const TPortSelector selector = PortSelector();
    if (!selector)
        return 0;
    std::unique_ptr<TBaseDispatcher> probe = ActivateDeviceLayer();
    return selector([&probe](int n) { return probe->CheckPort("COM" + std::to_string(n)); });
}

TBaseDispatcher& TCustomComPort::ValidDispatcher() {
    if (!FDispatcher && FAutoOpen && FPortState == psClosed && !ComponentLoading())
        SetOpen(true);
    if (!FDispatcher)
        throw ECommNotOpen();
    return *FDispatcher;
}

std::int32_t TCustomComPort::Check(std::int32_t Code) const {
    return CheckException(ComponentLoading(), Code);
}

// ---------------------------------------------------------------- users

void TCustomComPort::NotifyUsers(TCallbackType Type) {
    // Last to first; a user may deregister while it is told.
    for (std::size_t k = FUserList.size(); k-- > 0;) {
        if (k >= FUserList.size())
            continue;
        const TUserListEntry user = FUserList[k];
        if (Type == ctClosing && !user.IsEx)
            continue;
        if (user.Handle) {
            const std::uint32_t msg = Type == ctOpen      ? pw_PortOpen
                                      : Type == ctClosing ? pw_ClosePending
                                                          : pw_PortClose;
            user.Handle->Send(msg, 0, 0, TBaseDispatcher::NotifyTimeoutMs);
        } else if (user.IsEx) {
            if (user.CallbackEx)
                user.CallbackEx(this, Type);
        } else if (user.Callback) {
            user.Callback(this, Type == ctOpen);
        }
    }
}

void TCustomComPort::PortOpen() {
    NotifyUsers(ctOpen);
    if (FOnPortOpen)
        FOnPortOpen(this);
}

void TCustomComPort::PortClosing() {
    NotifyUsers(ctClosing);
}

void TCustomComPort::PortClose() {
    NotifyUsers(ctClosed);
    if (FOnPortClose)
        FOnPortClose(this);
}

void TCustomComPort::RegisterUser(TWndHandle H) {
    FUserList.push_back({H, {}, {}, false});
}
void TCustomComPort::RegisterUserEx(TWndHandle H) {
    FUserList.push_back({H, {}, {}, true});
}
void TCustomComPort::RegisterUserCallback(TPortCallback CallBack) {
    FUserList.push_back({nullptr, CallBack, {}, false});
}
void TCustomComPort::RegisterUserCallbackEx(TPortCallbackEx CallBackEx) {
    FUserList.push_back({nullptr, {}, CallBackEx, true});
}

namespace {
template <class Pred> void EraseFirst(std::vector<TUserListEntry>& list, Pred pred) {
    auto it = std::find_if(list.begin(), list.end(), pred);
    if (it != list.end())
        list.erase(it);
}
} // namespace

void TCustomComPort::DeregisterUser(TWndHandle H) {
    EraseFirst(FUserList, [&](const TUserListEntry& e) { return e.Handle == H && H != nullptr; });
}
void TCustomComPort::DeregisterUserCallback(TPortCallback CallBack) {
    EraseFirst(FUserList,
               [&](const TUserListEntry& e) { return !e.Handle && !e.IsEx && e.Callback == CallBack; });
}
void TCustomComPort::DeregisterUserCallbackEx(TPortCallbackEx CallBackEx) {
    EraseFirst(FUserList,
               [&](const TUserListEntry& e) { return !e.Handle && e.IsEx && e.CallbackEx == CallBackEx; });
}

// ---------------------------------------------------------------- the hidden window

std::intptr_t TCustomComPort::WndProc(std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t lParam) {
    switch (Msg) {
    case pw_TriggerAvail:
    case pw_TriggerData:
    case pw_TriggerTimer:
    case pw_TriggerStatus:
        return DispatchTrigger(Msg, wParam, lParam);
    case pw_ClosePending:
        ContinueDeferredClose();
        return 0;
    default:
        return 0;
    }
}

std::intptr_t TCustomComPort::DispatchTrigger(std::uint32_t Msg, std::uintptr_t wParam,
                                              std::intptr_t lParam) {
    const auto handle = static_cast<std::uint16_t>((lParam >> 16) & 0xFFFF);
    TBaseDispatcher* found;
    TBaseDispatcher::LockPortList();
    found = TBaseDispatcher::GetTComRecPtr(handle);
    TBaseDispatcher::UnlockPortList();
    // Only this port's current dispatcher, and only while open: a closing
    // port has discarded its bytes and reads nothing.
    if (found == nullptr || found != FDispatcher.get() || FPortState != psOpen)
        return 0;
    const auto trigger = static_cast<std::uint16_t>(wParam);
    const auto data = Msg == pw_TriggerAvail ? trigger : static_cast<std::uint16_t>(lParam & 0xFFFF);
    // A handler may destroy the port: nothing of it is touched after that.
    // The dispatcher outlives this call (its thread waits for it).
    const TBaseDispatcher::THandlerScope reads(*found);
    const TNotifyDepth depth(FNotifyState);
    try {
        Trigger(static_cast<std::uint16_t>(Msg), trigger, data);
        if (depth.PortGone())
            return 0;
        switch (Msg) {
        case pw_TriggerAvail:
            TriggerAvail(trigger);
            break;
        case pw_TriggerData:
            TriggerData(trigger);
            break;
        case pw_TriggerTimer:
            TriggerTimer(trigger);
            break;
        case pw_TriggerStatus:
            TriggerStatus(trigger);
            if (!depth.PortGone())
                StatusEvent(trigger);
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        platform::ShowException(e);
    }
    return 0;
}

void TCustomComPort::StatusEvent(std::uint16_t TriggerHandle) {
    switch (TBaseDispatcher::ClassifyStatusTrigger(TriggerHandle)) {
    case stModem:
        TriggerModemStatus();
        break;
    case stLine:
        TriggerLineError(LineError(), LineBreak());
        break;
    case stOutBuffFree:
        TriggerOutbuffFree();
        break;
    case stOutBuffUsed:
        TriggerOutbuffUsed();
        break;
    case stOutSent:
        TriggerOutSent();
        break;
    default:
        break;
    }
}

void TCustomComPort::Trigger(std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data) {
    Fire(FOnTrigger, this, Msg, TriggerHandle, Data);
}
void TCustomComPort::TriggerAvail(std::uint16_t Count) {
    Fire(FOnTriggerAvail, this, Count);
}
void TCustomComPort::TriggerData(std::uint16_t TriggerHandle) {
    Fire(FOnTriggerData, this, TriggerHandle);
}
void TCustomComPort::TriggerStatus(std::uint16_t TriggerHandle) {
    Fire(FOnTriggerStatus, this, TriggerHandle);
}
void TCustomComPort::TriggerTimer(std::uint16_t TriggerHandle) {
    Fire(FOnTriggerTimer, this, TriggerHandle);
}
void TCustomComPort::TriggerLineError(std::uint16_t Error, bool LineBreak) {
    Fire(FOnTriggerLineError, this, Error, LineBreak);
}
void TCustomComPort::TriggerModemStatus() {
    Fire(FOnTriggerModemStatus, this);
}
void TCustomComPort::TriggerOutbuffFree() {
    Fire(FOnTriggerOutbuffFree, this);
}
void TCustomComPort::TriggerOutbuffUsed() {
    Fire(FOnTriggerOutbuffUsed, this);
}
void TCustomComPort::TriggerOutSent() {
    Fire(FOnTriggerOutSent, this);
}
void TCustomComPort::WaitChar(std::uint8_t C) {
    Fire(FOnWaitChar, this, C);
}

bool TCustomComPort::AnyTriggerEvent() const {
    return FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus || FOnTriggerTimer ||
           FOnTriggerLineError || FOnTriggerModemStatus || FOnTriggerOutbuffFree || FOnTriggerOutbuffUsed ||
           FOnTriggerOutSent;
}

void TCustomComPort::UpdateHandlerFlag() {
    if (!PortIsOpen())
        return;
    FDispatcher->UpdateHandlerFlags(AnyTriggerEvent() ? fuEnablePort : fuDisablePort);
}

void TCustomComPort::SetOnTrigger(TTriggerEvent E) {
    FOnTrigger = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent E) {
    FOnTriggerAvail = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerData(TTriggerDataEvent E) {
    FOnTriggerData = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent E) {
    FOnTriggerStatus = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent E) {
    FOnTriggerTimer = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent E) {
    FOnTriggerLineError = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerModemStatus(TComNotifyEvent E) {
    FOnTriggerModemStatus = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerOutbuffFree(TComNotifyEvent E) {
    FOnTriggerOutbuffFree = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerOutbuffUsed(TComNotifyEvent E) {
    FOnTriggerOutbuffUsed = std::move(E);
    UpdateHandlerFlag();
}
void TCustomComPort::SetOnTriggerOutSent(TComNotifyEvent E) {
    FOnTriggerOutSent = std::move(E);
    UpdateHandlerFlag();
}

// ---------------------------------------------------------------- run-time state

bool TCustomComPort::DeviceLost() const {
    return PortIsOpen() && FDispatcher->DeviceLost();
}

std::uint8_t TCustomComPort::ModemStatus() {
    TBaseDispatcher& d = ValidDispatcher();
    return ShuttingDown() ? 0 : d.GetModemStatus();
}
bool TCustomComPort::DSR() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckDSR();
}
bool TCustomComPort::CTS() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckCTS();
}
bool TCustomComPort::RI() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckRI();
}
bool TCustomComPort::DCD() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckDCD();
}
bool TCustomComPort::DeltaDSR() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckDeltaDSR();
}
bool TCustomComPort::DeltaCTS() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckDeltaCTS();
}
bool TCustomComPort::DeltaRI() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckDeltaRI();
}
bool TCustomComPort::DeltaDCD() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckDeltaDCD();
}
std::uint16_t TCustomComPort::LineError() {
    TBaseDispatcher& d = ValidDispatcher();
    return ShuttingDown() ? leNoError : d.GetLineError();
}
bool TCustomComPort::LineBreak() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CheckLineBreak();
}
TFlowControlState TCustomComPort::FlowState() {
    TBaseDispatcher& d = ValidDispatcher();
    if (ShuttingDown())
        return fcOff;
    const int hw = d.HWFlowState();
    return static_cast<TFlowControlState>(hw != fcOff ? hw : d.SWFlowState());
}

int TCustomComPort::InBuffUsed() {
    return PortIsOpen() ? FDispatcher->InBuffUsed() : 0;
}
int TCustomComPort::InBuffFree() {
    return PortIsOpen() ? FDispatcher->InBuffFree() : DispatchBufferSize;
}
int TCustomComPort::OutBuffUsed() {
    return PortIsOpen() ? FDispatcher->OutBuffUsed() : 0;
}
int TCustomComPort::OutBuffFree() {
    return PortIsOpen() ? FDispatcher->OutBuffFree() : FOutSize;
}

// ---------------------------------------------------------------- data

void TCustomComPort::PutChar(std::uint8_t C) {
    PutBlock(&C, 1);
}
void TCustomComPort::PutString(std::string_view S) {
    PutBlock(S.data(), static_cast<int>(S.size()));
}
void TCustomComPort::PutBlock(const void* Block, int Len) {
    TBaseDispatcher& d = ValidDispatcher();
    if (ShuttingDown())
        return;
    // Nothing would ever take the bytes out: say so rather than queue them.
    if (d.DeviceLost()) {
        Check(d.DeviceFailure());
        return;
    }
    Check(d.PutBlock(Block, Len));
}

std::uint8_t TCustomComPort::GetChar() {
    TBaseDispatcher& d = ValidDispatcher();
    std::uint8_t c = 0;
    if (!ShuttingDown())
        Check(d.GetChar(c));
    return c;
}
std::uint8_t TCustomComPort::PeekChar(std::uint16_t Count) {
    TBaseDispatcher& d = ValidDispatcher();
    std::uint8_t c = 0;
    if (!ShuttingDown())
        Check(d.PeekChar(c, Count));
    return c;
}
void TCustomComPort::GetBlock(void* Block, int Len) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.GetBlock(Block, Len));
}
void TCustomComPort::PeekBlock(void* Block, int Len) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.PeekBlock(Block, Len));
}
bool TCustomComPort::CharReady() {
    TBaseDispatcher& d = ValidDispatcher();
    return !ShuttingDown() && d.CharReady();
}
void TCustomComPort::FlushInBuffer() {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.FlushInBuffer());
}
void TCustomComPort::FlushOutBuffer() {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.FlushOutBuffer());
}
void TCustomComPort::SendBreak(std::uint16_t Ticks, bool Yield) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        d.SendBreak(Ticks, Yield);
}
void TCustomComPort::SetBreak(bool BreakOn) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.SetBreak(BreakOn));
}
void TCustomComPort::ProcessCommunications() {
    ValidDispatcher().ProcessCommunications();
}

// ---------------------------------------------------------------- triggers

std::uint16_t TCustomComPort::AddDataTrigger(std::string_view Data, bool IgnoreCase) {
    TBaseDispatcher& d = ValidDispatcher();
    if (ShuttingDown())
        return 0;
    return static_cast<std::uint16_t>(
        Check(d.AddDataTriggerLen(Data.data(), IgnoreCase, static_cast<int>(Data.size()))));
}
std::uint16_t TCustomComPort::AddTimerTrigger() {
    TBaseDispatcher& d = ValidDispatcher();
    return ShuttingDown() ? 0 : static_cast<std::uint16_t>(Check(d.AddTimerTrigger()));
}
std::uint16_t TCustomComPort::AddStatusTrigger(std::uint16_t SType) {
    TBaseDispatcher& d = ValidDispatcher();
    return ShuttingDown() ? 0 : static_cast<std::uint16_t>(Check(d.AddStatusTrigger(SType)));
}
void TCustomComPort::RemoveTrigger(std::uint16_t Handle) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.RemoveTrigger(Handle));
}
void TCustomComPort::RemoveAllTriggers() {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        d.RemoveAllTriggers();
}
void TCustomComPort::SetTimerTrigger(std::uint16_t Handle, std::uint32_t Ticks, bool Activate) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.SetTimerTrigger(Handle, Ticks, Activate));
}
void TCustomComPort::SetStatusTrigger(std::uint16_t Handle, std::uint16_t Value, bool Activate) {
    TBaseDispatcher& d = ValidDispatcher();
    if (!ShuttingDown())
        Check(d.SetStatusTrigger(Handle, Value, Activate));
}

} // namespace dravane::serial
