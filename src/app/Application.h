#pragma once

namespace dravane::app {

// The program: builds the three windows in their order, marks the system
// ready, runs the event loop until the main window has closed, and tears the
// windows down before the application object. Reads no command line.
int RunDravane(const char* programPath);

// Applies the built-in visual style; false (and the platform look) when it
// cannot be loaded.
bool ApplyVisualStyle();

} // namespace dravane::app
