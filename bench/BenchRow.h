#pragma once
// One row of the table that `make bench` prints: scripts/bench.sh collects the
// lines that start with "BENCH". A row holds the figure, the anchor measured
// in the same run, figure / anchor, the target and whether it is met (a row
// with the target "-" is for comparison only).

#include <cstdio>
#include <string>

namespace dravane::bench {

inline std::string Format(const char* fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

inline void Row(const std::string& benchmark, const std::string& figure, const std::string& anchor,
                double ratio, const std::string& target, bool met) {
    std::printf("BENCH\t%s\t%s\t%s\t%.3g\t%s\t%s\n", benchmark.c_str(), figure.c_str(), anchor.c_str(), ratio,
                target.c_str(),
                target == "-" ? "-"
                : met         ? "met"
                              : "NOT MET");
    std::fflush(stdout);
}

} // namespace dravane::bench
