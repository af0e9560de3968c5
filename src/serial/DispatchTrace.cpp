#include "serial/DispatchTrace.h"

#include <cerrno>
#include <cstdio>

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

} // namespace dravane::serial
