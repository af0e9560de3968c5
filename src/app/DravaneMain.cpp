#include "app/DravaneMain.h"

#include "app/AboutBox.h"
#include "app/CommControl.h"
#include "comm/AntennaDefs.h"
#include "comm/Defines.h"
#include "comm/NetDefs.h"
#include "platform/AppException.h"
#include "platform/IniFile.h"
#include "platform/SettingsPath.h"
#include "ui_DravaneMain.h"
#include "widgets/IndArrow.h"
#include "widgets/IndBlinkLed.h"
#include "widgets/IndShadowButton.h"

#include <algorithm>

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QToolTip>

namespace dravane::app {

using namespace dravane::comm;

namespace {
constexpr std::int32_t defaultAntOffColor = 8421504;      // 0x808080, mid grey
constexpr std::int32_t defaultControllerColor = 16776960; // 0xFFFF00: cyan in 0x00BBGGRR
constexpr std::uint32_t linkOkColor = 0x00FF00;
constexpr std::uint32_t linkFailColor = 0x0000FF;
constexpr std::uint32_t linkNoControllerColor = 0x00A5FF;

// LED colour index: palette 1 is the unlit lamp, palette 2 the lit one.
constexpr int ledOff = 1;
constexpr int ledOn = 2;

// The caption face of the mode buttons: bold sans-serif, 16 pixels high.
constexpr int modeButtonFontPixels = 16;

// The link in words beside its colour, which not everyone can tell apart.
struct TLinkWords {
    const char* Caption;
    const char* State;
};
constexpr TLinkWords linkWords[] = {{"Comm", "not reported yet"},
                                    {"Comm OK", "working"},
                                    {"Comm down", "down"},
                                    {"No controller", "Server reached, controller not answering"}};
} // namespace

TDravaneMain::TDravaneMain(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::DravaneMain>()) {
    ui->setupUi(this);
    QFont f = font();
    f.setPixelSize(11);
    setFont(f);
    ui->NetLed->setCursor(Qt::PointingHandCursor);
    SizeLinkIndicator();
    ShowLinkLook(llUnknown);
    if (!platform::ApplicationMainForm())
        platform::SetApplicationMainForm(this);
    connect(ui->NetLed, &widgets::TColorPanel::Click, this,
            [this] { platform::Guarded([this] { Communications1Click(); }); });
    // The widgets emit Click inside their own exception guard.
    connect(ui->KelLeftBtn, &widgets::TIndArrow::Click, this, &TDravaneMain::KelLeftBtnClick);
    connect(ui->KelRightBtn, &widgets::TIndArrow::Click, this, &TDravaneMain::KelRightBtnClick);
    connect(ui->KelUniDirBtn, &widgets::TIndShadowButton::Click, this, &TDravaneMain::KelUniDirBtnClick);
    connect(ui->KelBiDirBtn, &widgets::TIndShadowButton::Click, this, &TDravaneMain::KelBiDirBtnClick);
    connect(ui->KelFlipBtn, &widgets::TIndShadowButton::Click, this, &TDravaneMain::KelFlipBtnClick);
    connect(ui->KelOmniBtn, &widgets::TIndShadowButton::Click, this, &TDravaneMain::KelOmniBtnClick);
    // A form stores point sizes only; the captions' height is fixed in pixels.
    for (widgets::TIndShadowButton* b : {ui->KelUniDirBtn, ui->KelBiDirBtn, ui->KelFlipBtn, ui->KelOmniBtn}) {
        QFont caption = b->font();
        caption.setPixelSize(modeButtonFontPixels);
        b->setFont(caption);
    }
    FormCreate();
}

TDravaneMain::~TDravaneMain() {
    if (platform::ApplicationMainForm() == this)
        platform::SetApplicationMainForm(nullptr);
}

void TDravaneMain::FormCreate() {
    DravaneLeds = {{{ui->KelNorthEastLed1, ui->KelNorthEastLed2},
                    {ui->KelEastLed1, ui->KelEastLed2},
                    {ui->KelSouthEastLed1, ui->KelSouthEastLed2},
                    {ui->KelSouthLed1, ui->KelSouthLed2},
                    {ui->KelSouthWestLed1, ui->KelSouthWestLed2},
                    {ui->KelWestLed1, ui->KelWestLed2},
                    {ui->KelNorthWestLed1, ui->KelNorthWestLed2},
                    {ui->KelNorthLed1, ui->KelNorthLed2}}};
    LoadConfiguration();
}

void TDravaneMain::LoadConfiguration() {
    const platform::TIniFile ini(platform::SettingsFileName());
    AntennaOffColor =
        static_cast<std::uint32_t>(ini.ReadInteger("Colors", "AntOffColor", defaultAntOffColor));
    ControllerColor =
        static_cast<std::uint32_t>(ini.ReadInteger("Colors", "ControllerColor", defaultControllerColor));
    UseDefaultOffColor = ini.ReadBool("Options", "DefaultOffColor", true);
    const int top = ini.ReadInteger("Display", "Top", 0);
    const int left = ini.ReadInteger("Display", "Left", 0);
    move(left, top);
    // A position saved with a screen that is gone (or edited by hand) would
    // put the window where nobody can reach it.
    const QRect where(QPoint(left, top), size());
    const auto screens = QGuiApplication::screens();
    const bool reachable = std::any_of(screens.begin(), screens.end(), [&](const QScreen* screen) {
        return screen->availableGeometry().intersects(where);
    });
    if (const QScreen* primary = QGuiApplication::primaryScreen(); !reachable && primary)
        move(primary->availableGeometry().topLeft());
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
        ShowLinkLook(llOk);
        break;
    case mcCommLinkFail:
        ShowLinkLook(llFail);
        break;
    case mcCommLinkNoController:
        ShowLinkLook(llNoController);
        break;
    case mcDravaneStatus:
        UpdateDravaneStatus();
        break;
    default:
        break;
    }
    return false;
}

