#include "platform/DeviceFault.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace dravane::platform {
namespace {

namespace fs = std::filesystem;

// Scanning /proc stops after this many processes: a message must not wait.
constexpr int MaxProcesses = 32768;

std::string processName(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name.empty() ? std::string{} : name + " (process " + std::to_string(pid) + ")";
}

// A UUCP lock file holds the owner's process number, as text or as a binary int.
long lockFilePid(const std::string& device) {
    for (const char* dir : {"/run/lock/", "/var/lock/"}) {
        std::ifstream in(std::string(dir) + "LCK.." + device, std::ios::binary);
        if (!in)
            continue;
        std::string content((std::istreambuf_iterator<char>(in)), {});
        if (content.size() == sizeof(int) && content.find_first_of("0123456789 \n") == std::string::npos) {
            int pid = 0;
            std::memcpy(&pid, content.data(), sizeof pid);
            return pid;
        }
        try {
            return std::stol(content);
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

std::string groupName(gid_t gid) {
    // getgrgid_r: the serial layer's threads may look up at the same time.
    group g{};
    group* found = nullptr;
    char buffer[1024];
    if (::getgrgid_r(gid, &g, buffer, sizeof buffer, &found) != 0 || !found)
        return {};
    return found->gr_name;
}

std::string findHolder(const std::string& Path);

} // namespace

std::string DeviceHolder(const std::string& Path) {
    // Processes come and go while /proc is read: whatever fails, nobody is named.
    try {
        return findHolder(Path);
    } catch (const std::exception&) {
        return {};
    }
}

namespace {
std::string findHolder(const std::string& Path) {
    std::error_code ec;
    const fs::path real = fs::canonical(Path, ec);
    if (ec)
        return {};
    if (const long pid = lockFilePid(real.filename().string()); pid > 0 && pid != ::getpid())
        if (std::string name = processName(pid); !name.empty())
            return name;
    int seen = 0;
    for (const fs::directory_entry& p : fs::directory_iterator("/proc", ec)) {
        const std::string name = p.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (++seen > MaxProcesses)
            break;
        const long pid = std::stol(name);
        if (pid == ::getpid())
            continue;
        std::error_code fdError;
        for (const fs::directory_entry& fd : fs::directory_iterator(p.path() / "fd", fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd.path(), linkError) == real)
                return processName(pid);
        }
    }
    return {};
}
} // namespace

TDeviceFaultText DescribeDeviceFault(const std::string& Path, int Err) {
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0)
        return {TDeviceFault::Absent, "not there (unplugged?)"};
    if (!S_ISCHR(st.st_mode))
        return {TDeviceFault::NotSerial, "not a serial device (not a character device)"};
    switch (Err) {
    case EACCES:
    case EPERM: {
        // Devices are usually group dialout, mode 0660: that group is the remedy.
        std::string group = (st.st_mode & 060) == 060 ? groupName(st.st_gid) : std::string{};
        if (group.empty() || group == "root")
            group = "dialout";
        return {TDeviceFault::Denied, "permission denied: add the user to the " + group +
                                          " group with \"sudo adduser $USER " + group +
                                          "\", then log in again"};
    }
    case EBUSY:
    case EWOULDBLOCK: {
        const std::string holder = DeviceHolder(Path);
        return {TDeviceFault::Busy, holder.empty() ? "in use by another program: close it first"
                                                   : "in use by " + holder + ": close it first"};
    }
    case ENOTTY:
    case EINVAL:
        return {TDeviceFault::NotSerial, "not a serial device"};
    case ENOENT:
    case ENOTDIR:
        return {TDeviceFault::Absent, "not there (unplugged?)"};
    case ENXIO:
    case ENODEV:
    case EIO:
        return {TDeviceFault::NotAnswering, "there but not answering (adapter gone or driver unloaded)"};
    case 0:
        return {TDeviceFault::Other, "cannot be opened"};
    default:
        return {TDeviceFault::Other, std::error_code(Err, std::generic_category()).message()};
    }
}

} // namespace dravane::platform
