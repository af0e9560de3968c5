#pragma once
// The application-wide exception display. Every entry point that the event
// loop calls catches std::exception and hands it here; the text is shown in a
// critical message box once the current handler has returned, so no port
// notification ever waits on an open message box.

#include <exception>
#include <functional>
#include <string>

namespace dravane::platform {

// Posts the message box for later (UI thread only).
void ShowException(const std::exception& e);
void ShowErrorMessage(const std::string& text);

// Shows the message box now and returns when the operator has closed it.
void ShowErrorMessageModal(const std::string& text);

// Tests replace the message box with a recorder; an empty function restores it.
using TErrorSink = std::function<void(const std::string&)>;
void SetErrorSink(TErrorSink sink);

// Runs fn, routing any std::exception to ShowException.
template <class Fn> void Guarded(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

} // namespace dravane::platform
