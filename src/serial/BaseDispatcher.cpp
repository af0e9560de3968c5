#include "serial/BaseDispatcher.h"

#include "serial/PortErrors.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace dravane::serial {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The global port list: a dispatcher's handle is its slot index.
struct TPortList {
    std::recursive_mutex Lock;
    std::vector<TBaseDispatcher*> Slots; // guard: Lock
    TBaseDispatcher* CacheRec = nullptr; // guard: Lock
    int CacheHandle = -1;                // guard: Lock
};

TPortList& PortList() {
    static TPortList list;
    return list;
}

// Rates behind the legacy rate codes 0xFF10..0xFF27; 0 for reserved codes.
constexpr std::array<std::uint32_t, 24> LegacyRates{
    110, 300, 600, 1200,  2400, 4800, 9600, 14400,  19200, 0, 0, 38400,
    0,   0,   0,   56000, 0,    0,    0,    128000, 0,     0, 0, 256000,
};

std::uint32_t EffectiveRate(std::uint32_t baud) {
    if (baud == 0xFEFF)
        return 115200;
    if (baud >= 0xFF10 && baud <= 0xFF27)
        return LegacyRates[baud - 0xFF10];
    return baud;
}

} // namespace

// ---------------------------------------------------------------- lifetime

TBaseDispatcher::TBaseDispatcher(TCustomComPort* Owner, const platform::TMsClock& Clock)
    : FClock(Clock), fOwner(Owner) {
    TPortList& list = PortList();
    std::lock_guard lock(list.Lock);
    auto slot = std::find(list.Slots.begin(), list.Slots.end(), nullptr);
    if (slot == list.Slots.end()) {
        if (list.Slots.size() > 0xFFFF)
            throw std::runtime_error("No more handles, can't open port");
        slot = list.Slots.insert(list.Slots.end(), nullptr);
    }
    *slot = this;
    fHandle = static_cast<std::uint16_t>(slot - list.Slots.begin());
}

TBaseDispatcher::~TBaseDispatcher() {
    {
        std::scoped_lock lock(DataSection, DispSection, OutputSection);
        DBuffer.clear();
        OBuffer.clear();
    }
    TPortList& list = PortList();
    std::lock_guard lock(list.Lock);
    if (fHandle < list.Slots.size() && list.Slots[fHandle] == this)
        list.Slots[fHandle] = nullptr;
    while (!list.Slots.empty() && list.Slots.back() == nullptr)
        list.Slots.pop_back();
    if (list.CacheRec == this) {
        list.CacheRec = nullptr;
        list.CacheHandle = -1;
    }
}

void TBaseDispatcher::LockPortList() {
    PortList().Lock.lock();
}
void TBaseDispatcher::UnlockPortList() {
    PortList().Lock.unlock();
}

TBaseDispatcher* TBaseDispatcher::GetTComRecPtr(std::uint16_t Handle) {
    TPortList& list = PortList();
    std::lock_guard lock(list.Lock);
    if (list.CacheRec != nullptr && list.CacheHandle == Handle)
        return list.CacheRec;
    if (Handle >= list.Slots.size())
        return nullptr;
    list.CacheRec = list.Slots[Handle];
    list.CacheHandle = list.CacheRec != nullptr ? Handle : -1;
    return list.CacheRec;
}

void TBaseDispatcher::ThreadEnded() {
    if (ActiveThreads.fetch_sub(1) == 1)
        DispActive = false;
}

// ---------------------------------------------------------------- open and close

int TBaseDispatcher::SetCommBuffers(int InSize, int OutSize) {
    return SetupCom(InSize, OutSize) ? ecOK : DeviceErrorCode();
}

int TBaseDispatcher::InitSocket(int InSize, int OutSize) {
    return InitPort(std::string(), 0, -1, 0, 0, InSize, OutSize, 0);
}

