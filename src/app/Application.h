#pragma once

namespace dravane::app {

// The program: builds the three windows in their order, marks the system
// ready, runs the event loop until the main window has closed, and tears the
// windows down before the application object. The command line is the
// shared one (--help, --version, --config, --verbose). When a copy already
// runs with the same settings file, brings that copy's window to the front
// instead and returns 0 (1 if that copy does not answer).
int RunDravane(int argc, char** argv);

// Applies the built-in visual style; false (and the platform look) when it
// cannot be loaded.
bool ApplyVisualStyle();

} // namespace dravane::app
