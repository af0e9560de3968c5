#pragma once
// TWin32Dispatcher: the serial device layer. It supplies the device
// operations of TBaseDispatcher over a termios device (platform::
// TSerialDevice) and runs the port's four threads:
//   read thread      poll()s the device and pushes received bytes into the
//                    I/O queue in items of IO_BUFFER_SIZE bytes;
//   write thread     takes the whole output buffer when OutputEvent fires
//                    and writes it, waiting for POLLOUT on partial writes;
//   status thread    watches modem lines and line errors (TIOCGICOUNT
//                    differences, else TIOCMGET level changes; absent on
//                    pseudo-terminals) and pushes event words;
//   dispatcher       runs the dispatch cycle of the base. While it waits
//                    for an item it watches the device too, and takes
//                    what arrives itself: a reply then reaches the
//                    dispatch without a hand-off from the read thread
//                    (the two read in turn, so bytes keep their order).
//
// Threading contract
// ------------------
// - StartDispatcher returns without waiting for the threads to run: a
//   write before the write thread runs waits in the output buffer.
// - Construction, OpenCom, CheckPort, StartDispatcher, StopDispatcher,
//   CloseCom, DonePort and destruction run on the UI thread (the thread whose
//   event loop runs the port's message windows). The other device
//   operations may run on any thread, as the base's contract says.
// - Every wait of the four threads is bounded and is cut short by the stop
//   request (KillThreads plus a wake-up of each thread's wait: the I/O
//   queue, the read and write threads' eventfds, the status thread's
//   event). A notification sent to a window of the UI thread is withdrawn
//   within NotifySliceMs of a stop request if its handler has not started.
//   So CloseCom stops and joins all four threads at once and never waits
//   for the UI thread; it never pumps events.
// - A close requested while a notification is being handled (the base's
//   ClosePending) cannot join the dispatcher thread, which waits for the
//   handler: ReleaseDevice stops and joins the three device threads and
//   closes the device at once; the dispatcher thread ends its loop by itself
//   and is joined by DonePortPrim once the delivery has ended.
// - A thread that meets a device failure sets KillThreads; all four end and
//   the first failure's message ("Device read error", "Device write error",
//   ...) is handed to the UI thread through a message window and given
//   there once to the owner's OnDeviceFailure, else to the application's
//   exception display; never from a device thread.
//   The device stays open until the port is closed; DeviceLost() then says
//   so, and the port refuses writes with the failure's error.
//
// Locks: the base's DataSection, DispSection, OutputSection (in that order),
// then FThreadLock (thread handles and ids) and the I/O queue's own leaf lock.

#include "platform/MessageWindow.h"
#include "platform/SerialDevice.h"
#include "serial/BaseDispatcher.h"
#include "serial/IOQueue.h"
#include "serial/PortErrors.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace dravane::serial {

class TWin32Dispatcher : public TBaseDispatcher {
public:
    explicit TWin32Dispatcher(TCustomComPort* Owner = nullptr,
                              const platform::TMsClock& Clock = platform::TMsClock::System());
    ~TWin32Dispatcher() override;

    // ---- device operations ----
    int EscapeComFunction(int Func) override;
    int FlushCom(int Queue) override;
    int GetComError(TComStat& Stat) override;
    int GetComState(TDCB& Block) override;
    int ReadCom(std::uint8_t* Buf, int Size) override;
    int SetComState(const TDCB& Block) override;
    int WriteCom(const std::uint8_t* Buf, int Size) override;
    bool SetupCom(int InSize, int OutSize) override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    int OutBufUsed() override;
    int InQueueUsed() override;
    // "COM<n>" (an optional "\\.\" prefix is ignored), resolved through the
    // COM-number table. -1 on failure; DeviceErrorCode and DeviceErrno say why.
    int OpenCom(const std::string& ComName, int InQueue, int OutQueue) override;
    int CloseCom() override;
    void ReleaseDevice() override;
    // True when "COM<n>" names an existing character device.
    bool CheckPort(const std::string& ComName) override;
    void ProcessCommunications() override;
    void SetThreadBoost(TThreadBoost Boost) override;
    // The last failed open: the port layer's negated code (-2 missing, -5 in
    // use or no access, ...) and the errno behind it (EACCES wants the
    // dialout hint, EWOULDBLOCK from the lock does not).
    int DeviceErrorCode() const override { return -FDeviceError.load().Code; }
    int DeviceErrno() const { return FDeviceError.load().Errno; }
    std::uint8_t GetComModemStatus() override;
    std::uint8_t CycleModemStatus() override;
    bool WaitForComItem(int TimeoutMs) override;
    std::uint32_t TakeComEvent() override;
    void WakeDispatch() override { FQueue.Wake(); }

