#pragma once
// Constants and plain records shared by the dispatcher, its device layers
// (serial and TCP) and the port components. Numbers are fixed: they travel in
// notification messages and are compared with values the components store.

#include <cstdint>

namespace dravane::platform {
class TMessageWindow;
}

namespace dravane::serial {

// A window handler or a port user: the hidden message window it is reached
// through (platform/MessageWindow.h), compared by identity.
using TWndHandle = const platform::TMessageWindow*;

// Receive ring and trigger handles.
constexpr int DispatchBufferSize = 8192;
static_assert((DispatchBufferSize & (DispatchBufferSize - 1)) == 0, "ring positions wrap by masking");
constexpr int FirstTriggerCounter = 1;
// Trigger counters run below this; handles are counter x 8 and so stay within 16 bits.
constexpr int MaxTriggerHandle = 4096;
constexpr int StatusTypeMask = 7;
constexpr int MaxDataTriggerLen = 21;

// A receive-ring position brought back into the ring.
constexpr int RingMask(int pos) {
    return pos % DispatchBufferSize;
}

// Device event bits (the event word of a status item).
constexpr std::uint32_t evRxChar = 1;
constexpr std::uint32_t evRxFlag = 2;
constexpr std::uint32_t evTxEmpty = 4;
constexpr std::uint32_t evCts = 8;
constexpr std::uint32_t evDsr = 16;
constexpr std::uint32_t evRlsd = 32;
constexpr std::uint32_t evBreak = 64;
constexpr std::uint32_t evErr = 128;
constexpr std::uint32_t evRing = 256;
constexpr std::uint32_t evRingTe = 8192;
constexpr std::uint32_t DefEventMask = 8697;
constexpr std::uint32_t ModemEvent = 8504;
constexpr std::uint32_t LineEvent = 192;

// Device error word bits (accumulated in LastError).
constexpr std::uint32_t ceRxOver = 1;
constexpr std::uint32_t ceOverrun = 2;
constexpr std::uint32_t ceRxParity = 4;
constexpr std::uint32_t ceFrame = 8;
constexpr std::uint32_t ceBreak = 16;
constexpr std::uint32_t AllErrorMask = 15;
constexpr std::uint32_t ValidErrorMask = 31;

// Modem status byte.
constexpr std::uint8_t DeltaCTSMask = 1;
constexpr std::uint8_t DeltaDSRMask = 2;
constexpr std::uint8_t DeltaRIMask = 4;
constexpr std::uint8_t DeltaDCDMask = 8;
constexpr std::uint8_t CTSMask = 16;
constexpr std::uint8_t DSRMask = 32;
constexpr std::uint8_t RIMask = 64;
constexpr std::uint8_t DCDMask = 128;
constexpr std::uint8_t ClearDelta = 240;

enum TTriggerType : std::uint8_t { ttNone, ttAvail, ttTimer, ttData, ttStatus };

// Status trigger types (low three bits of a status trigger's handle).
constexpr std::uint16_t stNotActive = 0;
constexpr std::uint16_t stModem = 1;
constexpr std::uint16_t stLine = 2;
constexpr std::uint16_t stOutBuffFree = 3;
constexpr std::uint16_t stOutBuffUsed = 4;
constexpr std::uint16_t stOutSent = 5;

// Line-error codes reported to the line-error event.
constexpr std::uint16_t leNoError = 0;
constexpr std::uint16_t leBuffer = 1;
constexpr std::uint16_t leOverrun = 2;
constexpr std::uint16_t leParity = 3;
constexpr std::uint16_t leFraming = 4;
constexpr std::uint16_t leCTSTO = 5;
constexpr std::uint16_t leDSRTO = 6;
constexpr std::uint16_t leDCDTO = 7;
constexpr std::uint16_t leTxFull = 8;
constexpr std::uint16_t leBreak = 9;

// Line-status bits accepted by line status triggers.
constexpr std::uint16_t lsOverrun = 1;
constexpr std::uint16_t lsParity = 2;
constexpr std::uint16_t lsFraming = 4;
constexpr std::uint16_t lsBreak = 8;

// Notification messages.
constexpr std::uint32_t pw_TriggerAvail = 32257;
constexpr std::uint32_t pw_TriggerData = 32258;
constexpr std::uint32_t pw_TriggerTimer = 32259;
constexpr std::uint32_t pw_TriggerStatus = 32260;
constexpr std::uint32_t pw_PortOpen = 32264;
constexpr std::uint32_t pw_PortClose = 32265;
constexpr std::uint32_t pw_ClosePending = 32266;

// InitPort options.
constexpr int ipAssertDTR = 1;
constexpr int ipAssertRTS = 2;
constexpr int ipAutoDTR = 16;
constexpr int ipAutoRTS = 32;

// Hardware and software flow options.
constexpr int hfUseDTR = 1;
constexpr int hfUseRTS = 2;
constexpr int hfRequireDSR = 4;
constexpr int hfRequireCTS = 8;
constexpr int sfTransmitFlow = 1;
constexpr int sfReceiveFlow = 2;

enum TFlowControlState : std::uint8_t {
    fcOff,
    fcOn,
    fcDsrHold,
    fcCtsHold,
    fcDcdHold,
    fcXOutHold,
    fcXInHold,
    fcXBothHold
};
enum TThreadBoost : std::uint8_t { tbNone, tbPlusOne, tbPlusTwo };

// Options word.
constexpr std::uint16_t poUseEventWord = 16;

// SetLine values meaning "keep the current setting".
constexpr std::int32_t DontChangeBaud = 0;
constexpr int DontChangeParity = 5;
constexpr int DontChangeDatabits = 9;
constexpr int DontChangeStopbits = 3;

// Parity codes of the control block (same ordinals as the port's TParity).
constexpr std::uint8_t NOPARITY = 0;
constexpr std::uint8_t ODDPARITY = 1;
constexpr std::uint8_t EVENPARITY = 2;
constexpr std::uint8_t MARKPARITY = 3;
constexpr std::uint8_t SPACEPARITY = 4;

// Stop-bit codes of the control block.
constexpr std::uint8_t ONESTOPBIT = 0;
constexpr std::uint8_t ONE5STOPBITS = 1;
constexpr std::uint8_t TWOSTOPBITS = 2;

// EscapeComFunction codes.
constexpr int SETRTS = 3;
constexpr int CLRRTS = 4;
constexpr int SETDTR = 5;
constexpr int CLRDTR = 6;
constexpr int SETBREAK = 8;
constexpr int CLRBREAK = 9;

// UpdateHandlerFlags arguments.
constexpr int fuKeepPort = 0;
constexpr int fuEnablePort = 1;
constexpr int fuDisablePort = 2;

// Device control block: what SetComState programs. The device layer maps it
// onto the platform's line settings.
struct TDCB {
    // Flags word.
    static constexpr std::uint32_t fBinary = 0x0001;
    static constexpr std::uint32_t fParity = 0x0002;
    static constexpr std::uint32_t fOutxCtsFlow = 0x0004;
    static constexpr std::uint32_t fOutxDsrFlow = 0x0008;
    static constexpr std::uint32_t fDtrControlMask = 0x0030; // 2 bits, DTR_CONTROL_* << 4
    static constexpr std::uint32_t fDsrSensitivity = 0x0040;
    static constexpr std::uint32_t fTXContinueOnXoff = 0x0080;
    static constexpr std::uint32_t fOutX = 0x0100;
    static constexpr std::uint32_t fInX = 0x0200;
    static constexpr std::uint32_t fNull = 0x0800;
    static constexpr std::uint32_t fRtsControlMask = 0x3000; // 2 bits, RTS_CONTROL_* << 12
    static constexpr int DtrControlShift = 4;
    static constexpr int RtsControlShift = 12;
    static constexpr std::uint32_t CONTROL_DISABLE = 0;
    static constexpr std::uint32_t CONTROL_ENABLE = 1;
    static constexpr std::uint32_t CONTROL_HANDSHAKE = 2;

    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = NOPARITY;
    std::uint8_t StopBits = ONESTOPBIT;
    std::uint8_t XonChar = 17;
    std::uint8_t XoffChar = 19;

    std::uint32_t DtrControl() const { return (Flags & fDtrControlMask) >> DtrControlShift; }
    std::uint32_t RtsControl() const { return (Flags & fRtsControlMask) >> RtsControlShift; }
    void SetDtrControl(std::uint32_t v) { Flags = (Flags & ~fDtrControlMask) | (v << DtrControlShift); }
    void SetRtsControl(std::uint32_t v) { Flags = (Flags & ~fRtsControlMask) | (v << RtsControlShift); }
    bool operator==(const TDCB&) const = default;
};

// Device status: hold flags and queue counts.
struct TComStat {
    static constexpr std::uint32_t fCtsHold = 1;
    static constexpr std::uint32_t fDsrHold = 2;
    static constexpr std::uint32_t fRlsdHold = 4;
    static constexpr std::uint32_t fXoffHold = 8;
    static constexpr std::uint32_t fXoffSent = 16;
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

} // namespace dravane::serial
