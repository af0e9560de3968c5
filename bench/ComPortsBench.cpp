// Cost of one port-list refresh: the sysfs walk of the COM-number table, and
// the discovery window's refresh on top of it, over this machine's
// /sys/class/tty and over a fake tree with 32 adapters. The refresh runs once
// a second, so its CPU time per call divided by one second is the share of a
// core it takes.
//
//   comports_bench [iterations]

#include "BenchRow.h"
#include "comm/GetComPorts.h"
#include "platform/ComNumbers.h"
#include "support/FakeTtyTree.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

namespace {

double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double measure(const char* what, int iterations, std::size_t ports, const std::function<void()>& refresh) {
    for (int i = 0; i < iterations / 10 + 1; ++i)
        refresh();
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i)
        refresh();
    const double cpuUs = (cpuSeconds() - cpu0) * 1e6 / iterations;
    const double wallUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - wall0).count() /
        iterations;
    std::printf("%-44s %3zu ports  %8.1f us wall  %8.1f us cpu  %.4f %% of one core at 1 refresh/s\n", what,
                ports, wallUs, cpuUs, cpuUs / 1e4);
    return cpuUs;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;

    dravane::test::TempDir dir;
    const std::string ini = dir.File("dravane.ini");

    dravane::platform::TComNumbers real(ini, dravane::platform::DefaultSysfsTtyRoot,
                                        dravane::platform::DefaultSerialByIdDir);
    const auto realPorts = real.Enumerate().size();
    measure("table, this machine's /sys/class/tty", iterations, realPorts, [&] { real.Enumerate(); });

    // A busy machine: 64 virtual consoles, 32 UART slots of which one is
    // real, and 31 USB adapters with by-id links (all remembered already).
    dravane::test::FakeTtyTree tree(dir.Path() / "fake");
    for (int i = 0; i < 64; ++i)
        tree.AddVirtual("tty" + std::to_string(i));
    for (int k = 0; k < 32; ++k)
        tree.AddUart(k, k == 0 ? 4 : 0);
    for (int i = 0; i < 31; ++i) {
        const std::string name = "ttyUSB" + std::to_string(i);
        tree.AddUsb(name, "FTDI", "FT232R USB UART",
                    "usb-FTDI_FT232R_USB_UART_A" + std::to_string(i) + "-if00-port0");
    }
    const std::string fakeIni = dir.File("fake.ini");
    dravane::platform::TComNumbers fake(fakeIni, tree.SysfsRoot(), tree.ByIdDir());
    const auto fakePorts = fake.Enumerate().size();
    const double tableUs = measure("table, fake tree", iterations, fakePorts, [&] { fake.Enumerate(); });

    dravane::comm::TGetComPorts window(fakeIni, tree.SysfsRoot(), tree.ByIdDir());
    const double windowUs =
        measure("discovery window refresh (Timer1Timer), fake", iterations,
                static_cast<std::size_t>(window.GetPortList().size() - 1), [&] { window.Timer1Timer(); });

    // The same table over a 20 MB settings file (its Ports entries already
    // written): the once-a-second refresh must not read it each time.
    const std::string bigIni = dir.File("big.ini");
    {
        std::string content = dravane::test::ReadAll(fakeIni) + "\n[Notes]\n";
        const std::string note = "; " + std::string(98, 'x') + "\n";
        while (content.size() < 20u << 20)
            content += note;
        dravane::test::WriteAll(bigIni, content);
    }
    dravane::platform::TComNumbers big(bigIni, tree.SysfsRoot(), tree.ByIdDir());
    const double bigUs = measure("table, fake tree, 20 MB settings file", iterations, big.Enumerate().size(),
                                 [&] { big.Enumerate(); });

    using dravane::bench::Format;
    dravane::bench::Row("port list refresh, 32 adapters", Format("%.0f us CPU", windowUs),
                        "1 s refresh period", windowUs / 1e6, "<= 1 % of a core", windowUs <= 1e4);
    dravane::bench::Row("port table, 20 MB settings file", Format("%.0f us CPU", bigUs),
                        Format("small file %.0f us", tableUs), bigUs / tableUs, "<= 2x small file",
                        bigUs <= 2 * tableUs);
    return 0;
}
