#include "platform/AppException.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

namespace dravane::platform {
namespace {
TErrorSink& sink() {
    static TErrorSink s; // UI thread only
    return s;
}

bool& unattended() {
    static bool on = false; // UI thread only
    return on;
}

// Without a display, or while the program closes on a termination signal,
// a message box would wait for a click that never comes.
bool nobodyToClick() {
    if (unattended() || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

// One line, whatever line breaks the text holds, so that a log keeps it whole.
void toStandardError(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void showBox(const std::string& text) {
    if (sink()) {
        sink()(text);
        return;
    }
    if (nobodyToClick()) {
        toStandardError(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}
} // namespace

void SetErrorSink(TErrorSink s) {
    sink() = std::move(s);
}

void SetUnattended(bool on) {
    unattended() = on;
    if (!on || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
            dialog->reject();
    }
}

void ShowErrorMessage(const std::string& text) {
    // Standard error needs no waiting for the handler to return, and the
    // program may end before a posted call would run.
    if (!sink() && nobodyToClick()) {
        toStandardError(text);
        return;
    }
    QTimer::singleShot(0, qApp, [text] { showBox(text); });
}

void ShowErrorMessageModal(const std::string& text) {
    showBox(text);
}

void ShowException(const std::exception& e) {
    ShowErrorMessage(e.what());
}

} // namespace dravane::platform
