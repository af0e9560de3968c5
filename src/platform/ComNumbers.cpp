#include "platform/ComNumbers.h"

#include "platform/IniFile.h"
#include "platform/SettingsPath.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace dravane::platform {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view PortsSection = "Ports";
// sysfs attributes are short; anything longer is cut rather than trusted.
constexpr std::size_t MaxAttributeBytes = 128;
// Enough to get from a tty's device node to its USB device.
constexpr int MaxParentLevels = 4;
constexpr int MaxLinkHops = 8;

// A decimal that fits an int, digits only (no sign, no blanks).
std::optional<int> decimal(std::string_view digits) {
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int value = 0;
    const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || p != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

// "COM" in any case, then something.
bool comKey(std::string_view key) {
    constexpr std::string_view com = "COM";
    return key.size() > com.size() && std::equal(com.begin(), com.end(), key.begin(), [](char upper, char c) {
               return upper == std::toupper(static_cast<unsigned char>(c));
           });
}

// A sysfs attribute, trimmed, with control characters blanked: the strings
// come from the device itself (USB descriptors) and end up on screen.
// Plain system calls relative to the open class folder: the walk runs every
// second, and path objects and streams would cost more than the kernel does.
std::optional<std::string> readAttribute(int dirFd, const std::string& relPath) {
    const int fd = ::openat(dirFd, relPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    char buffer[MaxAttributeBytes];
    ssize_t n;
    do
        n = ::read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    std::string text(buffer, static_cast<std::size_t>(n));
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = ' ';
    }
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// Kernel tty names are plain; anything else cannot be a /dev node of ours.
bool plainName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name == "." || name == "..")
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.' || c == ':';
    });
}

// Name order that puts ttyUSB2 before ttyUSB10, so first-seen numbers follow
// the kernel's enumeration order.
bool naturalLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9')
            --i;
        return std::make_pair(std::string_view(s).substr(0, i), std::string_view(s).substr(i));
    };
    const auto [stemA, digitsA] = split(a);
    const auto [stemB, digitsB] = split(b);
    if (stemA != stemB)
        return stemA < stemB;
    if (digitsA.size() != digitsB.size())
        return digitsA.size() < digitsB.size();
    return digitsA < digitsB;
}

// The kernel name of the device a path leads to: symlinks (by-id, udev
// aliases) are followed by name only, since their target need not be
// reachable from here; a plain path must be a node directly under /dev.
std::optional<std::string> kernelNameOf(const std::string& path) {
    fs::path p(path);
    bool viaLink = false;
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(p.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
            break;
        const fs::path t(std::string(target, static_cast<std::size_t>(n)));
        p = (t.is_absolute() ? t : p.parent_path() / t).lexically_normal();
        viaLink = true;
    }
    if (!viaLink && p.parent_path() != "/dev")
        return std::nullopt;
    std::string name = p.filename().string();
    if (!plainName(name))
        return std::nullopt;
    return name;
}

struct Device {
    std::string Name;
    std::optional<int> UartNumber; // COM<k+1> for ttyS<k>
    bool SerialCore = false;       // has a "type": a UART, never a USB device with strings
};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The tty class folder, held open for the whole walk.
struct SysfsScan {
    std::unique_ptr<DIR, DirCloser> Dir;
    std::vector<Device> Devices;
    int Fd() const { return ::dirfd(Dir.get()); }
};

std::vector<TComNumbers::TExplicitPort> readExplicit(const std::string& settingsFile) {
    std::vector<TComNumbers::TExplicitPort> entries;
    std::set<int> seen;
    for (auto& [key, value] : TIniFile(settingsFile).ReadSectionValues(PortsSection)) {
        if (!comKey(key) || value.empty())
            continue;
        const auto number = decimal(std::string_view(key).substr(3));
        // The first entry for a number wins, as a key lookup would give.
        if (number && *number > 0 && seen.insert(*number).second)
            entries.push_back({*number, std::move(value)});
    }
    return entries;
}