// Baud 0 with parity -1 is the socket open: no line to program.
int TBaseDispatcher::InitPort(const std::string& ComName, std::int32_t Baud, int Parity, int DataBits,
                              int StopBits, int InSize, int OutSize, int FlowOpts) {
    const bool socket = Parity < 0;
    RingFlag = false;
    using platform::TEvent;
    GeneralEvent = std::make_unique<TEvent>(TEvent::rmAutomatic);
    OutputEvent = std::make_unique<TEvent>(TEvent::rmAutomatic);
    SentEvent = std::make_unique<TEvent>(TEvent::rmManual);
    OutFlushEvent = std::make_unique<TEvent>(TEvent::rmAutomatic);
    {
        Lock data(DataSection);
        fEventBusy = false;
        DeletePending = false;
    }
    try {
        const int cid = OpenCom(ComName, InSize, OutSize);
        if (cid < 0) {
            const int rc = DeviceErrorCode();
            DonePort();
            return rc;
        }
        CidEx = cid;
        if (int rc = SetCommBuffers(InSize, OutSize); rc < 0) {
            DonePort();
            return rc;
        }
        {
            std::scoped_lock lock(DataSection, DispSection, OutputSection);
            DBuffer.assign(DispatchBufferSize, 0);
            OBuffer.assign(static_cast<std::size_t>(std::max(OutSize, 0)), 0);
            DBufHead = DBufTail = 0;
            OBufHead = OBufTail = 0;
            OBufFull = false;
            InQue = InSize;
            OutQue = std::max(OutSize, 0);
            DispatchFull = false;
            GetCount = MaxGetCount = 0;
            RS485Mode = false;
            BaseAddress = 0;
        }
        LastError = 0;
        OutSentPending = false;
        FSentSinceLineSet = false;
        ClosePending = false;
        FDeviceFailure = 0;
        LastLineErr = 0;
        LastModemStatus = 0;
        if (!socket) {
            Lock data(DataSection);
            GetComState(DCB);
            DTRAuto = (FlowOpts & ipAutoDTR) != 0;
            DTRState = (FlowOpts & ipAssertDTR) != 0;
            RTSAuto = (FlowOpts & ipAutoRTS) != 0;
            RTSState = (FlowOpts & ipAssertRTS) != 0;
            if (DTRAuto)
                DCB.SetDtrControl(TDCB::CONTROL_HANDSHAKE);
            if (RTSAuto)
                DCB.SetRtsControl(TDCB::CONTROL_HANDSHAKE);
        }
        RemoveAllTriggers();
        {
            std::scoped_lock lock(DataSection, DispSection);
            LastTailData = 0;
            LastTailLen = 1;
            NotifyTail = 0;
            FScanPending = FNotifyPending = 0;
            InAvailMessage = false;
        }
        ModemStatus = 0;
        ModemStatus = GetComModemStatus() & ClearDelta;
        {
            Lock data(DataSection);
            LastBaud = 115200;
        }
        if (!socket) {
            if (int rc = SetLine(Baud, Parity, DataBits, StopBits); rc < 0) {
                DonePort();
                return rc;
            }
        }
        RefreshStatus();
        AbortTracing();
        AbortDispatchLogging();
        FDiag.SetTimeBase(FClock.NowMs());
        StartDispatcher();
        return ecOK;
    } catch (const std::bad_alloc&) {
        DonePort();
        return ecOutOfMemory;
    } catch (...) {
        DonePort();
        throw;
    }
}

// A close requested while a notification is being delivered only discards
// the buffered bytes and marks itself pending: the handler may be waiting
// on this very thread, so nothing here may wait for the dispatcher thread.
// DonePortPrim finishes it (StopDispatcher closes the device).
void TBaseDispatcher::DonePort() {
    bool busy;
    {
        Lock data(DataSection);
        busy = fEventBusy;
        if (busy)
            ClosePending = true;
    }
    if (CidEx >= 0) {
        FlushOutBuffer();
        FlushInBuffer();
        if (!busy) {
            CloseCom();
            CidEx = -1;
        }
    }
    if (!busy)
        DonePortPrim();
}

void TBaseDispatcher::DonePortPrim() {
    DoDonePortPrim = false;
    if (DispActive)
        StopDispatcher();
    if (CidEx >= 0) {
        CloseCom();
        CidEx = -1;
    }
    std::scoped_lock lock(DataSection, DispSection, OutputSection);
    DBuffer.clear();
    DBuffer.shrink_to_fit();
    OBuffer.clear();
    OBuffer.shrink_to_fit();
    DBufHead = DBufTail = 0;
    DispatchFull = false;
    OBufHead = OBufTail = 0;
    OBufFull = false;
}

// ---------------------------------------------------------------- line

std::uint32_t TBaseDispatcher::DrainDelayMs(std::uint32_t Baud, int ByteSize, int Parity, int StopBitsCode) {
    const std::uint64_t rate = EffectiveRate(Baud);
    if (rate == 0)
        return 0;
    const std::uint64_t bits = static_cast<std::uint64_t>(std::clamp(ByteSize, 0, 255)) + 1 +
                               (Parity != NOPARITY ? 1 : 0) + (StopBitsCode == ONESTOPBIT ? 1 : 2);
    std::uint64_t units = (10000000 / rate) * bits * 18; // 100 ns units
    if (units < 10000)
        units *= 2;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>((units + 9999) / 10000, 1000));
}

