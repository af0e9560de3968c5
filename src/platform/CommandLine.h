#pragma once
// The command line every program of the project shares: --help, --version,
// --config FILE (as DRAVANE_CONFIG) and --verbose.

#include <optional>
#include <string>

namespace dravane::platform {

struct TCommandLine {
    std::string ConfigFile; // empty: the usual rules choose the settings file
    bool Verbose = false;
};

// Parses argv before any application object exists. Returns the exit status
// when the program should end now: 0 after --help or --version (printed on
// standard output), 2 after an unknown option or a stray argument (one line
// on standard error). Otherwise fills Options and returns nothing.
std::optional<int> ParseCommandLine(int argc, char** argv, const std::string& Description,
                                    TCommandLine& Options);

// Applies what the command line chose: the settings file, and the debug
// lines of every dravane.* logging category for --verbose. Log lines on
// standard error carry their level and category from here on.
void ApplyCommandLine(const TCommandLine& Options);

// "2.0".
std::string ProgramVersion();

} // namespace dravane::platform