// What tells a changed settings file from an unchanged one without reading it.
std::optional<std::array<std::int64_t, 5>> fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return std::array<std::int64_t, 5>{
        static_cast<std::int64_t>(st.st_dev), static_cast<std::int64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

SysfsScan scanSysfs(const std::string& root) {
    SysfsScan scan{std::unique_ptr<DIR, DirCloser>(::opendir(root.c_str())), {}};
    // An unreadable root is a failure, not "no ports".
    if (!scan.Dir)
        throw fs::filesystem_error("cannot list the tty class", root,
                                   std::error_code(errno, std::system_category()));
    struct stat st {};
    while (const dirent* e = ::readdir(scan.Dir.get())) {
        const std::string name = e->d_name;
        // Virtual consoles, ptmx and the like have no device behind them.
        if (!plainName(name) || ::fstatat(scan.Fd(), (name + "/device").c_str(), &st, 0) != 0)
            continue;
        const auto type = readAttribute(scan.Fd(), name + "/type");
        // A UART slot the kernel probed and found empty.
        if (type && *type == "0")
            continue;
        Device device{name, std::nullopt, type.has_value()};
        if (name.rfind("ttyS", 0) == 0) {
            if (const auto k = decimal(std::string_view(name).substr(4)); k && *k < INT_MAX)
                device.UartNumber = *k + 1;
        }
        scan.Devices.push_back(std::move(device));
    }
    std::sort(scan.Devices.begin(), scan.Devices.end(),
              [](const Device& a, const Device& b) { return naturalLess(a.Name, b.Name); });
    return scan;
}

// Kernel name -> by-id link. A missing folder simply means no USB serial devices.
std::map<std::string, std::string> scanById(const fs::path& dir) {
    std::map<std::string, std::string> links;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string link = it->path().string();
        const auto name = kernelNameOf(link);
        if (!name)
            continue;
        auto [pos, inserted] = links.emplace(*name, link);
        if (!inserted && link < pos->second)
            pos->second = link; // several links to one device: pick the same one every time
    }
    return links;
}

// Maker and model from the nearest USB device above the tty (the one with
// an idVendor); the kernel resolves "device/.." to the parent of the link's
// target. Devices that report no strings show their vendor and product ids.
void describe(int classFd, const Device& device, TComPortInfo& info) {
    if (device.SerialCore)
        return;
    std::string dir = device.Name + "/device/";
    for (int level = 0; level <= MaxParentLevels; ++level, dir += "../") {
        if (::faccessat(classFd, (dir + "idVendor").c_str(), F_OK, 0) != 0)
            continue;
        auto maker = readAttribute(classFd, dir + "manufacturer");
        auto model = readAttribute(classFd, dir + "product");
        if (!maker)
            maker = readAttribute(classFd, dir + "idVendor");
        if (!model)
            model = readAttribute(classFd, dir + "idProduct");
        info.Maker = maker.value_or("");
        info.Model = model.value_or("");
        return;
    }
}

TComPortInfo present(const SysfsScan& scan, int number, const Device& device) {
    TComPortInfo info{number, "/dev/" + device.Name, {}, {}};
    describe(scan.Fd(), device, info);
    return info;
}

} // namespace

TComNumbers::TComNumbers(std::string settingsFile, std::string sysfsRoot, std::string byIdDir)
    : FSettingsFile(std::move(settingsFile)), FSysfsRoot(std::move(sysfsRoot)), FByIdDir(std::move(byIdDir)) {
}

std::string TComNumbers::settingsFile() const {
    return FSettingsFile.empty() ? SettingsFileName() : FSettingsFile;
}

