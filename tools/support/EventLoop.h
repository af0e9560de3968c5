#pragma once
// Bounded runs of the UI thread's event loop for tests that wait for notices,
// port events or conditions other threads change. The loop blocks for events;
// a short wake-up timer lets a condition changed by another thread be seen
// without spinning.

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

namespace dravane::test {

using namespace std::chrono_literals;

// Runs the event loop until done() holds or limit passes; false on time-out.
template <class Fn> bool PumpUntil(Fn done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QTimer wake;
    wake.start(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A bounded run of the event loop, to see that nothing more arrives.
inline void RunFor(std::chrono::milliseconds span) {
    PumpUntil([] { return false; }, span);
}

} // namespace dravane::test
