#pragma once
// The main window: the antenna panel, the "Comm" link indicator and the
// window's own settings. From the keyboard: Tab walks the indicator, the
// arrows and the mode buttons; Space or Enter presses the one in focus; the
// Left and Right keys turn the array as the arrows do. Its context menu
// (right button or the Menu key) opens the Communications window and the
// About box.

#include "platform/Action.h"

#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>

namespace Ui {
class DravaneMain;
}
namespace dravane::widgets {
class TIndBlinkLed;
class TIndShadowButton;
} // namespace dravane::widgets

namespace dravane::app {

class TDravaneMain : public QWidget, public platform::TActionTarget {
    Q_OBJECT
public:
    explicit TDravaneMain(QWidget* parent = nullptr);
    ~TDravaneMain() override;

    // Acts on the link and status codes while the system is ready; always false.
    bool ExecuteAction(platform::TAction& action) override;

    // Shows the window, unminimised, in front of the others and active
    // (a window manager may only mark it as wanting attention).
    void BringToFront();

    // A shared station: the command buttons say who holds control ("" when
    // nobody else does), and a command refused at once says why.
    void ShowControl(const QString& Text);
    void ShowCommandRefused(const QString& Why);

signals:
    // The close sequence has run; the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // What the "Comm" indicator says: nothing reported yet, link up, link down.
    enum TLinkLook : std::uint8_t { llUnknown, llOk, llFail, llNoController };
    void ShowLinkLook(TLinkLook look);
    void SizeLinkIndicator();

    void FormCreate();
    void FormClose();
    void LoadConfiguration();
    void SaveConfiguration();
    void Communications1Click();
    // Relights the compass rose and recolours the mode buttons from the last
    // status report's payload: mode, then direction index (0 = north-east,
    // clockwise); shorter payloads and unknown modes change nothing.
    void UpdateDravaneStatus();
    // Fills the button's face with Color, opaque, even when the colour is unchanged.
    void PressShadowButton(widgets::TIndShadowButton* Btn, std::uint32_t Color);
    // Fills the face only when its colour differs, so a face never filled
    // stays see-through when Color is the colour it started with.
    void RaiseShadowButton(widgets::TIndShadowButton* Btn, std::uint32_t Color);

    // Each sends one command and waits for the controller's status report;
    // the panel changes only when that report arrives.
    void KelLeftBtnClick();
    void KelRightBtnClick();
    void KelUniDirBtnClick();
    void KelBiDirBtnClick();
    void KelFlipBtnClick();
    void KelOmniBtnClick();
    void SendButton(std::uint8_t Button);

    std::unique_ptr<Ui::DravaneMain> ui;
    // By direction index; inner LED first, outer second.
    std::array<std::array<widgets::TIndBlinkLed*, 2>, 8> DravaneLeds{};
    bool FClosed = false;
};

// The program's main window, created first at start-up.
inline TDravaneMain* DravaneMain = nullptr;

} // namespace dravane::app