std::vector<TComPortInfo> TComNumbers::Enumerate() {
    const std::string iniName = settingsFile();
    const auto& explicitEntries = explicitPorts(iniName);
    const auto scan = scanSysfs(FSysfsRoot);
    const auto& devices = scan.Devices;

    std::map<std::string, const Device*> byName;
    for (const auto& d : devices)
        byName.emplace(d.Name, &d);

    std::vector<TComPortInfo> ports;
    std::set<int> taken;
    std::set<std::string> claimed;

    for (const auto& e : explicitEntries) {
        taken.insert(e.Number);
        const auto name = kernelNameOf(e.Path);
        const auto found = name ? byName.find(*name) : byName.end();
        if (found != byName.end()) {
            ports.push_back(present(scan, e.Number, *found->second));
            claimed.insert(found->second->Name);
        } else if (exists(e.Path)) {
            ports.push_back({e.Number, e.Path, {}, {}});
        }
    }
    // Numbers handed out earlier in this run hold even if they never reached
    // the file, unless an explicit entry has since taken the number over.
    std::erase_if(FAssigned, [&](const auto& assigned) { return taken.count(assigned.second) != 0; });
    for (const auto& [identity, number] : FAssigned)
        taken.insert(number);

    for (const auto& d : devices) {
        if (d.UartNumber && !claimed.count(d.Name) && taken.insert(*d.UartNumber).second) {
            ports.push_back(present(scan, *d.UartNumber, d));
            claimed.insert(d.Name);
        }
    }

    std::map<std::string, std::string> byId;
    bool byIdRead = false;
    for (const auto& d : devices) {
        if (claimed.count(d.Name))
            continue;
        if (!byIdRead) {
            byId = scanById(FByIdDir);
            byIdRead = true;
        }
        const auto link = byId.find(d.Name);
        const std::string identity = link != byId.end() ? link->second : "/dev/" + d.Name;
        if (const auto known = FAssigned.find(identity); known != FAssigned.end()) {
            ports.push_back(present(scan, known->second, d));
            continue;
        }
        int number = 1;
        while (taken.count(number))
            ++number;
        taken.insert(number);
        FAssigned.emplace(identity, number);
        try {
            if (!SettingsReadOnly())
                TIniFile(iniName).WriteString(PortsSection, "COM" + std::to_string(number), identity);
        } catch (const std::exception&) {
            // The number holds for this run; there is nobody to tell.
        }
        ports.push_back(present(scan, number, d));
    }

    std::sort(ports.begin(), ports.end(),
              [](const TComPortInfo& a, const TComPortInfo& b) { return a.Number < b.Number; });
    return ports;
}

std::optional<std::string> TComNumbers::DevicePathFor(int comNumber) {
    // An explicit entry answers as the whole table would, from its own
    // device alone: opening a port then costs no walk through every tty.
    for (const auto& e : explicitPorts(settingsFile())) {
        if (e.Number != comNumber)
            continue;
        const auto name = kernelNameOf(e.Path);
        struct stat st {};
        const std::string at = FSysfsRoot + "/" + name.value_or("");
        if (name && plainName(*name) && ::stat((at + "/device").c_str(), &st) == 0 &&
            readAttribute(AT_FDCWD, at + "/type") != std::optional<std::string>("0"))
            return "/dev/" + *name;
        return e.Path;
    }
    try {
        for (auto& port : Enumerate()) {
            if (port.Number == comNumber)
                return std::move(port.DevicePath);
        }
    } catch (const fs::filesystem_error&) {
        // Without sysfs only the explicit entries can answer.
    }
    for (const auto& e : explicitPorts(settingsFile())) {
        if (e.Number == comNumber)
            return e.Path;
    }
    return std::nullopt;
}

const std::vector<TComNumbers::TExplicitPort>& TComNumbers::explicitPorts(const std::string& iniName) {
    // The table asks every second and the file may be large: read it again
    // only when it is another file, or has changed since.
    auto stamp = fileStamp(iniName);
    if (!FExplicitRead || iniName != FExplicitFile || stamp != FExplicitStamp) {
        FExplicit = readExplicit(iniName);
        FExplicitFile = iniName;
        FExplicitStamp = stamp;
        FExplicitRead = true;
    }
    return FExplicit;
}

TComNumbers& ComNumbers() {
    static TComNumbers table;
    return table;
}

} // namespace dravane::platform
