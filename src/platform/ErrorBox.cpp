#include "platform/ErrorBox.h"

#include "platform/AppException.h"

#include <QApplication>
#include <QDialog>
#include <QGridLayout>
#include <QMessageBox>

namespace dravane::platform {
namespace {

// A short message makes a box narrower than its title, which the window
// manager then cuts ("Dravan… ontrol"). The box is kept as wide as the title
// in a title bar's usual larger bold face, plus the bar's icon and buttons.
void KeepTitleWhole(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    QFont titleFont = box.font();
    titleFont.setBold(true);
    if (titleFont.pointSizeF() > 0)
        titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
    else
        titleFont.setPixelSize(qRound(titleFont.pixelSize() * 1.2));
    constexpr int titleBarControls = 140;
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + titleBarControls;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0,
                  1, grid->columnCount());
}

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
        KeepTitleWhole(box);
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
