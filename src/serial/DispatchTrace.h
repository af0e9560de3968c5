#pragma once
// Diagnostics of a dispatcher: the byte trace (every byte sent and received,
// in order) and the dispatch log (what the dispatcher did, with times). Both
// are fixed-size in-memory rings, allocated when started and written to a
// plain text file on request. They stay off unless a user turns them on, and
// cost one branch per event then.
//
// Thread safety: the rings have none inside; TDispatchDiagnostics, which
// holds both for a dispatcher, serialises every call with its own leaf lock.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dravane::serial {

// Dispatch log entry kinds.
enum TDispatchType : std::uint8_t {
    dtNone,
    dtDispatch,
    dtTrigger,
    dtError,
    dtThread,
    dtTriggerAlloc,
    dtTriggerDispose,
    dtTriggerHandlerAlloc,
    dtTriggerHandlerDispose,
    dtTimerTrigger,
    dtDataTrigger,
    dtStatusTrigger,
    dtTelnet,
    dtUser,
};

enum TDispatchSubType : std::uint8_t {
    dstNone,
    dstReadCom,
    dstWriteCom,
    dstLineStatus,
    dstModemStatus,
    dstAvail,
    dstTimer,
    dstData,
    dstStatus,
    dstThreadStart,
    dstThreadExit,
    dstWndHandler,
    dstProcHandler,
    dstEventHandler,
    dstCommand,
    dstRWill,
    dstRWont,
    dstRDo,
    dstRDont,
    dstSWill,
    dstSWont,
    dstSDo,
    dstSDont,
    dstSTerm,
};

std::string_view DispatchTypeName(TDispatchType t);
std::string_view DispatchSubTypeName(TDispatchSubType t);

// Shared on/off/pause bookkeeping of both rings.
template <class TEntry> class TDiagRing {
public:
    // Allocates (or reallocates) the ring and switches it on.
    void Init(std::uint32_t entries) {
        FEntries.assign(entries == 0 ? 1 : entries, TEntry{});
        FIndex = 0;
        FWrapped = false;
        FOn = true;
    }
    bool Allocated() const { return !FEntries.empty(); }
    bool On() const { return FOn; }
    // Start resumes a paused ring; Stop pauses it (entries kept).
    bool Start() { return Allocated() && (FOn = true); }
    void Stop() { FOn = false; }
    void Clear() {
        FIndex = 0;
        FWrapped = false;
    }
    void Abort() {
        FEntries.clear();
        FEntries.shrink_to_fit();
        FOn = false;
        Clear();
    }
    void Add(const TEntry& e) {
        if (!FOn)
            return;
        FEntries[FIndex] = e;
        if (++FIndex == FEntries.size()) {
            FIndex = 0;
            FWrapped = true;
        }
    }
    // Oldest first.
    template <class Fn> void ForEach(Fn&& fn) const {
        if (FWrapped)
            for (std::size_t i = FIndex; i < FEntries.size(); ++i)
                fn(FEntries[i]);
        for (std::size_t i = 0; i < FIndex; ++i)
            fn(FEntries[i]);
    }
    std::size_t Count() const { return FWrapped ? FEntries.size() : FIndex; }

private:
    std::vector<TEntry> FEntries;
    std::size_t FIndex = 0;
    bool FWrapped = false;
    bool FOn = false;
};

struct TTraceEntry {
    char Kind = 0; // 'T' transmitted, 'R' received
    std::uint8_t Ch = 0;
};

struct TLogEntry {
    std::uint32_t TimeMs = 0;
    TDispatchType Type = dtNone;
    TDispatchSubType SubType = dstNone;
    std::uint32_t Data = 0;
    std::uint8_t TextLen = 0;
    std::array<char, 47> Text{}; // cut, so logging never allocates
};

// The trace as text: one line per run of bytes in the same direction, at most
// 64 bytes a line. Printable bytes as characters, others as [xx] when InHex,
// every byte as xx when AllHex.
std::string FormatTrace(const TDiagRing<TTraceEntry>& ring, bool inHex, bool allHex);
// The dispatch log as text: one line per entry, time relative to the time base.
std::string FormatDispatchLog(const TDiagRing<TLogEntry>& ring, std::string_view deviceName, bool inHex,
                              bool allHex);

// Writes or appends text to a file; 0 or a negated system error number.
int WriteDiagFile(const std::string& fileName, const std::string& text, bool append);

// A dispatcher's trace and dispatch log. Every call may run on any thread;
// TraceOn and LogOn are one atomic load, for the byte paths.
class TDispatchDiagnostics {
public:
    enum TRingOp : std::uint8_t { roStart, roStop, roClear, roAbort };

    void InitTrace(std::uint32_t Entries);
    void AddTrace(char Kind, std::uint8_t Ch);
    // Writes (Append false: then switches the trace off) or appends the
    // trace; NotEnabled when there is none.
    int WriteTrace(const std::string& FileName, bool InHex, bool AllHex, bool Append, int NotEnabled);
    void ChangeTrace(TRingOp Op);
    bool TraceOn() const { return FTraceActive.load(); }

    void InitLog(std::uint32_t Entries);
    // Times are taken relative to the time base.
    void SetTimeBase(std::uint32_t NowMs) { FTimeBase = NowMs; }
    void AddLog(std::uint32_t NowMs, TDispatchType Type, TDispatchSubType SubType, std::uint32_t Data,
                const void* Buf, std::size_t BufLen);
    int WriteLog(const std::string& FileName, std::string_view DeviceName, bool InHex, bool AllHex,
                 bool Append, int NotEnabled);
    void ChangeLog(TRingOp Op);
    bool LogOn() const { return FLogActive.load(); }

private:
    mutable std::mutex FLock;      // leaf lock
    TDiagRing<TTraceEntry> FTrace; // FLock
    TDiagRing<TLogEntry> FLog;     // FLock
    std::atomic<std::uint32_t> FTimeBase{0};
    std::atomic<bool> FTraceActive{false};
    std::atomic<bool> FLogActive{false};
};

} // namespace dravane::serial
