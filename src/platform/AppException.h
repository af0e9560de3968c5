#pragma once
// The application-wide exception display. Every entry point that the event
// loop calls catches std::exception and hands it here; the text is shown in a
// critical message box once the current handler has returned, so no port
// notification ever waits on an open message box. When nobody can click (no
// display, or a close started by a termination signal) the text goes to
// standard error as one line instead, and nothing waits.

#include <exception>
#include <functional>
#include <string>

namespace dravane::platform {

// Posts a message box that blocks nothing (UI thread only).
void ShowException(const std::exception& e);
void ShowErrorMessage(const std::string& text);

// A fault of one of the program's links (Key names the link): the first
// text opens a box that blocks nothing, a later one while it is open only
// replaces its text, so a fault that repeats never stacks boxes. The caller
// has logged the text: without anybody to click, nothing more is written.
void ShowFault(const std::string& Key, const std::string& text);
// The fault is over: its box closes by itself (none open: nothing).
void EndFault(const std::string& Key);

// Shows the message box now and returns when the operator has closed it.
void ShowErrorMessageModal(const std::string& text);

// On: the program is closing on a termination signal and nobody answers a
// message box. Every open modal dialog is closed (so whatever waits on it goes
// on) and later texts go to standard error. Tests turn it off again.
void SetUnattended(bool on);

// What shows a message to somebody who can click it: the desktop program's
// message box. Without one every text goes to standard error.
class TErrorPresenter {
public:
    virtual ~TErrorPresenter() = default;
    // Somebody can click now (a display, a running application).
    virtual bool CanShow() const = 0;
    // Shows the text and returns when it has been closed.
    virtual void Show(const std::string& text) = 0;
    // Shows the text and returns at once: the rest of the program, the
    // panel included, goes on while the box is open.
    virtual void Post(const std::string& text) = 0;
    // Closes every open modal dialog, so whatever waits on one goes on.
    virtual void CloseDialogs() = 0;
    // Posts Text in the box for Key: a new box, or the open one's text replaced.
    virtual void PostFault(const std::string& Key, const std::string& Text) = 0;
    // Closes the box for Key, if open.
    virtual void EndFault(const std::string& Key) = 0;
};
// Not owned; null removes it.
void SetErrorPresenter(TErrorPresenter* presenter);

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
