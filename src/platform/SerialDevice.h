#pragma once
// A serial device over termios: the one place that talks to the kernel's tty
// layer. Non-blocking descriptor, raw mode, exclusive use; waits are poll()s
// that a TWakeFd can cut short. Every call returns 0 (or a count) on success
// and -errno on failure, so the layer above maps errors in one place.
//
// Threading: one thread may Read while another Writes and a third changes
// modem lines; Open and Close must not overlap any other call.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace dravane::platform {

// An eventfd that wakes a thread blocked in TSerialDevice::Wait*.
class TWakeFd {
public:
    TWakeFd();
    ~TWakeFd();
    TWakeFd(const TWakeFd&) = delete;
    TWakeFd& operator=(const TWakeFd&) = delete;

    void Wake();
    void Drain(); // consumes pending wake-ups
    // Waits at most timeoutMs for a wake-up (not consumed); false on time-out.
    bool Wait(int timeoutMs) const;
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

enum class TParity : std::uint8_t { None, Odd, Even, Mark, Space };

struct TLineSettings {
    std::uint32_t Baud = 57600;
    std::uint8_t DataBits = 8; // 5..8
    TParity Parity = TParity::None;
    std::uint8_t StopBits = 1; // 1 or 2
    bool RtsCts = false;
    bool XonXoffOut = false; // we honour XON/XOFF from the device
    bool XonXoffIn = false;  // we send XON/XOFF to the device
    std::uint8_t XonChar = 0x11;
    std::uint8_t XoffChar = 0x13;
};

// Modem-line inputs and line-error counters. Interrupt counts are
// cumulative; Counted is false where the driver keeps none (pseudo-terminals).
struct TModemState {
    bool Cts = false, Dsr = false, Ring = false, Carrier = false;
    bool LinesKnown = false; // false where the driver keeps no modem lines (pseudo-terminals)
    bool Counted = false;
    std::uint32_t CtsCount = 0, DsrCount = 0, RingCount = 0, CarrierCount = 0;
    std::uint32_t FrameErrors = 0, Overruns = 0, ParityErrors = 0, Breaks = 0, BufferOverruns = 0;
};

enum class TWaitResult : std::uint8_t { Ready, HangUp, Woken, TimedOut, Failed };

class TSerialDevice {
public:
    TSerialDevice() = default;
    ~TSerialDevice();
    TSerialDevice(const TSerialDevice&) = delete;
    TSerialDevice& operator=(const TSerialDevice&) = delete;

    // Opens for exclusive use in raw mode, 8N1 at 57600, no hang-up on close.
    // A device another process holds fails with -EWOULDBLOCK (the lock).
    int Open(const std::string& path);
    int Close();
    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }

    int SetLine(const TLineSettings& settings); // -EINVAL for a rate termios lacks
    int GetLine(TLineSettings& settings) const;
    static bool SupportedBaud(std::uint32_t baud);

    int SetDtr(bool on);
    int SetRts(bool on);
    int SetBreak(bool on);
    // Modem lines and error counters. A device that answers ENOTTY or EINVAL
    // to either request (pseudo-terminals) is not asked again until reopened.
    int GetModemState(TModemState& state) const;

    ssize_t Read(void* buffer, std::size_t size);        // 0 when nothing waits, -EIO once hung up
    ssize_t Write(const void* buffer, std::size_t size); // may be partial; 0 when the driver is full
    int PurgeInput();
    int PurgeOutput();
    int Drain(); // blocks until the driver has sent everything
    int BytesWaitingToSend() const;

    // Waits until the device is readable (or writable), hung up, woken or timed out.
    TWaitResult WaitReadable(const TWakeFd& wake, int timeoutMs) const;
    TWaitResult WaitWritable(const TWakeFd& wake, int timeoutMs) const;

private:
    TWaitResult Wait(short events, const TWakeFd& wake, int timeoutMs) const;
    int ModemBits(int bits, bool on);

    int FFd = -1;
    // Set once per open, read by any thread that asks for the modem state.
    mutable std::atomic<bool> FNoLines{false};
    mutable std::atomic<bool> FNoCounters{false};
};

} // namespace dravane::platform