    // The COM number of "COM<n>" or "\\.\COM<n>"; 0 when the name is not one.
    static int ComNumberOf(const std::string& ComName);

    // ---- observation (tests and benchmarks) ----
    // Times the read thread's wait has returned (woken, timed out or ready).
    std::uint64_t ReadWakeups() const { return FReadWakeups.load(); }
    // Times the read thread found the I/O queue full and stopped reading.
    std::uint64_t ReadPauses() const { return FReadPauses.load(); }
    // Dispatch cycles' waits for an I/O queue item.
    std::uint64_t DispatchWaits() const { return FDispatchWaits.load(); }
    int QueuedBytes() const { return FQueue.BytesQueued(); }
    int DeviceFd() const { return FDevice.Fd(); }

private:
    enum TThreadKind : std::uint8_t { tkRead, tkDispatch, tkWrite, tkStatus, tkCount };

    void ReadThreadRun();
    void WriteThreadRun();
    void StatusThreadRun();
    void DispThreadRun();
    // First and last actions of every thread.
    void ThreadStart(TThreadKind Kind);
    void ThreadGone(TThreadKind Kind, int ReturnValue);
    // Sets KillThreads and wakes every thread's wait.
    void RequestStop();
    // Joins the threads (all, or all but the dispatcher thread), never the calling one.
    void JoinThreads(bool DispatchToo);
    int CloseDevice();
    void ApplyPriority(TThreadKind Kind);
    int WriteBlock(const std::uint8_t* Data, int Size); // write thread
    // What the driver holds, into the I/O queue until it is full; 0, or the
    // negative errno of a failed read. Read and dispatcher threads; without
    // Wait, 1 when the other is reading now.
    ssize_t ReadDevice(bool Wait);
    void ReportFailure(int Code);     // UI thread
    void DeliverPendingFailure();     // UI thread
    void ShowPendingFailureAtClose(); // UI thread

    platform::TSerialDevice FDevice; // opened and closed on the UI thread while no thread runs
    TIOQueue FQueue;
    platform::TWakeFd FReadWake; // read thread: stop, and space in a full queue
    platform::TWakeFd FItemWake; // dispatcher watching the device: an item or a stop
    std::mutex FReadLock;        // one reader of the device at a time
    // The dispatcher watches the device until a wait of its own fails or
    // hangs up: then the read thread alone meets and reports the fault.
    std::atomic<bool> FDispatchReads{false};
    platform::TWakeFd FWriteWake;  // write thread: stop and output flush during a write
    platform::TEvent FSerialEvent; // status thread's wait; set by the stop request
    std::atomic<TDeviceError> FDeviceError{TDeviceError{0, 0}};

    // Line settings the device has no place for (buffer limits, DTR/DSR
    // flow, flags); guard: DataSection.
    TDCB FDCB;
    // The write thread holds bytes taken from the output buffer; guard:
    // OutputSection. While it does not and the buffer is empty, WriteCom
    // hands bytes to the driver itself (one thread hand-off less per
    // command) and leaves only what the driver does not take at once.
    bool FWriting = false;
    // Line and modem-event bits the status thread found, returned and
    // cleared by GetComError.
    std::atomic<std::uint32_t> FErrorWord{0};

    std::mutex FThreadLock;                      // leaf lock
    std::thread FThreads[tkCount];               // FThreadLock; created and joined on the UI thread
    std::atomic<int> FThreadIds[tkCount]{};      // kernel thread ids while running, else 0
    std::atomic<bool> FThreadRunning[tkCount]{}; // set at ThreadStart, cleared at ThreadGone
    std::atomic<bool> CloseComActive{false};

    // The first failure since the threads started, not yet shown; the UI
    // thread's message window (or CloseCom) shows it once.
    std::atomic<int> FPendingFailure{0};
    std::unique_ptr<platform::TMessageWindow> FFailureWindow; // UI thread
    platform::TMessageTarget FFailureTarget;                  // fixed after construction

    std::atomic<std::uint64_t> FReadWakeups{0};
    std::atomic<std::uint64_t> FReadPauses{0};
    // The modem lines as the status thread last read them (at most
    // StatusPollMs old); -1 while it does not watch them.
    std::atomic<int> FWatchedLines{-1};
    std::atomic<std::uint64_t> FDispatchWaits{0};
};

} // namespace dravane::serial
