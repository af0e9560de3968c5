#pragma once
// The go-to engine and the rotator listener over the link to the controller,
// as both programs run them.
//
// TLinkDrive turns the array with the controller's left and right buttons
// through TCommLink::SendCommand and keeps the state the last status packet
// gave. Which link it depends on follows the role: the TCP link to the
// Server in the Client role, the serial link otherwise.
//
// On a shared station where someone else holds control the link refuses
// commands at once; the drive then says it cannot turn: the listener answers
// P with the I/O error code at once and a running move fails, rather than
// counting eight refused commands as sent. p still reports where the array
// points: every status the controller gives reaches every desk.
//
// Threading: UI thread only, like the link.

#include "comm/AntennaDefs.h"
#include "rotator/GoToEngine.h"
#include "rotator/RotatorListener.h"

#include <QObject>
#include <memory>
#include <optional>
#include <string>

namespace dravane::comm {
class TCommLink;
struct TNetPacket;
} // namespace dravane::comm

namespace dravane::rotator {

class TLinkDrive : public QObject, public TAntennaDrive {
    Q_OBJECT
public:
    // The link outlives the drive.
    explicit TLinkDrive(comm::TCommLink& link, QObject* parent = nullptr);

    bool Turn(bool right) override;
    std::optional<comm::TAntennaState> State() const override { return FState; }
    bool LinkUp() const override;
    bool CanTurn() const override;

signals:
    // A status packet was decoded (State() holds what it said).
    void StatusReported();

private:
    void packetReceived(const comm::TNetPacket& packet);

    comm::TCommLink& FLink;
    // From the last status packet; none before the first, or when the last did not decode.
    std::optional<comm::TAntennaState> FState;
};

// The listener over a link, created from the settings file: null when
// [Rotator] Enabled is not 1. A listen failure leaves it not listening (the
// caller reports ErrorText()); the drive still follows the status reports.
class TLinkRotator {
public:
    TLinkRotator(comm::TCommLink& link, const TRotatorSettings& settings);
    static std::unique_ptr<TLinkRotator> FromSettingsFile(comm::TCommLink& link, const std::string& fileName);

    // Starts the listener; a failure is one line on standard error (both
    // programs run from a terminal or a service log) as well as false.
    bool Start();

    TLinkDrive& Drive() { return FDrive; }
    TRotatorListener& Listener() { return FListener; }

private:
    TLinkDrive FDrive; // before the listener, which holds a reference to it
    TRotatorListener FListener;
};

} // namespace dravane::rotator
