#include "platform/AppException.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

namespace dravane::platform {
namespace {
TErrorSink& sink() {
    static TErrorSink s; // UI thread only
    return s;
}

TErrorPresenter*& presenter() {
    static TErrorPresenter* p = nullptr; // UI thread only
    return p;
}

bool& unattended() {
    static bool on = false; // UI thread only
    return on;
}

// Without a display, or while the program closes on a termination signal,
// a message box would wait for a click that never comes.
bool nobodyToClick() {
    return unattended() || !presenter() || !presenter()->CanShow();
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
    presenter()->Show(text);
}
} // namespace

void SetErrorPresenter(TErrorPresenter* p) {
    presenter() = p;
}

void SetErrorSink(TErrorSink s) {
    sink() = std::move(s);
}

void SetUnattended(bool on) {
    unattended() = on;
    if (on && presenter())
        presenter()->CloseDialogs();
}

void ShowErrorMessage(const std::string& text) {
    // Standard error needs no waiting for the handler to return, and the
    // program may end before a posted call would run.
    if (!sink() && nobodyToClick()) {
        toStandardError(text);
        return;
    }
    QTimer::singleShot(0, QCoreApplication::instance(), [text] {
        if (sink())
            sink()(text);
        else if (nobodyToClick())
            toStandardError(text);
        else
            presenter()->Post(text);
    });
}

void ShowFault(const std::string& Key, const std::string& text) {
    if (!sink() && nobodyToClick())
        return;
    QTimer::singleShot(0, QCoreApplication::instance(), [Key, text] {
        if (sink())
            sink()(text);
        else if (!nobodyToClick())
            presenter()->PostFault(Key, text);
    });
}

void EndFault(const std::string& Key) {
    if (sink() || !presenter())
        return;
    // Queued behind a ShowFault of the same turn, which it then closes.
    QTimer::singleShot(0, QCoreApplication::instance(), [Key] {
        if (presenter())
            presenter()->EndFault(Key);
    });
}

void ShowErrorMessageModal(const std::string& text) {
    showBox(text);
}

void ShowException(const std::exception& e) {
    ShowErrorMessage(e.what());
}

} // namespace dravane::platform
