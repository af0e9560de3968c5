#include "platform/SettingsPath.h"

#include <atomic>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace dravane::platform {
namespace fs = std::filesystem;
namespace {
std::string& overridePath() {
    static std::string path; // UI thread only
    return path;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

fs::path homeFolder() {
    if (const std::string home = environment("HOME"); !home.empty())
        return home;
    const passwd* user = ::getpwuid(::getuid());
    return user && user->pw_dir ? user->pw_dir : "/";
}

// Missing folders are made one by one, private to the user as the XDG
// directory rules ask; one that cannot be made shows later as the settings
// write's own failure.
void makeFolders(const fs::path& folder) {
    fs::path partial;
    for (const fs::path& part : folder) {
        partial /= part;
        ::mkdir(partial.c_str(), 0700);
    }
}

fs::path userSettingsFile() {
    // A relative value is not a valid XDG folder and is ignored.
    fs::path config = environment("XDG_CONFIG_HOME");
    if (!config.is_absolute())
        config = homeFolder() / ".config";
    const fs::path folder = config / "dravane";
    makeFolders(folder);
    return folder / "dravane.ini";
}

std::string locate() {
    std::error_code ec;
    if (const std::string named = environment("DRAVANE_CONFIG"); !named.empty()) {
        // Absolute now: the working folder may change later.
        const fs::path absolute = fs::absolute(named, ec);
        return ec ? named : absolute.string();
    }
    // An executable replaced while the program runs leaves its link naming
    // "dravane (deleted)"; read once at start, it still names the file.
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return IniPathFor("dravane");
    // One file for every program of the folder: the desktop program and the
    // headless one share their settings.
    const fs::path beside = IniPathFor((exe.parent_path() / "dravane").string());
    if (exe.parent_path().filename() != "bin" || fs::exists(beside, ec))
        return beside.string();
    return userSettingsFile().string();
}
} // namespace

std::string IniPathFor(const std::string& exePath) {
    fs::path p(exePath);
    p.replace_extension(".ini");
    return p.string();
}

std::string SettingsFileName() {
    if (!overridePath().empty())
        return overridePath();
    static const std::string fixed = locate();
    return fixed;
}

void SetSettingsFileName(std::string fileName) {
    overridePath() = std::move(fileName);
}

namespace {
std::atomic<bool> readOnlySettings{false};
} // namespace

void SetSettingsReadOnly(bool readOnly) {
    readOnlySettings = readOnly;
}

bool SettingsReadOnly() {
    return readOnlySettings;
}

} // namespace dravane::platform
