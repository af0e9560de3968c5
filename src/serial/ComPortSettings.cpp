#include "serial/ComPort.h"

#include "serial/BaseDispatcher.h"
#include "serial/PortErrors.h"

namespace dravane::serial {

// ---------------------------------------------------------------- line settings

void TCustomComPort::SetComNumber(std::uint16_t Value) {
    if (Value == FComNumber)
        return;
    if (FPortState != psOpen) {
        FComNumber = Value;
        return;
    }
    // Closing saves the triggers and opening restores them; the trace and
    // log states are put back before the reopen applies them.
    const TTraceLogState tracing = FTracing;
    const TTraceLogState logging = FLogging;
    SetOpen(false);
    FComNumber = Value;
    FTracing = tracing;
    FLogging = logging;
    SetOpen(true);
}

void TCustomComPort::SetBaud(std::int32_t Value) {
    FBaud = Value;
    if (PortIsOpen())
        Check(FDispatcher->SetLine(FBaud, FParity, FDataBits, FStopBits));
}
void TCustomComPort::SetParity(TParity Value) {
    FParity = Value;
    if (PortIsOpen())
        Check(FDispatcher->SetLine(FBaud, FParity, FDataBits, FStopBits));
}
void TCustomComPort::SetDataBits(std::uint16_t Value) {
    FDataBits = Value;
    if (PortIsOpen())
        Check(FDispatcher->SetLine(FBaud, FParity, FDataBits, FStopBits));
}
void TCustomComPort::SetStopBits(std::uint16_t Value) {
    FStopBits = Value;
    if (PortIsOpen())
        Check(FDispatcher->SetLine(FBaud, FParity, FDataBits, FStopBits));
}

void TCustomComPort::SetInSize(std::uint16_t Value) {
    FInSize = Value;
    if (PortIsOpen())
        FDispatcher->SetCommBuffers(FInSize, FOutSize);
}
void TCustomComPort::SetOutSize(std::uint16_t Value) {
    FOutSize = Value;
    if (PortIsOpen())
        FDispatcher->SetCommBuffers(FInSize, FOutSize);
}

void TCustomComPort::SetDTR(bool Value) {
    if (Value == FDTR && !FForce)
        return;
    if (PortIsOpen() && FDispatcher->SetDtr(Value) != ecOK)
        return;
    FDTR = Value;
}
void TCustomComPort::SetRTS(bool Value) {
    if (Value == FRTS && !FForce)
        return;
    if (PortIsOpen() && FDispatcher->SetRts(Value) != ecOK)
        return;
    FRTS = Value;
}

void TCustomComPort::ApplyHWFlow() {
    int bits = 0;
    if (FHWFlowOptions.Contains(hwfUseDTR))
        bits |= hfUseDTR;
    if (FHWFlowOptions.Contains(hwfUseRTS))
        bits |= hfUseRTS;
    if (FHWFlowOptions.Contains(hwfRequireDSR))
        bits |= hfRequireDSR;
    if (FHWFlowOptions.Contains(hwfRequireCTS))
        bits |= hfRequireCTS;
    Check(FDispatcher->HWFlowOptions(FBufferFull, FBufferResume, bits));
}

void TCustomComPort::ApplySWFlow() {
    static constexpr int Bits[] = {0, sfReceiveFlow, sfTransmitFlow, sfReceiveFlow | sfTransmitFlow};
    if (FSWFlowOptions == swfNone) {
        Check(FDispatcher->SWFlowDisable());
        return;
    }
    Check(FDispatcher->SWFlowEnable(FBufferFull, FBufferResume, Bits[FSWFlowOptions]));
    Check(FDispatcher->SWFlowChars(FXOnChar, FXOffChar));
}

void TCustomComPort::SetHWFlowOptions(THWFlowOptions Value) {
    if (Value == FHWFlowOptions && !FForce)
        return;
    FHWFlowOptions = Value;
    if (!Value.Empty()) {
        if (FBufferFull == 0 || FBufferFull > FInSize)
            FBufferFull = static_cast<std::uint16_t>(FInSize * 9 / 10);
        if (FBufferResume == 0 || FBufferResume > FBufferFull)
            FBufferResume = static_cast<std::uint16_t>(FInSize / 10);
    }
    if (Value.Contains(hwfUseRTS) || Value.Contains(hwfRequireCTS))
        FRS485Mode = false;
    if (PortIsOpen())
        ApplyHWFlow();
}

void TCustomComPort::SetSWFlowOptions(TSWFlowOptions Value) {
    if (Value == FSWFlowOptions && !FForce)
        return;
    FSWFlowOptions = Value;
    if (PortIsOpen())
        ApplySWFlow();
}

void TCustomComPort::SetXOnChar(std::uint8_t Value) {
    if (Value == FXOnChar && !FForce)
        return;
    FXOnChar = Value;
    if (PortIsOpen())
        Check(FDispatcher->SWFlowChars(FXOnChar, FXOffChar));
}
void TCustomComPort::SetXOffChar(std::uint8_t Value) {
    if (Value == FXOffChar && !FForce)
        return;
    FXOffChar = Value;
    if (PortIsOpen())
        Check(FDispatcher->SWFlowChars(FXOnChar, FXOffChar));
}

// A threshold above the input size would be refused by the dispatcher, so it
// becomes nine tenths of the input size, as the hardware-flow setter does.
void TCustomComPort::SetBufferFull(std::uint16_t Value) {
    if (Value > FInSize)
        Value = static_cast<std::uint16_t>(FInSize * 9 / 10);
    FBufferFull = Value;
    if (PortIsOpen()) {
        ApplyHWFlow();
        ApplySWFlow();
    }
}
void TCustomComPort::SetBufferResume(std::uint16_t Value) {
    if (Value > FBufferFull)
        Value = static_cast<std::uint16_t>(FBufferFull / 10);
    FBufferResume = Value;
    if (PortIsOpen()) {
        ApplyHWFlow();
        ApplySWFlow();
    }
}

// ---------------------------------------------------------------- behaviour

void TCustomComPort::SetDeviceLayer(TDeviceLayer Value) {
    if (FPortState != psClosed || Value == FDeviceLayer || !AcceptsDeviceLayer(Value))
        return;
    FDeviceLayer = Value;
    DeviceLayerChanged();
}

void TCustomComPort::SetTriggerLength(std::uint16_t Value) {
    if (Value == FTriggerLength && !FForce)
        return;
    FTriggerLength = Value;
    if (PortIsOpen())
        Check(FDispatcher->ChangeLengthTrigger(Value));
}

void TCustomComPort::SetUseMSRShadow(bool Value) {
    FUseMSRShadow = Value;
}

void TCustomComPort::SetUseEventWord(bool Value) {
    if (Value == FUseEventWord && !FForce)
        return;
    FUseEventWord = Value;
    if (!PortIsOpen())
        return;
    if (Value)
        FDispatcher->OptionsOn(poUseEventWord);
    else
        FDispatcher->OptionsOff(poUseEventWord);
}

// The dispatcher keeps RS-485 mode off (the mode is not used by this program);
// the value is kept for the next layer that honours it.
void TCustomComPort::SetRS485Mode(bool Value) {
    FRS485Mode = Value;
}

void TCustomComPort::SetThreadBoost(TThreadBoost Value) {
    if (Value == FThreadBoost && !FForce)
        return;
    FThreadBoost = Value;
    if (PortIsOpen())
        FDispatcher->SetThreadBoost(Value);
}

} // namespace dravane::serial
