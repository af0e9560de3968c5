#include "rotator/LinkDrive.h"

#include "comm/CommLink.h"
#include "comm/NetDefs.h"
#include "platform/IniFile.h"

#include <cstdio>

namespace dravane::rotator {

TLinkDrive::TLinkDrive(comm::TCommLink& link, QObject* parent) : QObject(parent), FLink(link) {
    connect(&FLink, &comm::TCommLink::PacketReceived, this, &TLinkDrive::packetReceived);
}

bool TLinkDrive::Turn(bool right) {
    const char button = static_cast<char>(right ? comm::kelRightButton : comm::kelLeftButton);
    return FLink.SendCommand(comm::baseDravane, comm::cmd485_SetDravane, std::string(1, button),
                             comm::cmd485_DravaneStatus);
}

bool TLinkDrive::LinkUp() const {
    const comm::TLinkStatus status =
        FLink.GetOpMode() == comm::omClient ? FLink.GetRemoteStatus() : FLink.GetLinkStatus();
    return status == comm::lsReady;
}

bool TLinkDrive::CanTurn() const {
    // Someone else holds control of a shared station: the link refuses at once.
    if (FLink.ControlledByOther())
        return false;
    return LinkUp();
}

void TLinkDrive::packetReceived(const comm::TNetPacket& packet) {
    if (packet.Cmd != comm::cmd485_DravaneStatus)
        return;
    FState = comm::TAntennaState::FromPayload(packet.Data);
    emit StatusReported();
}

TLinkRotator::TLinkRotator(comm::TCommLink& link, const TRotatorSettings& settings)
    : FDrive(link), FListener(FDrive, settings) {
    QObject::connect(&FDrive, &TLinkDrive::StatusReported, &FListener, &TRotatorListener::StatusReport);
}

std::unique_ptr<TLinkRotator> TLinkRotator::FromSettingsFile(comm::TCommLink& link,
                                                             const std::string& fileName) {
    TRotatorSettings settings;
    settings.Load(platform::TIniFile(fileName));
    if (!settings.Enabled)
        return nullptr;
    return std::make_unique<TLinkRotator>(link, settings);
}

bool TLinkRotator::Start() {
    if (FListener.Start())
        return true;
    std::fprintf(stderr, "Rotator listener: %s\n", FListener.ErrorText().toLocal8Bit().constData());
    std::fflush(stderr);
    return false;
}

} // namespace dravane::rotator