// Waits, at most 10 s, until the write thread has taken every byte of the
// output buffer; it signals SentEvent when it empties the buffer.
void TBaseDispatcher::WaitTxSent() {
    constexpr int SliceMs = 50;
    for (int waited = 0; waited < 10000; waited += SliceMs) {
        if (SentEvent)
            SentEvent->Reset();
        if (OutBufUsed() <= 0)
            return;
        if (SentEvent)
            SentEvent->Wait(std::chrono::milliseconds(SliceMs));
        else
            FClock.SleepMs(SliceMs);
    }
}

int TBaseDispatcher::SetLine(std::int32_t Baud, int Parity, int DataBits, int StopBits) {
    TDCB wanted;
    std::uint32_t oldBaud = 0;
    {
        Lock data(DataSection);
        TDCB cur;
        GetComState(cur);
        wanted = cur;
        if (Baud != DontChangeBaud)
            wanted.BaudRate = static_cast<std::uint32_t>(Baud);
        if (Parity != DontChangeParity)
            wanted.Parity = static_cast<std::uint8_t>(std::clamp(Parity, 0, 4));
        if (DataBits != DontChangeDatabits)
            wanted.ByteSize = static_cast<std::uint8_t>(std::clamp(DataBits, 5, 8));
        if (StopBits != DontChangeStopbits)
            wanted.StopBits = std::clamp(StopBits, 1, 2) == 1 ? ONESTOPBIT : TWOSTOPBITS;
        if (wanted.ByteSize == 5)
            wanted.StopBits = ONE5STOPBITS;
        wanted.Flags |= TDCB::fBinary | TDCB::fTXContinueOnXoff;
        wanted.Flags &= ~(TDCB::fParity | TDCB::fDsrSensitivity | TDCB::fNull);
        if (wanted == cur)
            return ecOK;
        oldBaud = LastBaud;
    }
    if (FSentSinceLineSet.exchange(false)) {
        WaitTxSent();
        FClock.SleepMs(DrainDelayMs(oldBaud, wanted.ByteSize, wanted.Parity, wanted.StopBits));
    }
    Lock data(DataSection);
    TDCB cur;
    GetComState(cur);
    cur.BaudRate = wanted.BaudRate;
    cur.Parity = wanted.Parity;
    cur.ByteSize = wanted.ByteSize;
    cur.StopBits = wanted.StopBits;
    cur.Flags = wanted.Flags;
    return SetCommStateFix(cur);
}

int TBaseDispatcher::SetCommStateFix(TDCB& NewDCB) {
    if (!DTRAuto)
        NewDCB.SetDtrControl(DTRState ? TDCB::CONTROL_ENABLE : TDCB::CONTROL_DISABLE);
    if (!RTSAuto)
        NewDCB.SetRtsControl(RTSState ? TDCB::CONTROL_ENABLE : TDCB::CONTROL_DISABLE);
    const int rc = SetComState(NewDCB);
    DCB = NewDCB;
    LastBaud = NewDCB.BaudRate;
    if (!DTRAuto)
        EscapeComFunction(DTRState ? SETDTR : CLRDTR);
    if (!RTSAuto && !RS485Mode)
        EscapeComFunction(RTSState ? SETRTS : CLRRTS);
    return rc;
}

void TBaseDispatcher::GetLine(std::int32_t& Baud, int& Parity, int& DataBits, int& StopBits) {
    Lock data(DataSection);
    GetComState(DCB);
    Baud = static_cast<std::int32_t>(DCB.BaudRate);
    Parity = DCB.Parity;
    DataBits = DCB.ByteSize;
    StopBits = DCB.StopBits == ONESTOPBIT ? 1 : 2;
}

int TBaseDispatcher::SetDtr(bool OnOff) {
    Lock data(DataSection);
    if (DTRAuto)
        return 1;
    if (EscapeComFunction(OnOff ? SETDTR : CLRDTR) != 0)
        return ecBadArgument;
    DTRState = OnOff;
    return ecOK;
}

int TBaseDispatcher::SetRts(bool OnOff) {
    Lock data(DataSection);
    if (RTSAuto)
        return 1;
    if (EscapeComFunction(OnOff ? SETRTS : CLRRTS) != 0)
        return ecBadArgument;
    RTSState = OnOff;
    return ecOK;
}

int TBaseDispatcher::SetModem(bool Dtr, bool Rts) {
    const int rc = SetDtr(Dtr);
    return rc < 0 ? rc : SetRts(Rts);
}

void TBaseDispatcher::SetModemLines(std::uint8_t Set, std::uint8_t Clear) {
    std::uint8_t old = ModemStatus.load();
    std::uint8_t next;
    do {
        const std::uint8_t lines =
            static_cast<std::uint8_t>((old & ClearDelta & ~Clear) | (Set & ClearDelta));
        next = static_cast<std::uint8_t>((old & ~ClearDelta) | lines | ((lines ^ old) >> 4));
    } while (!ModemStatus.compare_exchange_weak(old, next));
}

