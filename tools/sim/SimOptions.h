#pragma once
// The simulator's command line.

#include "sim/Simulator.h"

#include <string>
#include <vector>

namespace dravane::sim {

struct TSimConfig {
    TSimOptions Sim;
    std::string Device; // empty: a new pseudo-terminal
    std::string Link;   // empty: no symbolic link
    bool Log = false;
    bool Help = false;
    bool Version = false;
};

// The arguments after the program name; false with a one-line `error`.
bool ParseArguments(const std::vector<std::string>& args, TSimConfig& config, std::string& error);

const char* UsageText();

} // namespace dravane::sim
