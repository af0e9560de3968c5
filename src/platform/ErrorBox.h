#pragma once
// The desktop program's message box for the application-wide error display.

namespace dravane::platform {

// Installs the critical message box as the error display's presenter for
// the lifetime of the program (QApplication only; idempotent).
// OffscreenToo: boxes are shown on the offscreen platform as well (tests).
void InstallErrorBox(bool OffscreenToo = false);

} // namespace dravane::platform