void TBaseDispatcher::MapEventsToMS(std::uint32_t Event) {
    std::uint8_t delta = 0;
    if (Event & evCts)
        delta |= DeltaCTSMask;
    if (Event & evDsr)
        delta |= DeltaDSRMask;
    if (Event & evRlsd)
        delta |= DeltaDCDMask;
    if (Event & (evRing | evRingTe))
        delta |= DeltaRIMask;
    ModemStatus.fetch_or(delta);
    const std::uint8_t lines = GetComModemStatus() & ClearDelta;
    SetModemLines(lines, static_cast<std::uint8_t>(~lines));
}

std::uint8_t TBaseDispatcher::GetModemStatus() {
    const std::uint8_t lines = GetComModemStatus() & ClearDelta;
    SetModemLines(lines, static_cast<std::uint8_t>(~lines));
    const std::uint8_t ms = ModemStatus.fetch_and(ClearDelta);
    LastModemStatus = ms;
    return ms;
}

bool TBaseDispatcher::CheckCTS() {
    return (GetModemStatus() & CTSMask) != 0;
}
bool TBaseDispatcher::CheckDSR() {
    return (GetModemStatus() & DSRMask) != 0;
}
bool TBaseDispatcher::CheckRI() {
    return (GetModemStatus() & RIMask) != 0;
}
bool TBaseDispatcher::CheckDCD() {
    return (GetModemStatus() & DCDMask) != 0;
}
bool TBaseDispatcher::CheckDeltaCTS() {
    return (GetModemStatus() & DeltaCTSMask) != 0;
}
bool TBaseDispatcher::CheckDeltaDSR() {
    return (GetModemStatus() & DeltaDSRMask) != 0;
}
bool TBaseDispatcher::CheckDeltaRI() {
    return (GetModemStatus() & DeltaRIMask) != 0;
}
bool TBaseDispatcher::CheckDeltaDCD() {
    return (GetModemStatus() & DeltaDCDMask) != 0;
}

void TBaseDispatcher::RefreshStatus() {
    TComStat stat;
    const int err = GetComError(stat);
    if (err > 0)
        LastError.fetch_or(static_cast<std::uint32_t>(err) & ValidErrorMask);
    std::lock_guard lock(FStatusLock);
    ComStatus = stat;
}

std::uint16_t TBaseDispatcher::GetLineError() {
    RefreshStatus();
    const std::uint32_t err = LastError.fetch_and(~AllErrorMask) & AllErrorMask;
    std::uint16_t le = leNoError;
    if (err & ceOverrun)
        le = leOverrun;
    else if (err & ceRxParity)
        le = leParity;
    else if (err & ceFrame)
        le = leFraming;
    else if (err & ceRxOver)
        le = leBuffer;
    LastLineErr = le;
    return le;
}

bool TBaseDispatcher::CheckLineBreak() {
    RefreshStatus();
    return (LastError.fetch_and(~ceBreak) & ceBreak) != 0;
}

int TBaseDispatcher::SetBreak(bool BreakOn) {
    return EscapeComFunction(BreakOn ? SETBREAK : CLRBREAK);
}

void TBaseDispatcher::SendBreak(std::uint16_t Ticks, bool) {
    SetBreak(true);
    FClock.SleepMs(static_cast<std::uint32_t>(Ticks) * TickMs);
    SetBreak(false);
}

// ---------------------------------------------------------------- flow control

int TBaseDispatcher::FlowLimitsCheck(std::uint16_t BufferFull, std::uint16_t BufferResume) const {
    return (BufferFull < BufferResume || BufferFull > InQue) ? ecBadArgument : ecOK;
}

int TBaseDispatcher::HWFlowOptions(std::uint16_t BufferFull, std::uint16_t BufferResume, int Options) {
    if (int rc = FlowLimitsCheck(BufferFull, BufferResume); rc < 0)
        return rc;
    Lock data(DataSection);
    GetComState(DCB);
    TDCB next = DCB;
    DTRAuto = (Options & hfUseDTR) != 0;
    RTSAuto = (Options & hfUseRTS) != 0;
    next.SetDtrControl(DTRAuto    ? TDCB::CONTROL_HANDSHAKE
                       : DTRState ? TDCB::CONTROL_ENABLE
                                  : TDCB::CONTROL_DISABLE);
    next.SetRtsControl(RTSAuto    ? TDCB::CONTROL_HANDSHAKE
                       : RTSState ? TDCB::CONTROL_ENABLE
                                  : TDCB::CONTROL_DISABLE);
    next.Flags &= ~(TDCB::fOutxDsrFlow | TDCB::fOutxCtsFlow);
    if (Options & hfRequireDSR)
        next.Flags |= TDCB::fOutxDsrFlow;
    if (Options & hfRequireCTS)
        next.Flags |= TDCB::fOutxCtsFlow;
    if (Options != 0) {
        next.XoffLim = static_cast<std::uint16_t>(InQue - BufferFull);
        next.XonLim = BufferResume;
    }
    const int rc = SetComState(next);
    DCB = next;
    return rc;
}

