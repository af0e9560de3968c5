#pragma once
// Points the array at a direction with the left and right buttons only.
//
// The engine trusts no step: it re-reads the state after every command, so a
// doubled step (a late reply and a retry) or a controller whose buttons turn
// the other way is corrected. It learns which way "right" turns from the
// status reports and assumes only that left and right are opposite. One
// target gets at most MaxCommands commands.
//
// Turn() waits inside a nested event loop, so a new target (and a second
// request to run) arrives while a move is in Turn(). A new target replaces
// the running one and the running loop picks it up; there is never a second
// loop.
//
// Before the first status report of the run the direction is unknown (the
// controller reports only in answer to a button): the first command of such
// a move is a right turn, whose report tells the engine where it stands.
//
// Threading: UI thread only.

#include "comm/AntennaDefs.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <optional>

namespace dravane::rotator {

// What the engine drives: the link to the controller.
class TAntennaDrive {
public:
    virtual ~TAntennaDrive() = default;
    // Presses left or right and returns once the controller has answered with
    // a status report (true) or the link gave up (false). Waits in a nested
    // event loop (up to some seconds): anything may run meanwhile.
    virtual bool Turn(bool right) = 0;
    // The last decoded status report; none before the first one.
    virtual std::optional<comm::TAntennaState> State() const = 0;
    virtual bool LinkUp() const = 0;
    // Whether a Turn would reach the controller now. A link can be up and
    // still not carry this program's commands (a Server whose Client holds
    // the controller).
    virtual bool CanTurn() const { return LinkUp(); }
};

enum TGoToStart : std::uint8_t {
    gsMoving,      // the move is posted to the event loop (or taken over by the running one)
    gsThere,       // already pointing there (in BI: either lit direction): no command
    gsNoDirection, // OMNI: the array has no direction to turn
    gsNoState,     // no status report yet, and no command would reach the controller
};

class TGoToEngine : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxCommands = 8;
    // A status report this soon after arriving that shows the array off the
    // target (a retried command's second step) resumes the move; a later one
    // is the operator's own turn and is left alone.
    static constexpr qint64 SettleMs = 2000;

    explicit TGoToEngine(TAntennaDrive& drive, QObject* parent = nullptr);

    // Sets (or replaces) the target direction 0..7.
    TGoToStart SetTarget(int direction);
    // Drops the target; a running move ends after its current command.
    void Stop();
    // Call for every status report the link decodes.
    void StatusReport();

    bool Moving() const { return FRunning || FRunPosted; }
    // The last direction asked for, arrived or not (none before the first).
    std::optional<int> LastTarget() const { return FLastTarget; }

signals:
    void Arrived(int direction);
    void Failed(const QString& reason);

private:
    void post();
    void run();
    void fail(const QString& reason);

    TAntennaDrive& FDrive;
    std::optional<int> FTarget;     // the move's goal; none when idle
    std::optional<int> FLastTarget; // kept after arrival, for the settle check and readers
    int FSent = 0;                  // commands sent for the current target
    bool FRightClockwise = true;    // learned from the reports after each turn
    bool FRunning = false;          // run() is on the stack (inside Turn(), most of the time)
    bool FRunPosted = false;
    QElapsedTimer FArrivedAt; // invalid unless the last target was reached
};

} // namespace dravane::rotator
