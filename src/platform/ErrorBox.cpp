#include "platform/ErrorBox.h"

#include "platform/AppException.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>

namespace dravane::platform {
namespace {

class TErrorBox final : public TErrorPresenter {
public:
    // Without a display, a message box would wait for a click that never comes.
    bool CanShow() const override {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
            return false;
        const QString platform = QGuiApplication::platformName();
        return platform != "offscreen" && platform != "minimal";
    }
    void Show(const std::string& text) override {
        QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    }
    void CloseDialogs() override {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
            return;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
                dialog->reject();
        }
    }
};

} // namespace

void InstallErrorBox() {
    static TErrorBox box;
    SetErrorPresenter(&box);
}

} // namespace dravane::platform