void TDravaneMain::ShowControl(const QString& Text) {
    const QString tip = Text.startsWith(QStringLiteral("Controlled by"))
                            ? Text + QStringLiteral(": the array takes no commands from here")
                            : QString();
    for (QWidget* b : std::initializer_list<QWidget*>{ui->KelLeftBtn, ui->KelRightBtn, ui->KelUniDirBtn,
                                                      ui->KelBiDirBtn, ui->KelFlipBtn, ui->KelOmniBtn})
        b->setToolTip(tip);
}

void TDravaneMain::ShowCommandRefused(const QString& Why) {
    QToolTip::showText(QCursor::pos(), Why, this);
}

void TDravaneMain::ShowLinkLook(TLinkLook look) {
    if (look == llOk)
        ui->NetLed->SetColor(linkOkColor);
    else if (look == llFail)
        ui->NetLed->SetColor(linkFailColor);
    else if (look == llNoController)
        ui->NetLed->SetColor(linkNoControllerColor);
    const TLinkWords& words = linkWords[look];
    ui->NetLed->SetCaption(QString::fromLatin1(words.Caption));
    ui->NetLed->setToolTip(
        QStringLiteral(
            "Link to the antenna controller: %1.\nClick, or press Space, for the Communications window.")
            .arg(QString::fromLatin1(words.State)));
}

// Wide enough for every caption in the window's font (larger fonts, larger
// text settings), so the indicator neither cuts its words nor jumps between
// states; it grows about its middle.
void TDravaneMain::SizeLinkIndicator() {
    const QRect placed = ui->NetLed->geometry();
    QSize size = placed.size();
    for (const TLinkWords& words : linkWords)
        size = size.expandedTo(ui->NetLed->SizeFor(QString::fromLatin1(words.Caption)));
    QRect r(QPoint(), size);
    r.moveCenter(placed.center());
    r.moveTop(std::max(0, r.top()));
    ui->NetLed->setGeometry(r);
}

void TDravaneMain::BringToFront() {
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void TDravaneMain::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("&Communications..."), this,
                   [this] { platform::Guarded([this] { Communications1Click(); }); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("&About Dravane Control..."), this,
                   [this] { platform::Guarded([this] { ShowAboutBox(this); }); });
    menu.exec(event->globalPos());
}

void TDravaneMain::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const bool turn =
        (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) && modifiers == Qt::NoModifier;
    if (!turn) {
        QWidget::keyPressEvent(event);
        return;
    }
    // A held key would queue turn after turn behind the controller's replies.
    if (event->isAutoRepeat())
        return;
    platform::Guarded([this, left = event->key() == Qt::Key_Left] {
        if (left)
            KelLeftBtnClick();
        else
            KelRightBtnClick();
    });
}

