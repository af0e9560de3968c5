#include "serial/Win32Dispatcher.h"

#include <pthread.h>

#include "platform/AppException.h"
#include "platform/ComNumbers.h"
#include "serial/PortException.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dravane::serial {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using platform::TWaitResult;
using std::chrono::milliseconds;

// Waits of the device threads. The stop request wakes every one of them at
// once, so these only bound a wait that nothing else ends.
constexpr int ReadSliceMs = 5000;
constexpr int WriteIdleMs = 5000;
constexpr int WriteSliceMs = 100;
constexpr int StatusPollMs = 100;    // modem lines and error counters, where the driver keeps them
constexpr int StatusIdleMs = 5000;   // where it keeps none: only the stop request matters
constexpr int DispatchWaitMs = 50;   // while a trigger or a delivery is due
constexpr int DispatchIdleMs = 5000; // otherwise items and WakeDispatch end the wait
constexpr int FlushAckMs = 5000;
constexpr int NiceStep = 5; // one priority step, in nice units

constexpr std::uint32_t FailureMessage = 1;

platform::TParity ToParity(std::uint8_t p) {
    return static_cast<platform::TParity>(std::min<std::uint8_t>(p, SPACEPARITY));
}

// Device events between two looks at the modem lines and error counters.
std::uint32_t EventsBetween(const platform::TModemState& a, const platform::TModemState& b,
                            std::uint32_t& errors) {
    std::uint32_t ev = 0;
    auto changed = [&](bool la, bool lb, std::uint32_t ca, std::uint32_t cb) {
        return la != lb || (b.Counted && ca != cb);
    };
    if (changed(a.Cts, b.Cts, a.CtsCount, b.CtsCount))
        ev |= evCts;
    if (changed(a.Dsr, b.Dsr, a.DsrCount, b.DsrCount))
        ev |= evDsr;
    if (changed(a.Carrier, b.Carrier, a.CarrierCount, b.CarrierCount))
        ev |= evRlsd;
    if (changed(a.Ring, b.Ring, a.RingCount, b.RingCount))
        ev |= evRing;
    errors = 0;
    if (a.Counted && b.Counted) {
        if (a.Breaks != b.Breaks) {
            ev |= evBreak;
            errors |= ceBreak;
        }
        if (a.FrameErrors != b.FrameErrors)
            errors |= ceFrame;
        if (a.Overruns != b.Overruns)
            errors |= ceOverrun;
        if (a.ParityErrors != b.ParityErrors)
            errors |= ceRxParity;
        if (a.BufferOverruns != b.BufferOverruns)
            errors |= ceRxOver;
        if (errors & ~ceBreak)
            ev |= evErr;
    }
    return ev;
}

} // namespace

TWin32Dispatcher::TWin32Dispatcher(TCustomComPort* Owner, const platform::TMsClock& Clock)
    : TBaseDispatcher(Owner, Clock) {
    FFailureWindow = std::make_unique<platform::TMessageWindow>(
        [this](std::uint32_t Msg, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            if (Msg == FailureMessage)
                DeliverPendingFailure();
            return 0;
        });
    FFailureTarget = FFailureWindow->Target();
    FQueue.SetSpaceCallback([this] { FReadWake.Wake(); });
    FQueue.SetItemCallback([this] { FItemWake.Wake(); });
}

TWin32Dispatcher::~TWin32Dispatcher() {
    if (IsClosePending())
        DonePortPrim();
    else
        DonePort();
    RequestStop();
    JoinThreads(true);
    ShowPendingFailureAtClose();
    FFailureWindow.reset();
}

// ---------------------------------------------------------------- names and opening

