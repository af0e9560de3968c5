#pragma once
// The Communications window: shows the link to the antenna controller and
// lets the operator choose its serial port, its role and its peer. The link
// itself (ports, supervision, commands, the relay) is the link core it owns;
// the window shows what the core announces and hands it what the operator
// chose. The main window calls it as it always has (SendCommand, GetData,
// Shutdown, the action codes). It behaves as a dialog: Enter is OK, Escape
// and the close button are Cancel, and it opens with the focus on OK and the
// open port current in the list, so a stray Enter never switches the port.

#include "comm/CommLink.h"
#include "platform/Action.h"

#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>

class QButtonGroup;
class QTimer;
class QTreeWidgetItem;

namespace Ui {
class CommControl;
}

namespace dravane::rotator {
class TRotatorListener;
}

namespace dravane::app {

class TCommControl : public QDialog, public platform::TActionTarget {
    Q_OBJECT
public:
    // Loads the Comm settings, applies the mode and opens the ports.
    explicit TCommControl(QWidget* parent = nullptr);
    ~TCommControl() override;

    // Shows the window for mcShowCommunications; always false.
    bool ExecuteAction(platform::TAction& action) override;

    std::string GetData() const { return FLink->GetData(); }
    bool NetIsBusy() const { return FLink->NetIsBusy(); }
    bool SendCommand(std::uint8_t Addr, std::uint8_t Cmd, const std::string& Data, std::uint8_t Resp) {
        return FLink->SendCommand(Addr, Cmd, Data, Resp);
    }
    void Shutdown() { FLink->Shutdown(); }

    comm::TCommLink& Link() { return *FLink; }
    const comm::TCommLink& Link() const { return *FLink; }

    // The rotator listener the program runs over this link (none: off), to
    // show whether it listens, where, and how many programs are connected.
    void SetRotator(rotator::TRotatorListener* listener);

protected:
    void FormCreate();
    void ComModeClick();
    void OkBtnClick();
    void CancelBtnClick();
    void ComPortBtnClick(QTreeWidgetItem* item);
    void showEvent(QShowEvent* event) override;

    // Show this state on the link's LED.
    void SetLinkStatus(comm::TLinkStatus Status);
    void SetRemoteStatus(comm::TLinkStatus Status);

private:
    // What the operator set in the controls goes to the link core.
    void PushSettings();
    // The link core's settings into the controls.
    void ShowSettings();
    // Who holds control of a shared station, and the button to take or release it.
    void ShowControl();
    // Refills the port list when the number of ports changed.
    void RefreshPortList();
    // Makes the open port's entry ("Disable" when none is open) the list's current one.
    void ShowOpenPort();
    void ShowRotator();
    // One line of the link-event list (the last TLogRecord::Capacity kept).
    void AddEvent(const QString& Line);

    std::unique_ptr<Ui::CommControl> ui;
    std::unique_ptr<comm::TCommLink> FLink;
    QButtonGroup* FModeGroup;
    QTimer* FPortListTimer;
    QStringList PortList;
    QPointer<rotator::TRotatorListener> FRotator; // owned by the program; may go first
};

// The program's instance, created at start-up after the main window.
inline TCommControl* CommControl = nullptr;

} // namespace dravane::app
