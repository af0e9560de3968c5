#pragma once
// The controller simulator's core on the master end of a pseudo-terminal,
// run by the UI thread's event loop on a clock the test moves. It records
// every line it received; the test may change the simulator's options (the
// antenna keeps its state), add answers of its own, or stop reading (a
// stalled controller).

#include "sim/Simulator.h"
#include "support/PtyPair.h"

#include <QSocketNotifier>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravane::test {

class TFakeController {
public:
    TFakeController() { Attach(); }

    const std::string& SlavePath() const { return FPty->SlavePath(); }

    // Lines received, without their CR; every byte received, raw.
    std::vector<std::string> Lines;
    std::string Raw;
    // Status reports sent, the simulator's and the test's own; every byte sent.
    int Replies = 0;
    std::size_t Sent = 0;
    // Sees each line received, after the simulator.
    std::function<void(const std::string&)> OnLine;

    void SetOptions(sim::TSimOptions options) {
        options.Mode = FSim->Mode();
        options.Direction = FSim->Direction();
        FSim = std::make_unique<sim::TSimulator>(options, FNow, 1);
    }
    std::uint8_t Direction() const { return FSim->Direction(); }
    // Moves the simulator's clock on; what falls due is sent.
    void Advance(std::chrono::milliseconds span) {
        FNow += span;
        Flush();
    }

    // A stalled controller reads nothing; resuming reads what waited.
    void SetReading(bool on) {
        FNotifier->setEnabled(on);
        if (on)
            Drain();
    }

    int Count(const std::string& line) const {
        int n = 0;
        for (const auto& l : Lines)
            n += l == line;
        return n;
    }
    int CommandCount() const {
        int n = 0;
        for (const auto& l : Lines)
            n += l.rfind("[R", 0) == 0;
        return n;
    }

    void Send(const std::string& bytes) {
        for (std::size_t p = bytes.find("[T"); p != std::string::npos; p = bytes.find("[T", p + 2))
            ++Replies;
        Sent += bytes.size();
        FPty->Write(bytes);
    }

    // The cable pulled: the device end sees a hang-up.
    void Unplug() {
        FNotifier.reset();
        FPty->CloseMaster();
    }
    // A new device in place of the old one.
    void Replug() {
        FNotifier.reset();
        FPty = std::make_unique<PtyPair>();
        Attach();
    }

private:
    void Attach() {
        FNotifier = std::make_unique<QSocketNotifier>(FPty->Master(), QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
    }

    void Drain() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(FPty->Master(), buf, sizeof buf)) > 0) {
            const std::string bytes(buf, static_cast<std::size_t>(n));
            FSim->Receive(bytes, FNow);
            Flush();
            for (const char c : bytes)
                Record(c);
        }
    }

    void Flush() {
        if (const std::string due = FSim->TakeDue(FNow); !due.empty())
            Send(due);
    }

    void Record(char c) {
        Raw += c;
        if (c != '\r') {
            if (c != '\n')
                FLine += c;
            return;
        }
        Lines.push_back(FLine);
        if (OnLine)
            OnLine(FLine);
        FLine.clear();
    }

    sim::TClock::time_point FNow = sim::TClock::time_point{};
    std::unique_ptr<sim::TSimulator> FSim = std::make_unique<sim::TSimulator>(sim::TSimOptions{}, FNow, 1);
    std::unique_ptr<PtyPair> FPty = std::make_unique<PtyPair>();
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::string FLine;
};

} // namespace dravane::test
