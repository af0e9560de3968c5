#include "rotator/GoToEngine.h"

#include <QPointer>

namespace dravane::rotator {

using comm::kelBidir;
using comm::kelDirections;
using comm::kelOmniDir;

namespace {

// Steps from one direction to another along the rose that the mode turns
// (half of it in BI, where two opposite directions are lit), in (-half, half].
int shortestSteps(int from, int to, std::uint8_t mode) {
    const int period = mode == kelBidir ? kelDirections / 2 : kelDirections;
    int steps = ((to - from) % period + period) % period;
    if (steps > period / 2)
        steps -= period;
    return steps;
}

} // namespace

TGoToEngine::TGoToEngine(TAntennaDrive& drive, QObject* parent) : QObject(parent), FDrive(drive) {}

TGoToStart TGoToEngine::SetTarget(int direction) {
    const std::optional<comm::TAntennaState> state = FDrive.State();
    if (!state && !FDrive.CanTurn())
        return gsNoState;
    if (state && state->Mode == kelOmniDir)
        return gsNoDirection;
    FLastTarget = direction;
    FSent = 0;
    FArrivedAt.invalidate();
    if (state && state->Lit(direction)) {
        // A command in flight may still move the array: the running loop checks after it.
        if (FRunning) {
            FTarget = direction;
        } else {
            FTarget.reset();
            FArrivedAt.start();
        }
        return gsThere;
    }
    FTarget = direction;
    post();
    return gsMoving;
}

void TGoToEngine::Stop() {
    FTarget.reset();
    FArrivedAt.invalidate();
}

void TGoToEngine::StatusReport() {
    if (FRunning || FRunPosted || FTarget || !FLastTarget || !FArrivedAt.isValid())
        return;
    if (FArrivedAt.elapsed() > SettleMs) {
        FArrivedAt.invalidate();
        return;
    }
    const std::optional<comm::TAntennaState> state = FDrive.State();
    if (!state || state->Mode == kelOmniDir || state->Lit(*FLastTarget))
        return;
    FTarget = FLastTarget;
    post();
}

void TGoToEngine::post() {
    // The running loop takes the new target after its current command.
    if (FRunning || FRunPosted)
        return;
    FRunPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            FRunPosted = false;
            run();
        },
        Qt::QueuedConnection);
}

void TGoToEngine::run() {
    if (FRunning)
        return;
    FRunning = true;
    const QPointer<TGoToEngine> alive(this);
    while (FTarget) {
        const int target = *FTarget;
        const std::optional<comm::TAntennaState> before = FDrive.State();
        if (!FDrive.CanTurn()) {
            fail(tr("the controller cannot be commanded (link down, or a Client holds it)"));
            break;
        }
        if (before && before->Mode == kelOmniDir) {
            fail(tr("the array is in OMNI mode"));
            break;
        }
        if (before && before->Lit(target)) {
            FTarget.reset();
            FArrivedAt.start();
            emit Arrived(target);
            break;
        }
        if (FSent >= MaxCommands) {
            fail(tr("not at direction %1 after %2 commands").arg(target).arg(MaxCommands));
            break;
        }
        // Nothing reported yet: any turn brings the first report, and the next pass corrects it.
        const bool right =
            !before || (shortestSteps(before->Direction, target, before->Mode) > 0) == FRightClockwise;
        ++FSent;
        const bool answered = FDrive.Turn(right);
        if (!alive)
            return;
        if (!answered) {
            fail(tr("the controller did not answer"));
            break;
        }
        // Learn which way the button turned; a move of half the rose says nothing.
        const std::optional<comm::TAntennaState> after = FDrive.State();
        if (before && after && after->Mode == before->Mode) {
            const int moved = shortestSteps(before->Direction, after->Direction, before->Mode);
            const int half = before->Mode == kelBidir ? kelDirections / 4 : kelDirections / 2;
            if (moved != 0 && moved != half)
                FRightClockwise = (moved > 0) == right;
        }
    }
    FRunning = false;
}

void TGoToEngine::fail(const QString& reason) {
    FTarget.reset();
    FArrivedAt.invalidate();
    emit Failed(reason);
}

} // namespace dravane::rotator
