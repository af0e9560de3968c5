#include "app/DravaneMain.h"

#include "comm/CommControl.h"
#include "comm/Defines.h"
#include "platform/AppException.h"
#include "platform/IniFile.h"
#include "platform/SettingsPath.h"
#include "ui_DravaneMain.h"

#include <QCloseEvent>

namespace dravane::app {

using namespace dravane::comm;

namespace {
constexpr std::int32_t defaultAntOffColor = 8421504;     // 0x808080, mid grey
constexpr std::int32_t defaultControllerColor = 16776960; // 0xFFFF00: cyan in 0x00BBGGRR
constexpr std::uint32_t linkOkColor = 0x00FF00;
constexpr std::uint32_t linkFailColor = 0x0000FF;
} // namespace

TDravaneMain::TDravaneMain(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::DravaneMain>()) {
    ui->setupUi(this);
    ui->NetLed->SetCaption("Comm");
    QFont f = font();
    f.setPixelSize(11);
    setFont(f);
    if (!platform::ApplicationMainForm())
        platform::SetApplicationMainForm(this);
    connect(ui->NetLed, &widgets::TColorPanel::Click, this, [this] { platform::Guarded([this] { Communications1Click(); }); });
    FormCreate();
}

TDravaneMain::~TDravaneMain() {
    if (platform::ApplicationMainForm() == this)
        platform::SetApplicationMainForm(nullptr);
}

void TDravaneMain::FormCreate() { LoadConfiguration(); }

void TDravaneMain::LoadConfiguration() {
    const platform::TIniFile ini(platform::SettingsFileName());
    AntennaOffColor = static_cast<std::uint32_t>(ini.ReadInteger("Colors", "AntOffColor", defaultAntOffColor));
    ControllerColor = static_cast<std::uint32_t>(ini.ReadInteger("Colors", "ControllerColor", defaultControllerColor));
    UseDefaultOffColor = ini.ReadBool("Options", "DefaultOffColor", true);
    const int top = ini.ReadInteger("Display", "Top", 0);
    const int left = ini.ReadInteger("Display", "Left", 0);
    move(left, top);
}

void TDravaneMain::SaveConfiguration() {
    platform::TIniFile ini(platform::SettingsFileName());
    ini.WriteInteger("Display", "Left", pos().x());
    ini.WriteInteger("Display", "Top", pos().y());
    ini.WriteInteger("Colors", "ControllerColor", static_cast<std::int32_t>(ControllerColor));
    ini.WriteInteger("Colors", "AntOffColor", static_cast<std::int32_t>(AntennaOffColor));
}

void TDravaneMain::closeEvent(QCloseEvent* event) {
    if (!FClosed) {
        FClosed = true;
        FormClose();
    }
    event->accept();
}

void TDravaneMain::FormClose() {
    SystemReady = false;
    try {
        if (CommControl)
            CommControl->Shutdown();
    } catch (const std::exception& e) {
        platform::ShowErrorMessageModal(e.what());
    }
    try {
        SaveConfiguration();
    } catch (const std::exception& e) {
        // The program ends all the same once the operator has seen why.
        platform::ShowErrorMessageModal(e.what());
    }
    emit Closed();
}

bool TDravaneMain::ExecuteAction(platform::TAction& action) {
    if (!SystemReady)
        return false;
    switch (action.Tag) {
    case mcCommLinkOk:
        ui->NetLed->SetColor(linkOkColor);
        break;
    case mcCommLinkFail:
        ui->NetLed->SetColor(linkFailColor);
        break;
    case mcDravaneStatus:
        UpdateDravaneStatus();
        break;
    default:
        break;
    }
    return false;
}

void TDravaneMain::Communications1Click() {
    if (!CommControl)
        return;
    CommControl->show();
    CommControl->raise();
    CommControl->activateWindow();
}

void TDravaneMain::UpdateDravaneStatus() {
    // The antenna panel (not built yet) relights the compass rose from GetData();
    // until it exists a status report changes nothing on the screen.
}

} // namespace dravane::app
