#pragma once
// The main window: the antenna panel, the "Comm" link indicator and the
// window's own settings.

#include "platform/Action.h"

#include <QWidget>
#include <memory>

namespace Ui {
class DravaneMain;
}

namespace dravane::app {

class TDravaneMain : public QWidget, public platform::TActionTarget {
    Q_OBJECT
public:
    explicit TDravaneMain(QWidget* parent = nullptr);
    ~TDravaneMain() override;

    // Acts on the link and status codes while the system is ready; always false.
    bool ExecuteAction(platform::TAction& action) override;

signals:
    // The close sequence has run; the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void LoadConfiguration();
    void SaveConfiguration();
    void Communications1Click();
    void UpdateDravaneStatus();

    std::unique_ptr<Ui::DravaneMain> ui;
    bool FClosed = false;
};

// The program's main window, created first at start-up.
inline TDravaneMain* DravaneMain = nullptr;

} // namespace dravane::app
