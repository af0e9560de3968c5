#include "platform/ErrorBox.h"

#include "platform/AppException.h"

#include <QApplication>
#include <QDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>

#include <map>
#include <string>

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
        return FOffscreenToo || (platform != "offscreen" && platform != "minimal");
    }
    void Post(const std::string& text) override {
        auto* box = new QMessageBox(QMessageBox::Critical, QApplication::applicationDisplayName(),
                                    QString::fromStdString(text), QMessageBox::Ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        KeepTitleWhole(*box);
        box->show();
    }
    void PostFault(const std::string& key, const std::string& text) override {
        QPointer<QMessageBox>& open = FFaults[key];
        if (open) {
            open->setText(QString::fromStdString(text));
            return;
        }
        auto* box = new QMessageBox(QMessageBox::Critical, QApplication::applicationDisplayName(),
                                    QString::fromStdString(text), QMessageBox::Ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->setObjectName(QString::fromStdString("fault:" + key));
        KeepTitleWhole(*box);
        open = box;
        box->show();
    }
    void EndFault(const std::string& key) override {
        const auto it = FFaults.find(key);
        if (it == FFaults.end())
            return;
        if (it->second)
            it->second->close();
        FFaults.erase(it);
    }
    bool FOffscreenToo = false;
    std::map<std::string, QPointer<QMessageBox>> FFaults; // one open box per link at most
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

void InstallErrorBox(bool OffscreenToo) {
    static TErrorBox box;
    box.FOffscreenToo = OffscreenToo;
    SetErrorPresenter(&box);
}

} // namespace dravane::platform
