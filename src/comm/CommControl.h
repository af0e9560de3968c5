#pragma once
// The Communications window: owner of the links to the antenna controller and
// to the peer instance, and the source of the action codes the main window
// reacts to.

#include "comm/Defines.h"
#include "comm/LineAssembler.h"
#include "platform/Action.h"

#include <QWidget>
#include <memory>
#include <string>

namespace Ui {
class CommControl;
}

namespace dravane::comm {

enum ToperatingMode : std::uint8_t { omNormal, omClient, omServer };

// The role for a mode-selector index; anything outside 0..2 is omNormal.
ToperatingMode OperatingModeFromIndex(int index);

class TCommControl : public QWidget, public platform::TActionTarget {
    Q_OBJECT
public:
    explicit TCommControl(QWidget* parent = nullptr);
    ~TCommControl() override;

    // Shows the window for mcShowCommunications; always false.
    bool ExecuteAction(platform::TAction& action) override;

    std::string GetData() const { return NetPacket.Data; }
    TNetPacket GetPacket() const { return NetPacket; }
    ToperatingMode GetOpMode() const { return OpMode; }
    bool NetIsBusy() const { return NetBusy; }

    // Called by the main window while it closes: both links go down.
    void Shutdown();

protected:
    void FormCreate();

    // Sets the action object's tag and hands it to the application's main
    // window at once; the call returns after the main window has handled it.
    void DoAction(std::int32_t Action);

    // Decodes one received line (without its CR) into NetPacket; a complete
    // packet releases an awaited reply and announces its action code.
    void DecodePacket(const std::string& line);

    std::unique_ptr<Ui::CommControl> ui;
    platform::TAction ActionToDo;

    TNetPacket NetPacket;
    std::int32_t Response = 0; // command byte of the awaited reply; 0 = none
    bool NetBusy = false;
    ToperatingMode OpMode = omNormal;
    TLinkStatus LinkStatus = lsNone;
    TLinkStatus RemoteStatus = lsNone;
    bool RemoteConnected = false;
    TLineAssembler LocalData;  // lines from the serial port
    TLineAssembler RemoteData; // lines from the TCP port
};

// The program's instance, created at start-up after the main window.
inline TCommControl* CommControl = nullptr;

} // namespace dravane::comm
