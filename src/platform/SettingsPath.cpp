#include "platform/SettingsPath.h"

#include <filesystem>
#include <system_error>

namespace dravane::platform {
namespace {
std::string& overridePath() {
    static std::string path; // UI thread only
    return path;
}
} // namespace

std::string IniPathFor(const std::string& exePath) {
    std::filesystem::path p(exePath);
    p.replace_extension(".ini");
    return p.string();
}

std::string SettingsFileName() {
    if (!overridePath().empty())
        return overridePath();
    // Once: an executable replaced while the program runs leaves its link
    // naming "dravane (deleted)".
    static const std::string fixed = [] {
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return IniPathFor(ec ? std::string("dravane") : exe.string());
    }();
    return fixed;
}

void SetSettingsFileName(std::string fileName) {
    overridePath() = std::move(fileName);
}

} // namespace dravane::platform