int TBaseDispatcher::HWFlowState() {
    {
        Lock data(DataSection);
        const bool any = DTRAuto || RTSAuto || (DCB.Flags & (TDCB::fOutxCtsFlow | TDCB::fOutxDsrFlow)) != 0;
        if (!any)
            return fcOff;
    }
    RefreshStatus();
    std::lock_guard lock(FStatusLock);
    if (ComStatus.Flags & TComStat::fCtsHold)
        return fcCtsHold;
    if (ComStatus.Flags & TComStat::fDsrHold)
        return fcDsrHold;
    if (ComStatus.Flags & TComStat::fRlsdHold)
        return fcDcdHold;
    return fcOn;
}

int TBaseDispatcher::SWFlowEnable(std::uint16_t BufferFull, std::uint16_t BufferResume, int Options) {
    if (int rc = FlowLimitsCheck(BufferFull, BufferResume); rc < 0)
        return rc;
    Lock data(DataSection);
    GetComState(DCB);
    TDCB next = DCB;
    next.Flags &= ~(TDCB::fOutX | TDCB::fInX);
    if (Options & sfTransmitFlow)
        next.Flags |= TDCB::fOutX;
    if (Options & sfReceiveFlow)
        next.Flags |= TDCB::fInX;
    next.XoffLim = static_cast<std::uint16_t>(InQue - BufferFull);
    next.XonLim = BufferResume;
    const int rc = SetComState(next);
    DCB = next;
    return rc;
}

int TBaseDispatcher::SWFlowDisable() {
    Lock data(DataSection);
    GetComState(DCB);
    TDCB next = DCB;
    next.Flags &= ~(TDCB::fOutX | TDCB::fInX);
    const int rc = SetComState(next);
    DCB = next;
    return rc;
}

int TBaseDispatcher::SWFlowState() {
    {
        Lock data(DataSection);
        if ((DCB.Flags & (TDCB::fOutX | TDCB::fInX)) == 0)
            return fcOff;
    }
    RefreshStatus();
    std::lock_guard lock(FStatusLock);
    const bool out = ComStatus.Flags & TComStat::fXoffHold;
    const bool in = ComStatus.Flags & TComStat::fXoffSent;
    return out && in ? fcXBothHold : out ? fcXOutHold : in ? fcXInHold : fcOn;
}

int TBaseDispatcher::SWFlowChars(std::uint8_t OnChar, std::uint8_t OffChar) {
    Lock data(DataSection);
    GetComState(DCB);
    TDCB next = DCB;
    next.XonChar = OnChar;
    next.XoffChar = OffChar;
    const int rc = SetComState(next);
    DCB = next;
    return rc;
}

void TBaseDispatcher::GetFlowOptions(int& HWOpts, int& SWOpts, std::uint16_t& BufferFull,
                                     std::uint16_t& BufferResume) {
    Lock data(DataSection);
    HWOpts = (DTRAuto ? hfUseDTR : 0) | (RTSAuto ? hfUseRTS : 0) |
             ((DCB.Flags & TDCB::fOutxDsrFlow) ? hfRequireDSR : 0) |
             ((DCB.Flags & TDCB::fOutxCtsFlow) ? hfRequireCTS : 0);
    SWOpts =
        ((DCB.Flags & TDCB::fOutX) ? sfTransmitFlow : 0) | ((DCB.Flags & TDCB::fInX) ? sfReceiveFlow : 0);
    BufferFull = static_cast<std::uint16_t>(std::max(InQue - DCB.XoffLim, 0));
    BufferResume = DCB.XonLim;
}

// ---------------------------------------------------------------- input

int TBaseDispatcher::AvailPrim() const {
    if (DBuffer.empty())
        return 0;
    const int n = RingMask(DBufHead - DBufTail + DispatchBufferSize);
    return (n == 0 && DispatchFull) ? DispatchBufferSize : n;
}

// The read accounting belongs to the handler being delivered to, not to
// whoever else reads meanwhile.
bool TBaseDispatcher::HandlerReading() const {
    return InAvailMessage && FHandlerThread != std::thread::id() &&
           FHandlerThread == std::this_thread::get_id();
}

void TBaseDispatcher::HandlerRunning(bool On) {
    Lock disp(DispSection);
    FHandlerThread = On ? std::this_thread::get_id() : std::thread::id();
}

