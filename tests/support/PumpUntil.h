#pragma once
// Runs the UI thread's event loop until a condition holds or a deadline
// passes. The loop blocks for events; a short wake-up timer lets conditions
// that other threads change be seen without a spin.

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

namespace dravane::test {

template <class Fn> bool PumpUntil(Fn done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
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

} // namespace dravane::test
