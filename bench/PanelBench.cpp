// From the operator's click to the lit LEDs, against the controller simulator
// on a pseudo-terminal. Measured side by side in one run:
//   serial   the command line written to the simulator's terminal and its
//            status reply read back, on one thread: the floor;
//   panel    a click on the right arrow (QTest) in the main window, through
//            the Communications window's SendCommand and the serial port,
//            until the newly lit LED has been repainted; also the moment
//            the click returned (the reply decoded, the panel updated).
//
//   build/bench/panel_bench [trips=2000]

#include "BenchRow.h"
#include "TermiosFloor.h"
#include "app/CommControl.h"
#include "app/DravaneMain.h"
#include "comm/Defines.h"
#include "platform/SettingsPath.h"
#include "support/EventLoop.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using dravane::bench::Clock;
using dravane::bench::ElapsedUs;
using dravane::bench::Summarise;
using dravane::bench::TStats;
using namespace dravane;

constexpr int WarmUp = 100;
// Inner LED of each direction index, clockwise from north-east.
constexpr std::array<const char*, 8> innerLeds{"KelNorthEastLed1", "KelEastLed1",      "KelSouthEastLed1",
                                               "KelSouthLed1",     "KelSouthWestLed1", "KelWestLed1",
                                               "KelNorthWestLed1", "KelNorthLed1"};

std::vector<double> SerialTrips(const std::string& path, int trips) {
    test::SimPeer peer(path);
    std::vector<double> us;
    for (int i = -WarmUp; i < trips; ++i) {
        const auto t0 = Clock::now();
        peer.Write("[R98T4AH02]\r");
        if (peer.ReadLines(1).empty()) {
            std::fprintf(stderr, "the simulator did not answer\n");
            std::exit(1);
        }
        if (i >= 0)
            us.push_back(ElapsedUs(t0));
    }
    return us;
}

// Sees a widget's paint event go by.
class TPaintSeen : public QObject {
public:
    bool Seen = false;
    bool eventFilter(QObject*, QEvent* event) override {
        Seen = Seen || event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int trips = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    QApplication application(argc, argv);

    test::SimProcess sim({});
    const std::string path = sim.ReadLine();
    if (path.empty()) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const TStats serial = Summarise(SerialTrips(path, trips));

    test::TempDir dir;
    const std::string ini = dir.File("dravane.ini");
    test::WriteAll(ini, "[Ports]\nCOM3=" + path + "\n[Comm]\nPort=3\nMode=0\n");
    platform::SetSettingsFileName(ini);
    std::vector<double> clickUs, returnUs;
    {
        app::TDravaneMain main;
        app::TCommControl commControl;
        app::CommControl = &commControl;
        comm::SystemReady = true;
        main.show();
        auto* right = main.findChild<QWidget*>("KelRightBtn");
        if (!test::PumpUntil([&] { return right->isVisible(); })) {
            std::fprintf(stderr, "the main window did not come up\n");
            return 1;
        }
        // The repaint may come inside the click, while the command still waits.
        std::array<TPaintSeen, 8> paints;
        for (std::size_t d = 0; d < innerLeds.size(); ++d)
            main.findChild<QWidget*>(innerLeds[d])->installEventFilter(&paints[d]);
        // The simulator starts at north-east, and each serial trip turned it one step.
        std::size_t direction = static_cast<std::size_t>(WarmUp + trips) % 8;
        for (int i = -WarmUp; i < trips; ++i) {
            for (auto& p : paints)
                p.Seen = false;
            const auto t0 = Clock::now();
            QTest::mouseClick(right, Qt::LeftButton, {}, right->rect().center());
            const double returned = ElapsedUs(t0);
            // Each click turns the simulator one step; the payload is not read back, since a link
            // reply in the same block may already have cleared it.
            direction = (direction + 1) % 8;
            const TPaintSeen& lit = paints[direction];
            if (!test::PumpUntil([&] { return lit.Seen; }, std::chrono::seconds(5))) {
                std::fprintf(stderr, "the lit LED was not repainted\n");
                return 1;
            }
            const double done = ElapsedUs(t0);
            if (i >= 0) {
                clickUs.push_back(done);
                returnUs.push_back(returned);
            }
        }
        comm::SystemReady = false;
        commControl.Shutdown();
        app::CommControl = nullptr;
    }
    platform::SetSettingsFileName("");

    const TStats click = Summarise(clickUs), back = Summarise(returnUs);
    std::printf("%d trips each, microseconds          median     p99\n", trips);
    std::printf("serial round trip (one thread)      %8.1f %8.1f\n", serial.MedianUs, serial.P99Us);
    std::printf("click until the click returned      %8.1f %8.1f\n", back.MedianUs, back.P99Us);
    std::printf("click until the lit LED repainted   %8.1f %8.1f\n", click.MedianUs, click.P99Us);
    std::printf("panel cost beyond the round trip    %8.1f\n", click.MedianUs - serial.MedianUs);
    bench::Row("click to lit LED repainted", bench::Format("median %.0f us", click.MedianUs),
               bench::Format("termios %.0f us", serial.MedianUs), click.MedianUs / serial.MedianUs, "-",
               false);
    return 0;
}