// Bytes between the tail and the calling reader's position: the handler's
// own count, or for anyone else what the delivery's handlers have read.
int TBaseDispatcher::ReadBase() const {
    if (!InAvailMessage)
        return 0;
    return HandlerReading() ? GetCount : std::max(MaxGetCount, GetCount);
}

// A read from outside the delivery first takes for good what its handlers
// have read, so that it never hands out those bytes again.
void TBaseDispatcher::CommitHandlerReads() {
    const int done = std::min(std::max(MaxGetCount, GetCount), AvailPrim());
    if (done == 0)
        return;
    DBufTail = RingMask(DBufTail + done);
    DispatchFull = false;
    MaxGetCount = GetCount = 0;
}

// Copies Len bytes starting Skip bytes after the reader's position.
int TBaseDispatcher::ReadPrim(void* Block, int Len, bool Consume, int Skip) {
    if (Len < 0 || Skip < 0)
        return ecBadArgument;
    const bool counted = HandlerReading();
    int already = 0;
    if (counted) {
        already = GetCount;
    } else if (InAvailMessage) {
        if (Consume)
            CommitHandlerReads();
        already = std::max(MaxGetCount, GetCount);
    }
    const int avail = AvailPrim() - already;
    if (Len == 0)
        return 0;
    if (Skip + Len > avail)
        return ecBufferIsEmpty;
    const int start = RingMask(DBufTail + already + Skip);
    const int first = std::min(Len, DispatchBufferSize - start);
    auto* out = static_cast<std::uint8_t*>(Block);
    std::memcpy(out, &DBuffer[start], first);
    std::memcpy(out + first, DBuffer.data(), Len - first);
    if (Consume) {
        if (counted) {
            GetCount += Len;
        } else {
            DBufTail = RingMask(DBufTail + Len);
            DispatchFull = false;
        }
    }
    return Len;
}

bool TBaseDispatcher::CharReady() {
    Lock disp(DispSection);
    return AvailPrim() - ReadBase() > 0;
}

int TBaseDispatcher::PeekChar(std::uint8_t& C, int Count) {
    if (Count < 1)
        return ecBadArgument;
    Lock disp(DispSection);
    const int rc = ReadPrim(&C, 1, false, Count - 1);
    return rc < 0 ? rc : ecOK;
}

int TBaseDispatcher::GetChar(std::uint8_t& C) {
    Lock disp(DispSection);
    const int rc = ReadPrim(&C, 1, true, 0);
    return rc < 0 ? rc : ecOK;
}

int TBaseDispatcher::PeekBlock(void* Block, int Len) {
    Lock disp(DispSection);
    return ReadPrim(Block, Len, false, 0);
}

int TBaseDispatcher::GetBlock(void* Block, int Len) {
    Lock disp(DispSection);
    return ReadPrim(Block, Len, true, 0);
}

int TBaseDispatcher::InBuffUsed() {
    Lock disp(DispSection);
    return std::max(AvailPrim() - ReadBase(), 0);
}

int TBaseDispatcher::InBuffFree() {
    Lock disp(DispSection);
    if (DBuffer.empty())
        return DispatchBufferSize;
    return std::min(DispatchBufferSize - AvailPrim() + ReadBase(), DispatchBufferSize);
}

int TBaseDispatcher::FlushInBuffer() {
    std::scoped_lock lock(DataSection, DispSection);
    const int rc = FlushCom(1);
    if (HandlerReading()) {
        MaxGetCount = AvailPrim();
    } else {
        DBufTail = DBufHead;
        GetCount = MaxGetCount = 0;
    }
    DispatchFull = false;
    LastTailData = DBufHead;
    FScanPending = FNotifyPending = 0;
    for (auto& d : DataTriggers) {
        d.ResetProgress();
        d.Matched = false;
    }
    return rc;
}

// ---------------------------------------------------------------- output

int TBaseDispatcher::PutBlock(const void* Block, int Len) {
    if (Len == 0)
        return ecOK;
    if (Len < 0 || Block == nullptr)
        return ecBadArgument;
    Lock out(OutputSection);
    const int freeSpace = OutQue - OutBufUsed();
    if (freeSpace < Len)
        return ecOutputBufferTooSmall;
    if (freeSpace == Len)
        OBufFull = true;
    const auto* bytes = static_cast<const std::uint8_t*>(Block);
    const int n = WriteCom(bytes, Len);
    OutSentPending = true;
    FSentSinceLineSet = true;
    if (FDiag.TraceOn())
        for (int k = 0; k < Len; ++k)
            AddTraceEntry('T', bytes[k]);
    if (FDiag.LogOn())
        AddDispatchEntry(dtDispatch, dstWriteCom, static_cast<std::uint32_t>(Len), bytes,
                         static_cast<std::size_t>(Len));
    if (n <= 0) {
        RefreshStatus();
        return ecPutBlockFail;
    }
    return ecOK;
}

