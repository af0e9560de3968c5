#pragma once
// A fake sysfs tty class and /dev/serial/by-id folder, laid out as the kernel
// and udev lay them out: /sys/class/tty/<name> is a link into the device
// tree, its "device" link leads to the port device, USB attributes sit on the
// USB device two levels above that, and by-id entries are relative links to
// the /dev node (which need not exist).

#include <filesystem>
#include <fstream>
#include <string>

namespace dravane::test {

class FakeTtyTree {
public:
    explicit FakeTtyTree(const std::filesystem::path& base)
        : FBase(base), FClass(base / "sys/class/tty"), FDevices(base / "sys/devices"),
          FById(base / "dev/serial/by-id") {
        std::filesystem::create_directories(FClass);
        std::filesystem::create_directories(FDevices);
        std::filesystem::create_directories(FById);
    }

    std::string SysfsRoot() const { return FClass.string(); }
    std::string ByIdDir() const { return FById.string(); }
    std::string ByIdPath(const std::string& link) const { return (FById / link).string(); }

    // A virtual terminal: a class entry with no device behind it.
    void AddVirtual(const std::string& name) {
        const auto dir = FDevices / "virtual/tty" / name;
        std::filesystem::create_directories(dir);
        classLink(name, dir);
    }

    // An on-board UART slot ttyS<k>; type 0 is a slot the kernel found empty.
    void AddUart(int k, int type) {
        const std::string name = "ttyS" + std::to_string(k);
        const auto platformDev = FDevices / "platform/serial8250";
        const auto dir = platformDev / "tty" / name;
        std::filesystem::create_directories(dir);
        std::filesystem::create_directory_symlink("../..", dir / "device");
        write(dir / "type", std::to_string(type) + "\n");
        classLink(name, dir);
    }

    // A USB serial port; an empty maker or model leaves that string out, as
    // for a device that reports none. byIdLink names a by-id entry to create.
    void AddUsb(const std::string& name, const std::string& maker, const std::string& model,
                const std::string& byIdLink = {}) {
        const auto usbDev = FDevices / "pci0000:00/usb1" / ("1-" + name);
        const auto port = usbDev / "1-1:1.0" / name;
        const auto dir = port / "tty" / name;
        std::filesystem::create_directories(dir);
        std::filesystem::create_directory_symlink("../..", dir / "device");
        if (!maker.empty())
            write(usbDev / "manufacturer", maker + "\n");
        if (!model.empty())
            write(usbDev / "product", model + "\n");
        write(usbDev / "idVendor", "0403\n");
        write(usbDev / "idProduct", "6001\n");
        classLink(name, dir);
        if (!byIdLink.empty())
            std::filesystem::create_symlink("../../" + name, FById / byIdLink);
    }

    // Unplugging: the class entry and the by-id link go, the device tree
    // entry is left behind (harmless; the kernel removes it too).
    void Remove(const std::string& name, const std::string& byIdLink = {}) {
        std::filesystem::remove(FClass / name);
        if (!byIdLink.empty())
            std::filesystem::remove(FById / byIdLink);
        std::filesystem::remove_all(FDevices / "pci0000:00/usb1" / ("1-" + name));
    }

    static void write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }

private:
    void classLink(const std::string& name, const std::filesystem::path& target) {
        std::filesystem::create_directory_symlink(std::filesystem::relative(target, FClass), FClass / name);
    }

    std::filesystem::path FBase;
    std::filesystem::path FClass;
    std::filesystem::path FDevices;
    std::filesystem::path FById;
};

} // namespace dravane::test
