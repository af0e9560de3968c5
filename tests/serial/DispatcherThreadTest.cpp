// The dispatcher on a real dispatcher thread: bytes cross from a producer
// thread to handlers on the dispatcher thread and on the UI thread, while
// the UI thread writes and reads counters at the same time.

#include "serial/PortErrors.h"
#include "support/ScriptDispatcher.h"

#include <QCoreApplication>
#include <chrono>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace dravane::serial;
using dravane::test::TScriptDispatcher;

namespace {

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t k = 0; k < n; ++k)
        s[k] = static_cast<char>('A' + (k * 7 + k / 253) % 26);
    return s;
}

// Pumps the UI thread's events until done() holds or 20 s have passed.
template <class Fn> bool PumpUntil(Fn done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

struct TCollector {
    TBaseDispatcher* D = nullptr;
    std::mutex Lock;
    std::string Got; // Lock
    std::thread::id Thread;
    void Handle(std::uint32_t Msg, std::uintptr_t w, std::intptr_t) {
        if (Msg != pw_TriggerAvail)
            return;
        std::string chunk(w, '\0');
        if (D->GetBlock(chunk.data(), static_cast<int>(w)) != static_cast<int>(w))
            chunk = "<short read>";
        std::lock_guard lock(Lock);
        Got += chunk;
        Thread = std::this_thread::get_id();
    }
    std::size_t Size() {
        std::lock_guard lock(Lock);
        return Got.size();
    }
};

// Opens the port with a length trigger of 1 and registers the collector.
void Attach(TScriptDispatcher& d, TCollector& c) {
    ASSERT_EQ(d.Open(), ecOK);
    d.ChangeLengthTrigger(1);
    c.D = &d;
    d.RegisterEventTriggerHandler(TNotifyEvent::Bind<TCollector, &TCollector::Handle>(&c));
}

void Produce(TScriptDispatcher& d, const std::string& data) {
    std::mt19937 rng(3);
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 700, data.size() - at);
        d.Receive(std::string_view(data).substr(at, n));
        at += n;
        if (rng() % 8 == 0)
            std::this_thread::yield();
    }
}

TEST(DispatcherThread, EveryByteReachesAnEventHandlerInOrder) {
    TScriptDispatcher d(dravane::platform::TMsClock::System(), true);
    TCollector c;
    Attach(d, c);
    const std::string data = Pattern(64 * 1024);
    std::thread producer([&] { Produce(d, data); });
    int writes = 0;
    const bool done = PumpUntil([&] {
        if (d.PutString("ping") == ecOK)
            ++writes;
        d.TakeWritten();
        (void)d.InBuffUsed();
        return c.Size() >= data.size();
    });
    producer.join();
    ASSERT_TRUE(done);
    std::lock_guard lock(c.Lock);
    EXPECT_EQ(c.Got, data);
    EXPECT_NE(c.Thread, std::this_thread::get_id());
    EXPECT_GT(writes, 0);
}

TEST(DispatcherThread, WindowAndSynchronisedHandlersRunOnTheUiThreadAndShareTheBytes) {
    TScriptDispatcher d(dravane::platform::TMsClock::System(), true);
    ASSERT_EQ(d.Open(), ecOK);
    d.ChangeLengthTrigger(1);
    TCollector sync;
    sync.D = &d;
    d.RegisterSyncEventTriggerHandler(TNotifyEvent::Bind<TCollector, &TCollector::Handle>(&sync));
    TCollector win;
    win.D = &d;
    dravane::platform::TMessageWindow window([&](std::uint32_t Msg, std::uintptr_t w, std::intptr_t l) {
        win.Handle(Msg, w, l);
        return std::intptr_t(0);
    });
    d.RegisterWndTriggerHandler(&window);
    d.UpdateHandlerFlags(fuEnablePort);
    const std::string data = Pattern(20000);
    std::thread producer([&] { Produce(d, data); });
    const bool done = PumpUntil([&] { return win.Size() >= data.size() && sync.Size() >= data.size(); });
    producer.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(win.Got, data);
    EXPECT_EQ(sync.Got, data);
    EXPECT_EQ(win.Thread, std::this_thread::get_id());
    EXPECT_EQ(sync.Thread, std::this_thread::get_id());
    EXPECT_EQ(d.InBuffUsed(), 0);
    d.DeregisterWndTriggerHandler(&window);
}

TEST(DispatcherThread, CloseWhileBytesFlowEndsTheThread) {
    for (int round = 0; round < 20; ++round) {
        TScriptDispatcher d(dravane::platform::TMsClock::System(), true);
        TCollector c;
        Attach(d, c);
        std::thread producer([&] { Produce(d, Pattern(8000)); });
        d.DonePort();
        if (d.IsClosePending()) {
            // The close met a delivery: the thread ends by itself, and the
            // deferred close finishes the job, as the port's message does.
            EXPECT_TRUE(PumpUntil([&] { return !d.ThreadsActive(); }));
            d.DonePortPrim();
        }
        producer.join();
        EXPECT_FALSE(d.ThreadsActive());
        EXPECT_EQ(d.InBuffUsed(), 0);
    }
}

} // namespace