int TBaseDispatcher::OutBuffUsed() {
    RefreshStatus();
    std::lock_guard lock(FStatusLock);
    return static_cast<int>(ComStatus.cbOutQue);
}

int TBaseDispatcher::OutBuffFree() {
    return OutQue - OutBuffUsed();
}

int TBaseDispatcher::FlushOutBuffer() {
    return FlushCom(0);
}

void TBaseDispatcher::BufferSizes(int& InSize, int& OutSize) const {
    InSize = InQue;
    OutSize = OutQue;
}

// ---------------------------------------------------------------- dispatch cycle

bool TBaseDispatcher::DispatchCycle(int WaitMs) {
    if (!KillThreads && !ClosePending) {
        WaitForComItem(WaitMs);
        if (!KillThreads) {
            ProcessComEvent();
            ProcessTimer();
        }
    }
    if (KillThreads || ClosePending) {
        DoDonePortPrim = ClosePending.load();
        return false;
    }
    return true;
}

int TBaseDispatcher::NextCycleWaitMs(int PollMs, int IdleMs) {
    if (KillThreads || ClosePending || fEventBusy)
        return PollMs;
    std::scoped_lock lock(DataSection, DispSection);
    const bool triggerDue =
        std::any_of(TimerTriggers.begin(), TimerTriggers.end(), [](const auto& t) { return t.Active; }) ||
        std::any_of(StatusTriggers.begin(), StatusTriggers.end(), [](const auto& t) { return t.Active; });
    const int unread = AvailPrim() - (InAvailMessage ? GetCount : 0);
    const bool announceDue = LenTrigger != 0 && FNotifyPending > 0 && unread >= LenTrigger;
    return triggerDue || announceDue || FScanPending > 0 || DispatchFull || InAvailMessage ? PollMs : IdleMs;
}

void TBaseDispatcher::ProcessComEvent() {
    const std::uint32_t ev = TakeComEvent();
    CurrentEvent = ev;
    if (ev & (evRing | evRingTe))
        RingFlag = true;
    bool anyHit = false;
    auto runStatus = [&] {
        while (!ClosePending && CheckStatusTriggers())
            anyHit = true;
    };
    if (ev & ModemEvent) {
        MapEventsToMS(ev);
        if (FDiag.LogOn())
            AddDispatchEntry(dtDispatch, dstModemStatus, ModemStatus.load());
        if (!fEventBusy)
            runStatus();
    }
    if (ev & LineEvent) {
        RefreshStatus();
        if (FDiag.LogOn())
            AddDispatchEntry(dtDispatch, dstLineStatus, LastError.load());
        if (!fEventBusy)
            runStatus();
    }
    ExtractData();
    if (!fEventBusy) {
        const std::uint8_t lines = CycleModemStatus() & ClearDelta;
        SetModemLines(lines, static_cast<std::uint8_t>(~lines));
        runStatus();
        while (!ClosePending && CheckReceiveTriggers()) {
        }
    }
    if (anyHit)
        ResetStatusHits();
}

void TBaseDispatcher::ExtractData() {
    Lock disp(DispSection);
    if (DBuffer.empty() || DispatchFull)
        return;
    const int queued = InQueueUsed();
    if (queued <= 0)
        return;
    const int freeSpace =
        DBufHead == DBufTail ? DispatchBufferSize : RingMask(DBufTail - DBufHead + DispatchBufferSize);
    const int first = DBufTail > DBufHead ? DBufTail - DBufHead : DispatchBufferSize - DBufHead;
    const int wanted = std::min(freeSpace, queued);
    const int second = std::max(wanted - first, 0);
    auto take = [&](int size) {
        const int at = DBufHead;
        const int n = std::clamp(ReadCom(&DBuffer[at], size), 0, size);
        if (n == 0)
            return 0;
        DBufHead = RingMask(DBufHead + n);
        DispatchFull = DBufHead == DBufTail;
        FScanPending = std::min(FScanPending + n, DispatchBufferSize);
        FNotifyPending = std::min(FNotifyPending + n, DispatchBufferSize);
        if (FDiag.TraceOn())
            for (int k = 0; k < n; ++k)
                AddTraceEntry('R', DBuffer[at + k]);
        if (FDiag.LogOn())
            AddDispatchEntry(dtDispatch, dstReadCom, static_cast<std::uint32_t>(n), &DBuffer[at],
                             static_cast<std::size_t>(n));
        return n;
    };
    if (take(first) == first && second > 0)
        take(second);
    // Bytes a reader consumed before the scan saw them are not scanned.
    const int avail = AvailPrim();
    if (FScanPending > avail) {
        FScanPending = avail;
        LastTailData = RingMask(DBufHead - avail + DispatchBufferSize);
    }
}

