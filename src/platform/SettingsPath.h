#pragma once

#include <string>

namespace dravane::platform {

// The settings file, fixed at the first call (made at start, before any
// thread exists):
// - the file the environment variable DRAVANE_CONFIG names, if set;
// - else, a copy with a settings file beside its executable, or one run from
//   anywhere but a `bin` folder (its build folder, a folder of its own), keeps
//   "dravane.ini" beside it (portable);
// - else (installed in a `bin` folder), `dravane/dravane.ini` in the user's
//   configuration folder ($XDG_CONFIG_HOME, default ~/.config), the folders
//   created when missing.
std::string SettingsFileName();

// Tests point the program at a file of their own; an empty name restores the default.
void SetSettingsFileName(std::string fileName);

// A program that never writes its settings file (dravane-server) says so at
// start, before any thread exists; what would otherwise be remembered there
// (the number a new serial adapter gets) then holds for the run only.
void SetSettingsReadOnly(bool readOnly);
bool SettingsReadOnly();

// The portable rule itself, for an executable path.
std::string IniPathFor(const std::string& exePath);

} // namespace dravane::platform
