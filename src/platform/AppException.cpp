#include "platform/AppException.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace dravane::platform {
namespace {
TErrorSink& sink() {
    static TErrorSink s; // UI thread only
    return s;
}

void showBox(const std::string& text) {
    if (sink()) {
        sink()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(), QString::fromStdString(text),
                    QMessageBox::Ok);
    box.exec();
}
} // namespace

void SetErrorSink(TErrorSink s) { sink() = std::move(s); }

void ShowErrorMessage(const std::string& text) {
    QTimer::singleShot(0, qApp, [text] { showBox(text); });
}

void ShowErrorMessageModal(const std::string& text) { showBox(text); }

void ShowException(const std::exception& e) { ShowErrorMessage(e.what()); }

} // namespace dravane::platform