int TWin32Dispatcher::ComNumberOf(const std::string& ComName) {
    std::string_view name(ComName);
    if (name.starts_with("\\\\.\\"))
        name.remove_prefix(4);
    if (name.size() < 4 || name.size() > 9 || !name.starts_with("COM"))
        return 0;
    int n = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

int TWin32Dispatcher::OpenCom(const std::string& ComName, int, int) {
    DeviceName = ComName;
    const int number = ComNumberOf(ComName);
    const std::optional<std::string> path =
        number > 0 ? platform::ComNumbers().DevicePathFor(number) : std::nullopt;
    if (!path) {
        FDeviceError = MapDeviceErrno(ENOENT);
        return -1;
    }
    if (const int rc = FDevice.Open(*path); rc < 0) {
        FDeviceError = MapDeviceErrno(-rc);
        return -1;
    }
    FQueue.Clear();
    FErrorWord = 0;
    {
        Lock data(DataSection);
        FDCB = TDCB{};
        FDCB.Flags = TDCB::fBinary;
    }
    return FDevice.Fd();
}

bool TWin32Dispatcher::CheckPort(const std::string& ComName) {
    const int number = ComNumberOf(ComName);
    if (number <= 0)
        return false;
    const std::optional<std::string> path = platform::ComNumbers().DevicePathFor(number);
    struct stat st {};
    return path && ::stat(path->c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool TWin32Dispatcher::SetupCom(int, int) {
    // The kernel's tty queues have a fixed size; the ring and the I/O queue
    // are what buffer here.
    return FDevice.IsOpen();
}

// ---------------------------------------------------------------- line

int TWin32Dispatcher::GetComState(TDCB& Block) {
    Lock data(DataSection);
    platform::TLineSettings s;
    if (!FDevice.IsOpen() || FDevice.GetLine(s) < 0)
        return -1;
    Block = FDCB;
    if (s.Baud != 0)
        Block.BaudRate = s.Baud;
    Block.ByteSize = s.DataBits;
    Block.Parity = static_cast<std::uint8_t>(s.Parity);
    if (!(s.DataBits == 5 && FDCB.StopBits == ONE5STOPBITS))
        Block.StopBits = s.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    Block.Flags &= ~(TDCB::fOutxCtsFlow | TDCB::fOutX | TDCB::fInX);
    if (s.RtsCts)
        Block.Flags |= TDCB::fOutxCtsFlow;
    if (s.XonXoffOut)
        Block.Flags |= TDCB::fOutX;
    if (s.XonXoffIn)
        Block.Flags |= TDCB::fInX;
    Block.XonChar = s.XonChar;
    Block.XoffChar = s.XoffChar;
    return 0;
}

int TWin32Dispatcher::SetComState(const TDCB& Block) {
    Lock data(DataSection);
    platform::TLineSettings s;
    s.Baud = Block.BaudRate;
    s.DataBits = Block.ByteSize;
    s.Parity = ToParity(Block.Parity);
    // Linux gives five-bit characters 1.5 stop bits with CSTOPB.
    s.StopBits = Block.StopBits == ONESTOPBIT ? 1 : 2;
    s.RtsCts = (Block.Flags & TDCB::fOutxCtsFlow) || Block.RtsControl() == TDCB::CONTROL_HANDSHAKE;
    s.XonXoffOut = (Block.Flags & TDCB::fOutX) != 0;
    s.XonXoffIn = (Block.Flags & TDCB::fInX) != 0;
    s.XonChar = Block.XonChar;
    s.XoffChar = Block.XoffChar;
    if (!platform::TSerialDevice::SupportedBaud(s.Baud))
        return ecBaudRate;
    if (const int rc = FDevice.SetLine(s); rc < 0)
        return -MapDeviceErrno(-rc).Code;
    // DTR and RTS levels follow the control block: a program that programs the
    // block expects the lines to follow it without a separate call.
    if (Block.DtrControl() != TDCB::CONTROL_HANDSHAKE)
        FDevice.SetDtr(Block.DtrControl() == TDCB::CONTROL_ENABLE);
    if (Block.RtsControl() != TDCB::CONTROL_HANDSHAKE)
        FDevice.SetRts(Block.RtsControl() == TDCB::CONTROL_ENABLE);
    FDCB = Block;
    return 0;
}

int TWin32Dispatcher::EscapeComFunction(int Func) {
    switch (Func) {
    case SETDTR:
    case CLRDTR:
        FDevice.SetDtr(Func == SETDTR);
        break;
    case SETRTS:
    case CLRRTS:
        FDevice.SetRts(Func == SETRTS);
        break;
    case SETBREAK:
    case CLRBREAK:
        FDevice.SetBreak(Func == SETBREAK);
        break;
    default:
        break;
    }
    return 0;
}

namespace {
std::uint8_t LineBits(const platform::TModemState& m) {
    return static_cast<std::uint8_t>((m.Cts ? CTSMask : 0) | (m.Dsr ? DSRMask : 0) | (m.Ring ? RIMask : 0) |
                                     (m.Carrier ? DCDMask : 0));
}
} // namespace

std::uint8_t TWin32Dispatcher::GetComModemStatus() {
    platform::TModemState m;
    if (!FDevice.IsOpen() || FDevice.GetModemState(m) < 0)
        return 0;
    return LineBits(m);
}

std::uint8_t TWin32Dispatcher::CycleModemStatus() {
    const int watched = FWatchedLines;
    return watched >= 0 ? static_cast<std::uint8_t>(watched) : GetComModemStatus();
}

int TWin32Dispatcher::GetComError(TComStat& Stat) {
    Stat = TComStat{};
    Stat.cbInQue = static_cast<std::uint32_t>(FQueue.BytesQueued());
    Stat.cbOutQue = static_cast<std::uint32_t>(OutBufUsed());
    return static_cast<int>(FErrorWord.exchange(0));
}

void TWin32Dispatcher::ProcessCommunications() {
    std::this_thread::yield();
}

// ---------------------------------------------------------------- queues and buffers

int TWin32Dispatcher::ReadCom(std::uint8_t* Buf, int Size) {
    return FQueue.Read(Buf, Size);
}

int TWin32Dispatcher::InQueueUsed() {
    return FQueue.HeadDataUnread();
}

// With the ring full a data item cannot be taken: waiting for one would
// return at once, every cycle.
bool TWin32Dispatcher::WaitForComItem(int TimeoutMs) {
    ++FDispatchWaits;
    const bool usable = InBuffFree() > 0;
    // A full ring or queue: bytes the dispatcher cannot take would keep the
    // device readable, so only the queue is waited for.
    if (!FDispatchReads || !usable || FQueue.DataFull())
        return FQueue.WaitForItem(TimeoutMs, usable);
    if (!FQueue.BeginPoll(usable)) {
        const TWaitResult w = FDevice.WaitReadable(FItemWake, TimeoutMs);
        FQueue.EndPoll();
        // A wake-up left over from a push after the wait is harmless: the
        // next wait returns at once and takes it.
        if (w == TWaitResult::Woken)
            FItemWake.Drain();
        if (w == TWaitResult::Ready) {
            const ssize_t r = ReadDevice(false);
            if (r < 0)
                FDispatchReads = false;
            else if (r > 0) // the read thread is at it: its push ends this wait
                return FQueue.WaitForItem(TimeoutMs, usable);
        } else if (w == TWaitResult::HangUp || w == TWaitResult::Failed) {
            FDispatchReads = false;
        }
    } else {
        FQueue.EndPoll();
    }
    return FQueue.WaitForItem(0, usable);
}

std::uint32_t TWin32Dispatcher::TakeComEvent() {
    return FQueue.TakeStatus();
}

int TWin32Dispatcher::WriteCom(const std::uint8_t* Buf, int Size) {
    const int whole = Size;
    {
        Lock out(OutputSection);
        if (OutQue <= 0 || OBuffer.size() < static_cast<std::size_t>(OutQue))
            return 0;
        if (!FWriting && !OBufFull && OBufHead == OBufTail && FThreadRunning[tkWrite] && !KillThreads) {
            // Nothing is queued before these bytes, so order holds. A failure
            // is left to the write thread to meet and report.
            const ssize_t n = FDevice.Write(Buf, static_cast<std::size_t>(Size));
            if (n > 0) {
                Buf += n;
                Size -= static_cast<int>(n);
                OBufFull = false;
                if (Size == 0)
                    return whole;
            }
        }
        const int first = std::min(Size, OutQue - OBufHead);
        std::memcpy(&OBuffer[static_cast<std::size_t>(OBufHead)], Buf, static_cast<std::size_t>(first));
        std::memcpy(OBuffer.data(), Buf + first, static_cast<std::size_t>(Size - first));
        OBufHead = Size - first > 0 ? Size - first : OBufHead + first;
        if (OBufHead == OutQue)
            OBufHead = 0;
    }
    if (OutputEvent)
        OutputEvent->Set();
    return whole;
}

int TWin32Dispatcher::OutBufUsed() {
    Lock out(OutputSection);
    if (OutQue <= 0)
        return 0;
    return OBufFull ? OutQue : (OBufHead - OBufTail + OutQue) % OutQue;
}

int TWin32Dispatcher::FlushCom(int Queue) {
    if (Queue != 0) {
        const int rc = FDevice.IsOpen() ? FDevice.PurgeInput() : 0;
        FQueue.Clear();
        return rc;
    }
    {
        Lock out(OutputSection);
        OBufHead = OBufTail = 0;
        OBufFull = false;
    }
    const int rc = FDevice.IsOpen() ? FDevice.PurgeOutput() : 0;
    // A stopping write thread takes nothing more and answers nothing: no
    // acknowledgement to wait for.
    if (FThreadRunning[tkWrite] && !KillThreads && OutFlushEvent && GeneralEvent &&
        FThreadIds[tkWrite] != static_cast<int>(::gettid())) {
        GeneralEvent->Reset();
        OutFlushEvent->Set();
        FWriteWake.Wake();
        // The write thread answers within one of its waits; it also sets the
        // event when it ends, so a stop meanwhile ends this wait at once.
        for (int waited = 0; waited < FlushAckMs && FThreadRunning[tkWrite] && !KillThreads;
             waited += WriteSliceMs)
            if (GeneralEvent->Wait(milliseconds(WriteSliceMs)))
                break;
    }
    return rc;
}

// ---------------------------------------------------------------- threads

void TWin32Dispatcher::StartDispatcher() {
    {
        std::lock_guard lock(FThreadLock);
        const bool anyThread =
            std::any_of(std::begin(FThreads), std::end(FThreads), [](const auto& t) { return t.joinable(); });
        if (DispActive || anyThread)
            throw std::logic_error("Dispatcher already started.");
    }
    KillThreads = false;
    DispActive = true;
    FDeviceFailure = 0;
    FPendingFailure = 0;
    FReadWake.Drain();
    FWriteWake.Drain();
    FItemWake.Drain();
    FDispatchReads = true;
    FSerialEvent.Reset();
    GeneralEvent->Reset();
    static constexpr TThreadKind order[] = {tkRead, tkDispatch, tkWrite, tkStatus};
    for (const TThreadKind kind : order) {
        {
            std::lock_guard lock(FThreadLock);
            FThreads[kind] = std::thread([this, kind] {
                // Named so that ps, top and gdb show which port thread is which.
                static constexpr const char* names[] = {"dvn-read", "dvn-dispatch", "dvn-write",
                                                        "dvn-status"};
                ::pthread_setname_np(::pthread_self(), names[kind]);
                switch (kind) {
                case tkRead:
                    ReadThreadRun();
                    break;
                case tkDispatch:
                    DispThreadRun();
                    break;
                case tkWrite:
                    WriteThreadRun();
                    break;
                default:
                    StatusThreadRun();
                    break;
                }
            });
        }
    }
    // Not waited for: on a busy machine a new thread may wait milliseconds
    // for a processor, and the port serves already. Bytes written meanwhile
    // wait in the output buffer for the write thread, bytes received in the
    // driver for the read thread, and a stop request is seen by a thread
    // that starts after it.
}

void TWin32Dispatcher::StopDispatcher() {
    bool anyThread;
    {
        std::lock_guard lock(FThreadLock);
        anyThread =
            std::any_of(std::begin(FThreads), std::end(FThreads), [](const auto& t) { return t.joinable(); });
    }
    // The events stay until the dispatcher is destroyed, so a late PutBlock
    // or SetLine never meets a freed one.
    if (DispActive || anyThread)
        CloseCom();
}

int TWin32Dispatcher::CloseCom() {
    if (CloseComActive.exchange(true))
        return 0;
    RequestStop();
    JoinThreads(true);
    const int rc = CloseDevice();
    if (rc == 0)
        CidEx = -1;
    FQueue.Clear();
    ShowPendingFailureAtClose();
    CloseComActive = false;
    return rc;
}

void TWin32Dispatcher::ReleaseDevice() {
    RequestStop();
    JoinThreads(false);
    CloseDevice();
    FQueue.Clear();
}

// Unsent bytes are dropped first: a line held by flow control would keep
// the driver's close waiting for them.
int TWin32Dispatcher::CloseDevice() {
    if (!FDevice.IsOpen())
        return 0;
    FDevice.PurgeOutput();
    return FDevice.Close() < 0 ? -1 : 0;
}

void TWin32Dispatcher::RequestStop() {
    KillThreads = true;
    FQueue.Wake();
    FReadWake.Wake();
    FWriteWake.Wake();
    FSerialEvent.Set();
    if (OutputEvent)
        OutputEvent->Set();
}

void TWin32Dispatcher::JoinThreads(bool DispatchToo) {
    for (int k = 0; k < tkCount; ++k) {
        std::thread& t = FThreads[k];
        std::thread ending;
        {
            std::lock_guard lock(FThreadLock);
            if (!t.joinable() || t.get_id() == std::this_thread::get_id() ||
                (k == tkDispatch && !DispatchToo))
                continue;
            ending = std::move(t);
        }
        ending.join();
    }
}

void TWin32Dispatcher::ThreadStart(TThreadKind Kind) {
    FThreadIds[Kind] = static_cast<int>(::gettid());
    FThreadRunning[Kind] = true;
    ApplyPriority(Kind);
    ThreadStarted();
}

void TWin32Dispatcher::ThreadGone(TThreadKind Kind, int ReturnValue) {
    if (ReturnValue != 0) {
        RequestStop();
        // One message per failure, however many threads meet it.
        if (NoteDeviceFailure(ReturnValue)) {
            FPendingFailure = ReturnValue;
            FFailureTarget.Post(FailureMessage, 0, 0);
        }
    }
    FThreadRunning[Kind] = false;
    FThreadIds[Kind] = 0;
    ThreadEnded();
    if (Kind == tkWrite)
        GeneralEvent->Set(); // a flush waiting for this thread's answer
}

// An owner that takes failures is closing the port and knows why.
void TWin32Dispatcher::ShowPendingFailureAtClose() {
    if (const int code = FPendingFailure.exchange(0); code != 0 && !OnDeviceFailure)
        platform::Guarded([code] { CheckException(code); });
}

void TWin32Dispatcher::DeliverPendingFailure() {
    const int code = FPendingFailure.exchange(0);
    if (code == 0)
        return;
    if (const auto owner = OnDeviceFailure; owner)
        owner(code);
    else
        platform::Guarded([code] { CheckException(code); });
}

void TWin32Dispatcher::SetThreadBoost(TThreadBoost Boost) {
    bool changed;
    {
        Lock data(DataSection);
        changed = ThreadBoost != Boost;
        ThreadBoost = Boost;
    }
    if (changed)
        for (int k = 0; k < tkCount; ++k)
            ApplyPriority(static_cast<TThreadKind>(k));
}

// Raising a priority needs privileges the program may not have: best effort, silently.
void TWin32Dispatcher::ApplyPriority(TThreadKind Kind) {
    const int tid = FThreadIds[Kind];
    if (tid == 0)
        return;
    int steps;
    {
        Lock data(DataSection);
        steps = ThreadBoost;
        if (Kind == tkWrite && RS485Mode)
            ++steps;
    }
    errno = 0;
    const int base = ::getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
        return;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), std::max(base - steps * NiceStep, -20));
}

void TWin32Dispatcher::ReadThreadRun() {
    ThreadStart(tkRead);
    int rc = 0;
    while (!KillThreads && rc == 0) {
        if (FQueue.DataFull()) {
            // Ring and queue full: leave the device out of the poll set until
            // a reader frees a slot; the kernel keeps or drops what comes.
            ++FReadPauses;
            FReadWake.Wait(ReadSliceMs);
            FReadWake.Drain();
            ++FReadWakeups;
            continue;
        }
        const TWaitResult w = FDevice.WaitReadable(FReadWake, ReadSliceMs);
        ++FReadWakeups;
        if (w == TWaitResult::Woken) {
            FReadWake.Drain();
            continue;
        }
        if (w == TWaitResult::Failed) {
            rc = ecDeviceRead;
            break;
        }
        if (w == TWaitResult::TimedOut)
            continue;
        // Readable or hung up: take what the driver holds. A hang-up reads
        // as -EIO and ends the thread, so the device is polled no more.
        if (const ssize_t n = ReadDevice(true); n < 0) {
            rc = n == -EBADF ? 0 : ecDeviceRead;
            if (rc == 0)
                KillThreads = true;
        }
    }
    ThreadGone(tkRead, rc);
}

ssize_t TWin32Dispatcher::ReadDevice(bool Wait) {
    std::uint8_t buf[IO_BUFFER_SIZE];
    std::unique_lock lock(FReadLock, std::defer_lock);
    if (Wait)
        lock.lock();
    else if (!lock.try_lock())
        return 1;
    while (!KillThreads && !FQueue.DataFull()) {
        const ssize_t n = FDevice.Read(buf, sizeof buf);
        if (n <= 0)
            return n < 0 ? n : 0;
        FQueue.PushData(buf, static_cast<int>(n));
        // A short read emptied the driver: asking again would only say so;
        // the poll tells when more comes.
        if (n < static_cast<ssize_t>(sizeof buf))
            return 0;
    }
    return 0;
}

int TWin32Dispatcher::WriteBlock(const std::uint8_t* Data, int Size) {
    int done = 0;
    while (done < Size) {
        if (KillThreads)
            return 0;
        if (OutFlushEvent->Wait(milliseconds(0))) {
            // A flush abandons the rest of the block.
            GeneralEvent->Set();
            return 0;
        }
        const ssize_t n = FDevice.Write(Data + done, static_cast<std::size_t>(Size - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0)
            return n == -EBADF ? 0 : ecDeviceWrite;
        const TWaitResult w = FDevice.WaitWritable(FWriteWake, WriteSliceMs);
        if (w == TWaitResult::Woken)
            FWriteWake.Drain();
        else if (w == TWaitResult::Failed)
            return ecDeviceWrite;
    }
    return 0;
}

void TWin32Dispatcher::WriteThreadRun() {
    ThreadStart(tkWrite);
    int rc = 0;
    std::vector<std::uint8_t> block;
    while (!KillThreads && rc == 0) {
        const int w =
            platform::TEvent::WaitForEither(*OutputEvent, *OutFlushEvent, milliseconds(WriteIdleMs));
        if (w == 1) {
            GeneralEvent->Set();
            continue;
        }
        if (w != 0 || KillThreads)
            continue;
        for (;;) {
            {
                // Take every byte at once: the room for PutBlock grows back now.
                Lock out(OutputSection);
                const int used = OutBufUsed();
                FWriting = used != 0;
                if (used == 0)
                    break;
                block.resize(static_cast<std::size_t>(used));
                const int first = std::min(used, OutQue - OBufTail);
                std::memcpy(block.data(), &OBuffer[static_cast<std::size_t>(OBufTail)],
                            static_cast<std::size_t>(first));
                std::memcpy(block.data() + first, OBuffer.data(), static_cast<std::size_t>(used - first));
                OBufHead = OBufTail = 0;
                OBufFull = false;
            }
            SentEvent->Set();
            rc = WriteBlock(block.data(), static_cast<int>(block.size()));
            if (rc != 0 || KillThreads)
                break;
        }
    }
    {
        Lock out(OutputSection);
        FWriting = false;
    }
    ThreadGone(tkWrite, rc);
}

void TWin32Dispatcher::StatusThreadRun() {
    ThreadStart(tkStatus);
    int rc = 0;
    platform::TModemState last;
    const bool watch = FDevice.GetModemState(last) == 0 && (last.LinesKnown || last.Counted);
    if (watch && last.LinesKnown)
        FWatchedLines = LineBits(last);
    while (!KillThreads) {
        FSerialEvent.Wait(milliseconds(watch ? StatusPollMs : StatusIdleMs));
        if (KillThreads || !watch)
            continue;
        platform::TModemState now;
        if (const int r = FDevice.GetModemState(now); r < 0) {
            rc = r == -EBADF ? 0 : ecDeviceRead;
            break;
        }
        if (now.LinesKnown)
            FWatchedLines = LineBits(now);
        std::uint32_t errors = 0;
        const std::uint32_t ev = EventsBetween(last, now, errors);
        last = now;
        if (errors != 0)
            FErrorWord.fetch_or(errors);
        if (ev != 0)
            FQueue.PushStatus(ev);
    }
    FWatchedLines = -1;
    ThreadGone(tkStatus, rc);
}

void TWin32Dispatcher::DispThreadRun() {
    ThreadStart(tkDispatch);
    while (DispatchCycle(NextCycleWaitMs(DispatchWaitMs, DispatchIdleMs))) {
    }
    // A close asked for during a delivery: end the device threads too; the
    // UI thread's deferred close joins them and closes the device.
    if (DoDonePortPrimRequested())
        RequestStop();
    ThreadGone(tkDispatch, 0);
}

} // namespace dravane::serial
