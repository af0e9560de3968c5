#pragma once
// The "Select Port" dialog: offered when a port is opened without a COM
// number. It lists "COM<n>" for every number from 1 to 50 that the probe
// reports available, the first one selected. It lives in its own library
// (dravane_serial_widgets) so that the serial layer needs no widgets: a
// program with windows calls InstallSelectPortDialog at start.

#include "serial/PortSelector.h"

#include <QDialog>

#include <cstdint>
#include <memory>

namespace Ui {
class ComSelectForm;
}

namespace dravane::serial {

class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxProbedPort = 50;

    explicit TComSelectForm(const TPortProbe& Probe, QWidget* parent = nullptr);
    ~TComSelectForm() override;

    // The chosen entry's number (the text after "COM"), 0 when none.
    std::uint16_t SelectedNumber() const;

private:
    std::unique_ptr<Ui::ComSelectForm> ui;
};

// Shows the dialog modally; the chosen number, or 0 when cancelled.
std::uint16_t ExecuteSelectPort(const TPortProbe& Probe);

// Makes ExecuteSelectPort the port selector (SetPortSelector). UI thread only.
void InstallSelectPortDialog();

} // namespace dravane::serial
