#pragma once

#include <string>

namespace dravane::platform {

// The settings file: the executable's path with its extension replaced by
// ".ini" (or ".ini" appended when it has none), fixed at the first call.
std::string SettingsFileName();

// Tests point the program at a file of their own; an empty name restores the default.
void SetSettingsFileName(std::string fileName);

// The rule itself, for an executable path.
std::string IniPathFor(const std::string& exePath);

} // namespace dravane::platform
