#pragma once
// An antenna controller on the master end of a pseudo-terminal, run by the
// UI thread's event loop: it answers "[LINK]" with "[LINKOK]" and a Dravane
// command with a status report, and records every line it received. Its
// behaviour can be switched: silent, replying with another command byte,
// answering a command only when it arrives for the second time (a slow
// controller, which acts on both), or not reading at all (a stalled one).

#include "support/PtyPair.h"

#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace dravane::test {

class TFakeController {
public:
    TFakeController() { Attach(); }

    const std::string& SlavePath() const { return FPty->SlavePath(); }
    PtyPair& Pty() { return *FPty; }

    // Lines received, without their CR; every byte received, raw.
    std::vector<std::string> Lines;
    std::string Raw;

    bool Silent = false;
    std::uint8_t ReplyCmd = 0x4B;
    bool AnswerRepeatsOnly = false;
    int IgnoreCommand = 0; // the payload byte of a command left unanswered
    int Replies = 0;       // status reports sent
    std::uint8_t Mode = 1;
    std::uint8_t Direction = 0;

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

    void Send(const std::string& bytes) { FPty->Write(bytes); }

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

    void Drain() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(FPty->Master(), buf, sizeof buf)) > 0) {
            for (ssize_t k = 0; k < n; ++k)
                Feed(buf[k]);
        }
    }

private:
    void Attach() {
        FNotifier = std::make_unique<QSocketNotifier>(FPty->Master(), QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
    }

    void Feed(char c) {
        Raw += c;
        if (c != '\r') {
            if (c != '\n')
                FLine += c;
            return;
        }
        Lines.push_back(FLine);
        Answer(FLine);
        FLine.clear();
    }

    void Answer(const std::string& line) {
        if (Silent)
            return;
        if (line == "[LINK]") {
            Send("[LINKOK]\r");
            return;
        }
        if (line.rfind("[R98T4AH", 0) != 0 || line.size() < 11)
            return;
        const int n = std::stoi(line.substr(8, 2), nullptr, 16);
        if (n == IgnoreCommand)
            return;
        // The command acts at every receipt; a slow controller answers late.
        if (n == 1)
            Direction = static_cast<std::uint8_t>((Direction + 7) % 8);
        else if (n == 2)
            Direction = static_cast<std::uint8_t>((Direction + 1) % 8);
        else if (n >= 3 && n <= 4)
            Mode = static_cast<std::uint8_t>(n - 2);
        if (AnswerRepeatsOnly && Count(line) < 2)
            return;
        char reply[48];
        std::snprintf(reply, sizeof reply, "[T%02XR0198H00M%02X%02X]\r", ReplyCmd, Mode, Direction);
        ++Replies;
        Send(reply);
    }

    std::unique_ptr<PtyPair> FPty = std::make_unique<PtyPair>();
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::string FLine;
};

} // namespace dravane::test
