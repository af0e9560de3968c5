#include "comm/CommControl.h"

#include "comm/Packet.h"
#include "ui_CommControl.h"

namespace dravane::comm {

ToperatingMode OperatingModeFromIndex(int index) {
    switch (index) {
    case 1:
        return omClient;
    case 2:
        return omServer;
    default:
        return omNormal;
    }
}

TCommControl::TCommControl(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::CommControl>()) {
    ui->setupUi(this);
    FormCreate();
}

TCommControl::~TCommControl() = default;

void TCommControl::FormCreate() {
    ActionToDo.Tag = 0;
    NetBusy = false;
    RemoteConnected = false;
    LinkStatus = lsDisconnected;
    RemoteStatus = lsDisconnected;
    DoAction(mcCommLinkFail);
}

bool TCommControl::ExecuteAction(platform::TAction& action) {
    if (action.Tag == mcShowCommunications) {
        show();
        raise();
        activateWindow();
    }
    return false;
}

void TCommControl::DoAction(std::int32_t Action) {
    ActionToDo.Tag = Action;
    if (auto* mainForm = platform::ApplicationMainForm())
        mainForm->ExecuteAction(ActionToDo);
}

void TCommControl::DecodePacket(const std::string& line) {
    if (!ParsePacketLine(line, NetPacket))
        return;
    if (NetPacket.Cmd == Response)
        Response = 0;
    if (const auto code = ActionCodeForPacket(NetPacket))
        DoAction(*code);
}

void TCommControl::Shutdown() {
    LinkStatus = lsDisconnected;
    RemoteStatus = lsDisconnected;
    RemoteConnected = false;
    DoAction(mcCommLinkFail);
}

} // namespace dravane::comm