void TBaseDispatcher::ProcessTimer() {
    if (ClosePending || fEventBusy)
        return;
    GlobalStatHit = false;
    bool anyHit = false;
    while (!ClosePending && (CheckStatusTriggers() || CheckTimerTriggers()))
        anyHit = true;
    if (anyHit)
        ResetStatusHits();
}

bool TBaseDispatcher::CheckTriggers() {
    const bool status = CheckStatusTriggers();
    const bool receive = !ClosePending && CheckReceiveTriggers();
    const bool timer = !ClosePending && CheckTimerTriggers();
    return status || receive || timer;
}

void TBaseDispatcher::ResetStatusHits() {
    Lock data(DataSection);
    for (auto& s : StatusTriggers)
        s.Hit = false;
    GlobalStatHit = false;
}

// ---------------------------------------------------------------- options, user data

void TBaseDispatcher::SetDataPointer(void* P, int Index) {
    if (Index >= 0 && Index < DataPointerCount)
        DataPointers[Index] = P;
}

void* TBaseDispatcher::GetDataPointer(int Index) const {
    return Index >= 0 && Index < DataPointerCount ? DataPointers[Index].load() : nullptr;
}

// ---------------------------------------------------------------- diagnostics

void TBaseDispatcher::InitTracing(std::uint32_t NumEntries) {
    FDiag.InitTrace(NumEntries);
}
void TBaseDispatcher::AddTraceEntry(char CurEntry, std::uint8_t CurCh) {
    FDiag.AddTrace(CurEntry, CurCh);
}
int TBaseDispatcher::DumpTrace(const std::string& FName, bool InHex, bool AllHex) {
    return FDiag.WriteTrace(FName, InHex, AllHex, false, ecTracingNotEnabled);
}
int TBaseDispatcher::AppendTrace(const std::string& FName, bool InHex, bool AllHex) {
    return FDiag.WriteTrace(FName, InHex, AllHex, true, ecTracingNotEnabled);
}
void TBaseDispatcher::StartTracing() {
    FDiag.ChangeTrace(TDispatchDiagnostics::roStart);
}
void TBaseDispatcher::StopTracing() {
    FDiag.ChangeTrace(TDispatchDiagnostics::roStop);
}
void TBaseDispatcher::ClearTracing() {
    FDiag.ChangeTrace(TDispatchDiagnostics::roClear);
}
void TBaseDispatcher::AbortTracing() {
    FDiag.ChangeTrace(TDispatchDiagnostics::roAbort);
}
bool TBaseDispatcher::TracingOn() const {
    return FDiag.TraceOn();
}

void TBaseDispatcher::InitDispatchLogging(std::uint32_t QueueSize) {
    FDiag.InitLog(QueueSize);
}
void TBaseDispatcher::AddDispatchEntry(TDispatchType DT, TDispatchSubType DST, std::uint32_t Data,
                                       const void* Buf, std::size_t BufLen) {
    if (FDiag.LogOn())
        FDiag.AddLog(FClock.NowMs(), DT, DST, Data, Buf, BufLen);
}
void TBaseDispatcher::AddStringToLog(std::string_view S) {
    AddDispatchEntry(dtUser, dstNone, static_cast<std::uint32_t>(S.size()), S.data(), S.size());
}
int TBaseDispatcher::DumpDispatchLog(const std::string& FName, bool InHex, bool AllHex) {
    return FDiag.WriteLog(FName, DeviceName, InHex, AllHex, false, ecLoggingNotEnabled);
}
int TBaseDispatcher::AppendDispatchLog(const std::string& FName, bool InHex, bool AllHex) {
    return FDiag.WriteLog(FName, DeviceName, InHex, AllHex, true, ecLoggingNotEnabled);
}
void TBaseDispatcher::StartDispatchLogging() {
    FDiag.ChangeLog(TDispatchDiagnostics::roStart);
}
void TBaseDispatcher::StopDispatchLogging() {
    FDiag.ChangeLog(TDispatchDiagnostics::roStop);
}
void TBaseDispatcher::ClearDispatchLogging() {
    FDiag.ChangeLog(TDispatchDiagnostics::roClear);
}
void TBaseDispatcher::AbortDispatchLogging() {
    FDiag.ChangeLog(TDispatchDiagnostics::roAbort);
}
bool TBaseDispatcher::DLoggingOn() const {
    return FDiag.LogOn();
}

} // namespace dravane::serial
