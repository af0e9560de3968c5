#pragma once
// Bounded runs of the Qt event loop for tests that wait for notices.

#include <QCoreApplication>
#include <QTimer>

#include <functional>

namespace dravane::testing {

// Runs the event loop until done() holds or ms pass; false on time-out.
inline bool RunUntil(const std::function<bool()>& done, int ms = 5000) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    while (!done()) {
        if (!deadline.isActive())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A bounded run of the event loop, to see that nothing more arrives.
inline void RunFor(int ms) {
    RunUntil([] { return false; }, ms);
}

} // namespace dravane::testing
