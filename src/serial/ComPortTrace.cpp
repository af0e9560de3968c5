#include "serial/ComPort.h"

#include "serial/BaseDispatcher.h"

#include <algorithm>
#include <string>
#include <utility>

namespace dravane::serial {

namespace {

// The trace and the dispatch log share their state machine; these name the
// dispatcher operations of each.
struct TTraceLogOps {
    void (TBaseDispatcher::*Init)(std::uint32_t);
    int (TBaseDispatcher::*Dump)(const std::string&, bool, bool);
    int (TBaseDispatcher::*Append)(const std::string&, bool, bool);
    void (TBaseDispatcher::*Start)();
    void (TBaseDispatcher::*Stop)();
    void (TBaseDispatcher::*Clear)();
    void (TBaseDispatcher::*Abort)();
};
constexpr TTraceLogOps TraceOps{&TBaseDispatcher::InitTracing, &TBaseDispatcher::DumpTrace,
                                &TBaseDispatcher::AppendTrace, &TBaseDispatcher::StartTracing,
                                &TBaseDispatcher::StopTracing, &TBaseDispatcher::ClearTracing,
                                &TBaseDispatcher::AbortTracing};
constexpr TTraceLogOps LogOps{&TBaseDispatcher::InitDispatchLogging, &TBaseDispatcher::DumpDispatchLog,
                              &TBaseDispatcher::AppendDispatchLog,   &TBaseDispatcher::StartDispatchLogging,
                              &TBaseDispatcher::StopDispatchLogging, &TBaseDispatcher::ClearDispatchLogging,
                              &TBaseDispatcher::AbortDispatchLogging};

} // namespace

// ---------------------------------------------------------------- tracing and logging

void TCustomComPort::ApplyTraceLog(TTraceLogState& Field, TTraceLogState Value, bool Log) {
    if (Value == Field && !FForce)
        return;
    if (PortIsOpen()) {
        const TTraceLogOps& ops = Log ? LogOps : TraceOps;
        TBaseDispatcher& d = *FDispatcher;
        const std::string& name = Log ? FLogName : FTraceName;
        const bool hex = Log ? FLogHex : FTraceHex;
        const bool allHex = Log ? FLogAllHex : FTraceAllHex;
        const bool active = Field == tlOn || Field == tlPause;
        switch (Value) {
        case tlOff:
            (d.*ops.Abort)();
            break;
        case tlOn:
            if (Field == tlPause)
                (d.*ops.Start)();
            else
                (d.*ops.Init)(Log ? FLogSize : FTraceSize);
            break;
        case tlDump:
        case tlAppend:
            if (active)
                Check(Value == tlDump ? (d.*ops.Dump)(name, hex, allHex)
                                      : (d.*ops.Append)(name, hex, allHex));
            (d.*ops.Abort)();
            Value = tlOff;
            break;
        case tlClear:
            (d.*ops.Clear)();
            Value = Field;
            break;
        case tlPause:
            (d.*ops.Stop)();
            break;
        case tlAppendAndContinue:
            if (active)
                Check((d.*ops.Append)(name, hex, allHex));
            (d.*ops.Clear)();
            Value = tlOn;
            break;
        }
    } else if (Value != tlOff && Value != tlOn && Value != tlPause) {
        // Writing needs an open port; a closed port keeps its state.
        return;
    }
    Field = Value;
}

void TCustomComPort::SetTracing(TTraceLogState Value) {
    ApplyTraceLog(FTracing, Value, false);
}
void TCustomComPort::SetLogging(TTraceLogState Value) {
    ApplyTraceLog(FLogging, Value, true);
}

void TCustomComPort::SetTraceName(std::string Value) {
    Value.resize(std::min(Value.size(), MaxFileNameLength));
    FTraceName = std::move(Value);
}
void TCustomComPort::SetLogName(std::string Value) {
    Value.resize(std::min(Value.size(), MaxFileNameLength));
    FLogName = std::move(Value);
}

void TCustomComPort::InitTracing(std::uint32_t NumEntries) {
    FTraceSize = NumEntries;
    SetTracing(tlOn);
}
void TCustomComPort::DumpTrace(const std::string& FName, bool InHex) {
    FTraceName = FName;
    FTraceHex = InHex;
    SetTracing(tlDump);
}
void TCustomComPort::AppendTrace(const std::string& FName, bool InHex, TTraceLogState NewState) {
    FTraceName = FName;
    FTraceHex = InHex;
    SetTracing(NewState == tlOn ? tlAppendAndContinue : tlAppend);
}
void TCustomComPort::ClearTracing() {
    SetTracing(tlClear);
}
void TCustomComPort::AbortTracing() {
    SetTracing(tlOff);
}
void TCustomComPort::StartTracing() {
    SetTracing(tlOn);
}
void TCustomComPort::StopTracing() {
    SetTracing(tlPause);
}
void TCustomComPort::AddTraceEntry(char CurEntry, std::uint8_t CurCh) {
    ValidDispatcher().AddTraceEntry(CurEntry, CurCh);
}
void TCustomComPort::InitLogging(std::uint32_t Size) {
    FLogSize = Size;
    SetLogging(tlOn);
}
void TCustomComPort::DumpLog(const std::string& FName, bool InHex) {
    FLogName = FName;
    FLogHex = InHex;
    SetLogging(tlDump);
}
void TCustomComPort::AppendLog(const std::string& FName, bool InHex, TTraceLogState NewState) {
    FLogName = FName;
    FLogHex = InHex;
    SetLogging(NewState == tlOn ? tlAppendAndContinue : tlAppend);
}
void TCustomComPort::ClearLogging() {
    SetLogging(tlClear);
}
void TCustomComPort::AbortLogging() {
    SetLogging(tlOff);
}
void TCustomComPort::StartLogging() {
    SetLogging(tlOn);
}
void TCustomComPort::StopLogging() {
    SetLogging(tlPause);
}
void TCustomComPort::AddStringToLog(std::string_view S) {
    ValidDispatcher().AddStringToLog(S);
}

} // namespace dravane::serial
