#include "platform/Action.h"

namespace dravane::platform {
namespace {
TActionTarget* mainForm = nullptr; // UI thread only
}

TActionTarget* ApplicationMainForm() {
    return mainForm;
}
void SetApplicationMainForm(TActionTarget* form) {
    mainForm = form;
}

} // namespace dravane::platform
