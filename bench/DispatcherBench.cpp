// Receive-path throughput of the dispatcher: 1 MiB queued in 256-byte items
// moves through ExtractData and SendNotify to an event handler that reads
// every announced byte with GetBlock, next to a plain memcpy of the same
// data in the same run. Also counts heap allocations during the measured
// passes (there must be none).
//
//   build/bench/dispatcher_bench [passes] [pattern]
//
// With a pattern, a data trigger for it is set, so every byte is also
// offered to the pattern matcher.

#include "BenchRow.h"
#include "serial/BaseDispatcher.h"
#include "serial/PortErrors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {
std::atomic<long> Allocations{0};
}

void* operator new(std::size_t n) {
    Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace dravane::serial;

namespace {

constexpr std::size_t Total = 1 << 20;
constexpr std::size_t ItemSize = 256;

// A device whose I/O queue is the source block cut into 256-byte items.
class TBenchDispatcher : public TBaseDispatcher {
public:
    TBenchDispatcher() : TBaseDispatcher(nullptr) {}
    ~TBenchDispatcher() override { DonePort(); }

    void Load(const std::uint8_t* data, std::size_t size) {
        FData = data;
        FSize = size;
        FAt = 0;
    }
    bool Drained() const { return FAt == FSize; }

    int EscapeComFunction(int) override { return 0; }
    int FlushCom(int) override { return 0; }
    int GetComError(TComStat& Stat) override {
        Stat = {};
        return 0;
    }
    int GetComEventMask(int) override { return 0; }
    int GetComState(TDCB& Block) override {
        Block = FDevice;
        return 0;
    }
    int ReadCom(std::uint8_t* Buf, int Size) override {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(Size), FSize - FAt);
        std::memcpy(Buf, FData + FAt, n);
        FAt += n;
        return static_cast<int>(n);
    }
    int SetComState(const TDCB& Block) override {
        FDevice = Block;
        return 0;
    }
    int WriteCom(const std::uint8_t*, int Size) override { return Size; }
    int WaitComEvent(std::uint32_t&) override { return 0; }
    bool SetupCom(int, int) override { return true; }
    void StartDispatcher() override {}
    void StopDispatcher() override {}
    int OutBufUsed() override { return 0; }
    // Unread bytes of the first queued item.
    int InQueueUsed() override {
        if (FAt == FSize)
            return 0;
        const std::size_t itemEnd = std::min(FSize, (FAt / ItemSize + 1) * ItemSize);
        return static_cast<int>(itemEnd - FAt);
    }
    int OpenCom(const std::string&, int, int) override { return 1; }
    int CloseCom() override { return 0; }
    bool CheckPort(const std::string&) override { return true; }
    void ProcessCommunications() override {}
    bool WaitForComItem(int) override { return !Drained(); }
    std::uint32_t TakeComEvent() override { return 0; }

private:
    TDCB FDevice;
    const std::uint8_t* FData = nullptr;
    std::size_t FSize = 0;
    std::size_t FAt = 0;
};

struct TReader {
    TBaseDispatcher* D = nullptr;
    std::uint8_t* Out = nullptr;
    std::size_t At = 0;
    long Notes = 0;
    void Handle(std::uint32_t Msg, std::uintptr_t w, std::intptr_t) {
        if (Msg != pw_TriggerAvail)
            return;
        At += static_cast<std::size_t>(D->GetBlock(Out + At, static_cast<int>(w)));
        ++Notes;
    }
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    std::vector<std::uint8_t> src(Total), dst(Total);
    for (std::size_t k = 0; k < Total; ++k)
        src[k] = static_cast<std::uint8_t>(k * 131 + k / 977);

    TBenchDispatcher d;
    if (d.InitPort("COM1", 57600, NOPARITY, 8, 1, 4096, 4096, ipAssertDTR | ipAssertRTS) != ecOK) {
        std::fprintf(stderr, "open failed\n");
        return 1;
    }
    d.ChangeLengthTrigger(1);
    if (argc > 2)
        d.AddDataTrigger(argv[2], false);
    TReader reader{&d, dst.data()};
    d.RegisterEventTriggerHandler(TNotifyEvent::Bind<TReader, &TReader::Handle>(&reader));

    std::vector<double> dispatchTimes, copyTimes;
    long allocs = 0;
    long notes = 0;
    for (int p = 0; p < passes; ++p) {
        std::memset(dst.data(), 0, Total);
        d.Load(src.data(), Total);
        reader.At = 0;
        reader.Notes = 0;
        const long before = Allocations.load();
        const auto t0 = std::chrono::steady_clock::now();
        while (d.DispatchCycle(0) && !d.Drained()) {
        }
        d.DispatchCycle(0);
        const auto t1 = std::chrono::steady_clock::now();
        allocs += Allocations.load() - before;
        notes = reader.Notes;
        if (reader.At != Total || std::memcmp(src.data(), dst.data(), Total) != 0) {
            std::fprintf(stderr, "data mismatch after %zu bytes\n", reader.At);
            return 1;
        }
        dispatchTimes.push_back(Seconds(t1 - t0));

        std::memset(dst.data(), 0, Total);
        const auto c0 = std::chrono::steady_clock::now();
        std::memcpy(dst.data(), src.data(), Total);
        const auto c1 = std::chrono::steady_clock::now();
        if (std::memcmp(src.data(), dst.data(), Total) != 0)
            return 1;
        copyTimes.push_back(Seconds(c1 - c0));
    }
    std::sort(dispatchTimes.begin(), dispatchTimes.end());
    std::sort(copyTimes.begin(), copyTimes.end());
    const double dMed = dispatchTimes[dispatchTimes.size() / 2];
    const double cMed = copyTimes[copyTimes.size() / 2];
    const double mib = double(Total) / (1 << 20);
    std::printf("passes: %d, 1 MiB in %zu-byte items, %ld notifications per pass, data trigger: %s\n", passes,
                ItemSize, notes, argc > 2 ? argv[2] : "none");
    std::printf(
        "dispatcher (ExtractData + SendNotify + GetBlock): median %.3f ms  %.0f MiB/s  (best %.0f MiB/s)\n",
        dMed * 1e3, mib / dMed, mib / dispatchTimes.front());
    std::printf(
        "plain memcpy of the same 1 MiB:                   median %.3f ms  %.0f MiB/s  (best %.0f MiB/s)\n",
        cMed * 1e3, mib / cMed, mib / copyTimes.front());
    std::printf("ratio memcpy/dispatcher (medians): %.1fx\n", dMed / cMed);
    std::printf("heap allocations during the measured dispatcher passes: %ld\n", allocs);
    using dravane::bench::Format;
    dravane::bench::Row("receive path, 1 MiB in 256-byte items",
                        Format("%.0f MiB/s", mib / dMed) + ", " + std::to_string(allocs) + " allocations",
                        Format("memcpy %.0f MiB/s", mib / cMed), dMed / cMed, "no heap allocation",
                        allocs == 0);
    return allocs == 0 ? 0 : 2;
}
