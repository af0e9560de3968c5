#include "serial/DispatchTrace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dravane::serial {

namespace {

constexpr std::array<std::string_view, dtUser + 1> TypeNames{
    "None",         "Dispatch",       "Trigger",      "Error",          "Thread",
    "TriggerAlloc", "TriggerDispose", "HandlerAlloc", "HandlerDispose", "TimerTrigger",
    "DataTrigger",  "StatusTrigger",  "Telnet",       "User",
};

constexpr std::array<std::string_view, dstSTerm + 1> SubTypeNames{
    "",        "ReadCom",  "WriteCom",    "LineStatus", "ModemStatus", "Avail",       "Timer",
    "Data",    "Status",   "ThreadStart", "ThreadExit", "WndHandler",  "ProcHandler", "EventHandler",
    "Command", "RcvdWill", "RcvdWont",    "RcvdDo",     "RcvdDont",    "SentWill",    "SentWont",
    "SentDo",  "SentDont", "SentTerm",
};

void appendByte(std::string& out, std::uint8_t c, bool inHex, bool allHex) {
    char buf[8];
    if (allHex) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
    } else if (c >= 32 && c < 127) {
        buf[0] = static_cast<char>(c);
        buf[1] = 0;
    } else if (inHex) {
        std::snprintf(buf, sizeof buf, "[%02X]", c);
    } else {
        std::snprintf(buf, sizeof buf, "[%u]", c);
    }
    out += buf;
}

} // namespace

std::string_view DispatchTypeName(TDispatchType t) {
    return t < TypeNames.size() ? TypeNames[t] : "?";
}
std::string_view DispatchSubTypeName(TDispatchSubType t) {
    return t < SubTypeNames.size() ? SubTypeNames[t] : "?";
}

std::string FormatTrace(const TDiagRing<TTraceEntry>& ring, bool inHex, bool allHex) {
    std::string out;
    char kind = 0;
    int inLine = 0;
    ring.ForEach([&](const TTraceEntry& e) {
        if (e.Kind != kind || inLine == 64) {
            if (kind != 0)
                out += '\n';
            out += e.Kind == 'T' ? "Transmit: " : "Receive:  ";
            kind = e.Kind;
            inLine = 0;
        }
        appendByte(out, e.Ch, inHex, allHex);
        ++inLine;
    });
    if (kind != 0)
        out += '\n';
    return out;
}

std::string FormatDispatchLog(const TDiagRing<TLogEntry>& ring, std::string_view deviceName, bool inHex,
                              bool allHex) {
    std::string out = "Dispatch log for ";
    out += deviceName;
    out += '\n';
    char head[96];
    ring.ForEach([&](const TLogEntry& e) {
        std::snprintf(head, sizeof head, "%10.3f  %-15.*s %-12.*s %08X", e.TimeMs / 1000.0,
                      int(DispatchTypeName(e.Type).size()), DispatchTypeName(e.Type).data(),
                      int(DispatchSubTypeName(e.SubType).size()), DispatchSubTypeName(e.SubType).data(),
                      unsigned(e.Data));
        out += head;
        if (e.TextLen > 0) {
            out += "  ";
            for (int i = 0; i < e.TextLen; ++i)
                appendByte(out, static_cast<std::uint8_t>(e.Text[i]), inHex, allHex);
        }
        out += '\n';
    });
    return out;
}

int WriteDiagFile(const std::string& fileName, const std::string& text, bool append) {
    std::FILE* f = std::fopen(fileName.c_str(), append ? "ab" : "wb");
    if (f == nullptr)
        return errno != 0 ? -errno : -5;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int err = errno;
    if (std::fclose(f) != 0 || !ok)
        return err != 0 ? -err : -5;
    return 0;
}

// ---------------------------------------------------------------- a dispatcher's rings

namespace {

// The trace and the dispatch log share their states; these do the work for both.
template <class TEntry, class Format>
int WriteRing(std::mutex& lock, TDiagRing<TEntry>& ring, std::atomic<bool>& active, int notEnabled,
              const std::string& fileName, bool append, Format format) {
    std::lock_guard guard(lock);
    if (!ring.Allocated())
        return notEnabled;
    const int rc = WriteDiagFile(fileName, format(), append);
    if (append) {
        ring.Clear();
    } else {
        ring.Abort();
        active = false;
    }
    return rc;
}

template <class TEntry>
void ChangeRing(std::mutex& lock, TDiagRing<TEntry>& ring, std::atomic<bool>& active,
                TDispatchDiagnostics::TRingOp op) {
    std::lock_guard guard(lock);
    switch (op) {
    case TDispatchDiagnostics::roStart:
        active = ring.Start();
        break;
    case TDispatchDiagnostics::roStop:
        ring.Stop();
        active = false;
        break;
    case TDispatchDiagnostics::roClear:
        ring.Clear();
        break;
    case TDispatchDiagnostics::roAbort:
        ring.Abort();
        active = false;
        break;
    }
}

} // namespace

void TDispatchDiagnostics::InitTrace(std::uint32_t Entries) {
    std::lock_guard lock(FLock);
    FTrace.Init(Entries);
    FTraceActive = true;
}

void TDispatchDiagnostics::AddTrace(char Kind, std::uint8_t Ch) {
    if (!FTraceActive)
        return;
    std::lock_guard lock(FLock);
    FTrace.Add({Kind, Ch});
}

int TDispatchDiagnostics::WriteTrace(const std::string& FileName, bool InHex, bool AllHex, bool Append,
                                     int NotEnabled) {
    return WriteRing(FLock, FTrace, FTraceActive, NotEnabled, FileName, Append,
                     [&] { return FormatTrace(FTrace, InHex, AllHex); });
}

void TDispatchDiagnostics::ChangeTrace(TRingOp Op) {
    ChangeRing(FLock, FTrace, FTraceActive, Op);
}

void TDispatchDiagnostics::InitLog(std::uint32_t Entries) {
    std::lock_guard lock(FLock);
    FLog.Init(Entries);
    FLogActive = true;
}

void TDispatchDiagnostics::AddLog(std::uint32_t NowMs, TDispatchType Type, TDispatchSubType SubType,
                                  std::uint32_t Data, const void* Buf, std::size_t BufLen) {
    if (!FLogActive)
        return;
    TLogEntry e;
    e.TimeMs = NowMs - FTimeBase;
    e.Type = Type;
    e.SubType = SubType;
    e.Data = Data;
    e.TextLen = Buf == nullptr ? 0 : static_cast<std::uint8_t>(std::min(BufLen, e.Text.size()));
    if (e.TextLen > 0)
        std::memcpy(e.Text.data(), Buf, e.TextLen);
    std::lock_guard lock(FLock);
    FLog.Add(e);
}

int TDispatchDiagnostics::WriteLog(const std::string& FileName, std::string_view DeviceName, bool InHex,
                                   bool AllHex, bool Append, int NotEnabled) {
    return WriteRing(FLock, FLog, FLogActive, NotEnabled, FileName, Append,
                     [&] { return FormatDispatchLog(FLog, DeviceName, InHex, AllHex); });
}

void TDispatchDiagnostics::ChangeLog(TRingOp Op) {
    ChangeRing(FLock, FLog, FLogActive, Op);
}

} // namespace dravane::serial