void TDravaneMain::Communications1Click() {
    if (!CommControl)
        return;
    CommControl->show();
    CommControl->raise();
    CommControl->activateWindow();
}

void TDravaneMain::UpdateDravaneStatus() {
    if (!CommControl)
        return;
    const std::string Data = CommControl->GetData();
    if (Data.size() < 2)
        return;
    // Payload bytes are 0..255: a char would make 200 negative.
    const auto Mode = static_cast<std::uint8_t>(Data[0]);
    const auto SetRow = [this](int Row, int ColorIndex) {
        for (widgets::TIndBlinkLed* Led : DravaneLeds[static_cast<std::size_t>(Row)])
            Led->SetColorIndex(ColorIndex);
    };
    // Lights the rows `lit` picks for direction d; a direction beyond the
    // rose leaves every LED as it was.
    const auto SetDirectionLeds = [&](auto lit) {
        const int d = static_cast<std::uint8_t>(Data[1]);
        if (d >= kelDirections)
            return;
        for (int i = 0; i < kelDirections; ++i)
            SetRow(i, lit(i, d) ? ledOn : ledOff);
    };
    const auto SetUniDirLeds = [&] { SetDirectionLeds([](int i, int d) { return i == d; }); };
    const auto SetBiDirLeds = [&] {
        SetDirectionLeds([](int i, int d) { return i == d || i == (d + 4) % kelDirections; });
    };
    const auto SetOmniLeds = [&] {
        for (const int Row : {kelNorthEast, kelSouthEast, kelSouthWest, kelNorthWest})
            SetRow(Row, ledOn);
        for (const int Row : {kelEast, kelSouth, kelWest, kelNorth})
            SetRow(Row, ledOff);
    };

    switch (Mode) {
    case kelUnidir:
        PressShadowButton(ui->KelUniDirBtn, ControllerColor);
        RaiseShadowButton(ui->KelBiDirBtn, AntennaOffColor);
        RaiseShadowButton(ui->KelFlipBtn, AntennaOffColor);
        RaiseShadowButton(ui->KelOmniBtn, AntennaOffColor);
        SetUniDirLeds();
        break;
    case kelBidir:
        PressShadowButton(ui->KelBiDirBtn, ControllerColor);
        RaiseShadowButton(ui->KelUniDirBtn, AntennaOffColor);
        RaiseShadowButton(ui->KelFlipBtn, AntennaOffColor);
        RaiseShadowButton(ui->KelOmniBtn, AntennaOffColor);
        SetBiDirLeds();
        break;
    case kelOmniDir:
        PressShadowButton(ui->KelOmniBtn, ControllerColor);
        RaiseShadowButton(ui->KelFlipBtn, AntennaOffColor);
        RaiseShadowButton(ui->KelBiDirBtn, AntennaOffColor);
        RaiseShadowButton(ui->KelUniDirBtn, AntennaOffColor);
        SetOmniLeds();
        break;
    default:
        break;
    }
}

void TDravaneMain::PressShadowButton(widgets::TIndShadowButton* Btn, std::uint32_t Color) {
    Btn->BeginUpdate();
    Btn->Brush().SetColor(Color);
    Btn->Brush().SetStyle(Qt::SolidPattern);
    Btn->EndUpdate();
}

void TDravaneMain::RaiseShadowButton(widgets::TIndShadowButton* Btn, std::uint32_t Color) {
    if (Btn->Brush().Color() != Color)
        PressShadowButton(Btn, Color);
}

void TDravaneMain::SendButton(std::uint8_t Button) {
    if (CommControl)
        CommControl->SendCommand(baseDravane, cmd485_SetDravane, std::string(1, static_cast<char>(Button)),
                                 cmd485_DravaneStatus);
}

void TDravaneMain::KelLeftBtnClick() {
    SendButton(kelLeftButton);
}
void TDravaneMain::KelRightBtnClick() {
    SendButton(kelRightButton);
}
void TDravaneMain::KelUniDirBtnClick() {
    SendButton(KelUniDirButton);
}
void TDravaneMain::KelBiDirBtnClick() {
    SendButton(KelBiDirButton);
}
void TDravaneMain::KelFlipBtnClick() {
    SendButton(KelFlipButton);
}
void TDravaneMain::KelOmniBtnClick() {
    SendButton(KelOmniButton);
}

} // namespace dravane::app
