#include "platform/DeviceFault.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace dravane::platform;

namespace {

// Why a device cannot be opened, from what its path is: nothing there, a
// file that is no terminal, a terminal another program holds (named, with
// its process number), one this user may not open.
TEST(DeviceFault, TellsTheCauseAndNamesTheHolder) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("dravane-fault-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    EXPECT_EQ(DescribeDeviceFault((dir / "ttyUSB0").string(), ENOENT).Kind, TDeviceFault::Absent);
    std::ofstream((dir / "file").string()) << "x";
    EXPECT_EQ(DescribeDeviceFault((dir / "file").string(), 0).Kind, TDeviceFault::NotSerial);

    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    std::filesystem::create_symlink(name, dir / "by-id");
    EXPECT_EQ(DeviceHolder((dir / "by-id").string()), ""); // only this process has it
    // Built before the fork: the child only execs.
    const std::string script = std::string("exec 3<>") + name + "; exec sleep 30";
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
        std::_Exit(127);
    }
    ASSERT_GT(child, 0);
    const std::string expected = "sleep (process " + std::to_string(child) + ")";
    std::string holder;
    for (int k = 0; k < 100 && holder != expected; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        holder = DeviceHolder((dir / "by-id").string());
    }
    EXPECT_EQ(holder, expected);
    const TDeviceFaultText busy = DescribeDeviceFault((dir / "by-id").string(), EWOULDBLOCK);
    EXPECT_EQ(busy.Kind, TDeviceFault::Busy);
    EXPECT_NE(busy.Text.find(expected), std::string::npos) << busy.Text;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    const TDeviceFaultText denied = DescribeDeviceFault(name, EACCES);
    EXPECT_EQ(denied.Kind, TDeviceFault::Denied);
    EXPECT_NE(denied.Text.find("sudo adduser $USER "), std::string::npos) << denied.Text;
    ::close(master);
    std::filesystem::remove_all(dir);
}

} // namespace
