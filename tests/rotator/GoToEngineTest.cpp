#include "rotator/GoToEngine.h"
#include "FakeDrive.h"
#include "support/EventLoop.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace dravane::test {
namespace {

using comm::kelBidir;
using comm::kelOmniDir;
using comm::kelUnidir;
using rotator::TGoToEngine;

constexpr bool R = true;
constexpr bool L = false;

struct TMove {
    std::vector<bool> Turns;
    std::vector<int> Arrived;
    QStringList Failed;
};

// Sets the target and lets the move run to its end.
TMove moveTo(TFakeDrive& drive, TGoToEngine& engine, int target) {
    QSignalSpy arrived(&engine, &TGoToEngine::Arrived);
    QSignalSpy failed(&engine, &TGoToEngine::Failed);
    drive.Turns.clear();
    engine.SetTarget(target);
    EXPECT_TRUE(PumpUntil([&] { return !engine.Moving(); }));
    TMove move{drive.Turns, {}, {}};
    for (const QList<QVariant>& a : arrived)
        move.Arrived.push_back(a.at(0).toInt());
    for (const QList<QVariant>& f : failed)
        move.Failed.push_back(f.at(0).toString());
    return move;
}

TEST(GoToEngine, TurnsTheShorterWayAndCorrectsWhatTheControllerDoes) {
    TFakeDrive drive;
    {
        SCOPED_TRACE("UNI north-east to north-west: two steps left, not six right");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        TGoToEngine engine(drive);
        const TMove m = moveTo(drive, engine, 6);
        EXPECT_EQ(m.Turns, (std::vector<bool>{L, L}));
        EXPECT_EQ(m.Arrived, std::vector<int>{6});
        EXPECT_EQ(drive.Current->Direction, 6);
    }
    {
        SCOPED_TRACE("a doubled step is turned back");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        drive.DoubleOnTurn = 1;
        TGoToEngine engine(drive);
        const TMove m = moveTo(drive, engine, 1);
        EXPECT_EQ(m.Turns, (std::vector<bool>{R, L}));
        EXPECT_EQ(drive.Current->Direction, 1);
        drive.DoubleOnTurn = 0;
    }
    {
        SCOPED_TRACE("a controller whose right turns anticlockwise is learned once, then trusted");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        drive.RightClockwise = false;
        TGoToEngine engine(drive);
        TMove m = moveTo(drive, engine, 2);
        EXPECT_EQ(m.Turns, (std::vector<bool>{R, L, L, L}));
        EXPECT_EQ(drive.Current->Direction, 2);
        m = moveTo(drive, engine, 4);
        EXPECT_EQ(m.Turns, (std::vector<bool>{L, L}));
        EXPECT_EQ(m.Arrived, std::vector<int>{4});
        drive.RightClockwise = true;
    }
    {
        SCOPED_TRACE("BI: either lit direction is there; otherwise the nearer of the two turns");
        drive.Current = comm::TAntennaState{kelBidir, 0};
        TGoToEngine engine(drive);
        EXPECT_EQ(engine.SetTarget(4), rotator::gsThere);
        EXPECT_FALSE(engine.Moving());
        const TMove m = moveTo(drive, engine, 3);
        EXPECT_EQ(m.Turns, (std::vector<bool>{L}));
        EXPECT_TRUE(drive.Current->Lit(3));
    }
    {
        SCOPED_TRACE("OMNI, and no report yet with the link down, take no target");
        TGoToEngine engine(drive);
        drive.Current = comm::TAntennaState{kelOmniDir, 0};
        EXPECT_EQ(engine.SetTarget(3), rotator::gsNoDirection);
        drive.Current.reset();
        drive.Up = false;
        EXPECT_EQ(engine.SetTarget(3), rotator::gsNoState);
        EXPECT_FALSE(engine.Moving());
        drive.Up = true;
    }
    {
        SCOPED_TRACE("no report yet: a right turn brings the first, then the shorter way");
        TGoToEngine engine(drive);
        drive.Current.reset();
        drive.Reveal = comm::TAntennaState{kelUnidir, 5};
        const TMove m = moveTo(drive, engine, 3);
        EXPECT_EQ(m.Turns, (std::vector<bool>{R, L, L, L}));
        EXPECT_EQ(m.Arrived, std::vector<int>{3});
    }
    {
        SCOPED_TRACE("a late report of a retried step resumes the move that had arrived");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        TGoToEngine engine(drive);
        EXPECT_EQ(moveTo(drive, engine, 1).Arrived, std::vector<int>{1});
        drive.Turns.clear();
        drive.Current->Direction = 2;
        engine.StatusReport();
        ASSERT_TRUE(PumpUntil([&] { return !engine.Moving(); }));
        EXPECT_EQ(drive.Turns, (std::vector<bool>{L}));
        EXPECT_EQ(drive.Current->Direction, 1);
    }
}

TEST(GoToEngine, ANewTargetReplacesTheRunningMoveAndAMoveIsBounded) {
    TFakeDrive drive;
    {
        SCOPED_TRACE("a new target set inside Turn is taken by the running loop");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        TGoToEngine engine(drive);
        drive.OnceDuringTurn = [&] { EXPECT_EQ(engine.SetTarget(7), rotator::gsMoving); };
        const TMove m = moveTo(drive, engine, 3);
        EXPECT_EQ(m.Turns, (std::vector<bool>{R, L, L}));
        EXPECT_EQ(m.Arrived, std::vector<int>{7});
        EXPECT_EQ(drive.MaxDepth, 1) << "two move loops ran at once";
        EXPECT_TRUE(m.Failed.isEmpty());
    }
    {
        SCOPED_TRACE("a controller that answers but never turns gets eight commands, then a failure");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        drive.Moves = false;
        TGoToEngine engine(drive);
        const TMove m = moveTo(drive, engine, 2);
        EXPECT_EQ(m.Turns.size(), std::size_t(TGoToEngine::MaxCommands));
        EXPECT_EQ(m.Failed.size(), 1);
        EXPECT_TRUE(m.Arrived.empty());
        drive.Moves = true;
    }
    {
        SCOPED_TRACE("a controller that stops answering ends the move at once");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        drive.Answers = false;
        TGoToEngine engine(drive);
        const TMove m = moveTo(drive, engine, 2);
        EXPECT_EQ(m.Turns.size(), 1u);
        EXPECT_EQ(m.Failed.size(), 1);
    }
}

} // namespace
} // namespace dravane::test
