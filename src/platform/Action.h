#pragma once
// The action object that windows hand each other, and the per-window handler
// that receives it.

#include <cstdint>

namespace dravane::platform {

class TAction {
public:
    std::int32_t Tag = 0;
};

// A window that handles action objects.
class TActionTarget {
public:
    virtual ~TActionTarget() = default;
    virtual bool ExecuteAction(TAction& action) = 0;
};

// The application's main window: the first window created registers itself.
// Not owned; the window unregisters itself when destroyed.
TActionTarget* ApplicationMainForm();
void SetApplicationMainForm(TActionTarget* form);

} // namespace dravane::platform
