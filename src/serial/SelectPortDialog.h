#pragma once
// The "Select Port" dialog: offered when a port is opened without a COM
// number. It lists "COM<n>" for every number from 1 to 50 that the probe
// reports available, the first one selected.

#include <QDialog>

#include <cstdint>
#include <functional>
#include <memory>

namespace Ui {
class ComSelectForm;
}

namespace dravane::serial {

// True when COM<n> can be offered.
using TPortProbe = std::function<bool(int n)>;

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

} // namespace dravane::serial
