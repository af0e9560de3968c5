#pragma once
// A controller behind a link, for the go-to engine and the listener: it
// turns by whatever rule a test gives it and, like the real link, waits for
// its answer in a nested event loop.

#include "rotator/GoToEngine.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace dravane::test {

class TFakeDrive : public rotator::TAntennaDrive {
public:
    bool Turn(bool right) override {
        Turns.push_back(right);
        ++FDepth;
        MaxDepth = std::max(MaxDepth, FDepth);
        // Whatever the event loop holds (a new target, a posted move) runs
        // here, as it does while the real link waits for its reply.
        if (OnceDuringTurn)
            std::exchange(OnceDuringTurn, nullptr)();
        QEventLoop wait;
        QTimer::singleShot(AnswerMs, &wait, &QEventLoop::quit);
        wait.exec();
        --FDepth;
        if (!Current && Reveal)
            Current = std::exchange(Reveal, std::nullopt);
        if (!Answers || !Current)
            return false;
        if (!Moves)
            return true;
        const int steps = Turns.size() == DoubleOnTurn ? 2 : 1;
        const int clockwise = right == RightClockwise ? steps : -steps;
        Current->Direction = static_cast<std::uint8_t>((Current->Direction + clockwise + 8) % 8);
        return true;
    }
    std::optional<comm::TAntennaState> State() const override { return Current; }
    bool LinkUp() const override { return Up; }

    std::optional<comm::TAntennaState> Current;
    // Where the array is before any report: the first turn's report shows it (turned).
    std::optional<comm::TAntennaState> Reveal;
    bool Up = true;
    bool Answers = true;
    bool Moves = true;
    bool RightClockwise = true;
    std::size_t DoubleOnTurn = 0; // the turn (1-based) that moves two steps
    int AnswerMs = 1;
    std::function<void()> OnceDuringTurn; // runs inside the next Turn
    std::vector<bool> Turns;              // true: right
    int MaxDepth = 0;

private:
    int FDepth = 0;
};

} // namespace dravane::test
