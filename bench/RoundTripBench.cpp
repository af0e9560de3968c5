// Command round trip on a pseudo-terminal: the command line "[R98T4AH02]" CR
// goes out, an in-process responder on the master end answers one status
// line at once, and the trip ends when the reply's last byte has been read
// on the UI thread. Measured side by side in one run:
//   floor        raw termios and poll() on one thread;
//   QSerialPort  written, and read in readyRead, on the UI thread;
//   dispatcher   TWin32Dispatcher's PutString, read in a window handler on
//                the UI thread;
//   TComPort     the port component's PutString, read in OnTriggerAvail on
//                the UI thread: what the program does.
// Then the idle cost of one open TComPort (its four threads) over a time window,
// next to the same program without the port.
//
//   build/bench/round_trip_bench [trips=10000] [idle seconds=30]

#include "BenchRow.h"
#include "platform/MessageWindow.h"
#include "platform/SettingsPath.h"
#include "serial/ComPort.h"
#include "serial/PortErrors.h"
#include "serial/Win32Dispatcher.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using dravane::test::PtyPair;

const std::string Command = "[R98T4AH02]\r";
const std::string Reply = "[R00T4BH0102]\r";
constexpr int WarmUp = 500;

// Answers every CR-ended line on the master with one status line, at once.
class TResponder {
public:
    explicit TResponder(int master) : FMaster(master), FThread([this] { run(); }) {}
    ~TResponder() {
        FStop = true;
        FThread.join();
    }

private:
    void run() {
        char buf[256];
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(FMaster, buf, sizeof buf);
            for (ssize_t k = 0; k < n; ++k)
                if (buf[k] == '\r' && ::write(FMaster, Reply.data(), Reply.size()) < 0)
                    return;
        }
    }
    int FMaster;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

struct TStats {
    double MedianUs, P99Us;
};

TStats Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

double ElapsedUs(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// A pty pair, its slave mapped to COM7, with a responder on its master
// unless the line is to stay idle.
struct TLine {
    explicit TLine(const dravane::test::TempDir& dir, bool respond = true) {
        if (respond)
            Responder.emplace(Pty.Master());
        const std::string ini = dir.File("bench.ini");
        dravane::test::WriteAll(ini, "[Ports]\nCOM7=" + Pty.SlavePath() + "\n");
        dravane::platform::SetSettingsFileName(ini);
    }
    ~TLine() { dravane::platform::SetSettingsFileName({}); }
    PtyPair Pty;
    std::optional<TResponder> Responder;
};

// Event-driven trips on the UI thread: Ended, called where the reply's last
// byte is read, records the trip and sends the next command.
class TTrips {
public:
    TTrips(int trips, std::function<void()> send) : FTrips(trips), FSend(std::move(send)) {}
    std::vector<double> Run() {
        QTimer::singleShot(0, [this] { begin(); });
        FLoop.exec();
        return std::move(FUs);
    }
    void Ended() {
        if (FDone++ >= WarmUp)
            FUs.push_back(ElapsedUs(FT0));
        if (FDone < WarmUp + FTrips)
            begin();
        else
            FLoop.quit();
    }

private:
    void begin() {
        FT0 = Clock::now();
        FSend();
    }
    const int FTrips;
    std::function<void()> FSend;
    QEventLoop FLoop;
    int FDone = 0;
    Clock::time_point FT0;
    std::vector<double> FUs;
};

// ---- floor: raw termios and poll() ----
std::vector<double> RunFloor(int trips) {
    PtyPair pty;
    TResponder responder(pty.Master());
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    pty.CloseSlaveKeeper();
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B57600);
    ::tcsetattr(fd, TCSANOW, &tio);
    std::vector<double> us;
    char buf[256];
    for (int t = 0; t < WarmUp + trips; ++t) {
        const auto t0 = Clock::now();
        if (::write(fd, Command.data(), Command.size()) < 0)
            std::abort();
        for (bool done = false; !done;) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 1000);
            const ssize_t n = ::read(fd, buf, sizeof buf);
            done = n > 0 && buf[n - 1] == '\r';
        }
        if (t >= WarmUp)
            us.push_back(ElapsedUs(t0));
    }
    ::close(fd);
    return us;
}

// ---- QSerialPort on the UI thread ----
std::vector<double> RunQSerialPort(int trips) {
    PtyPair pty;
    TResponder responder(pty.Master());
    QSerialPort port;
    port.setPortName(QString::fromStdString(pty.SlavePath()));
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "QSerialPort: %s\n", port.errorString().toLocal8Bit().constData());
        return {};
    }
    pty.CloseSlaveKeeper();
    port.setBaudRate(57600);
    TTrips run(trips, [&] { port.write(Command.data(), static_cast<qint64>(Command.size())); });
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray got = port.readAll();
        if (!got.isEmpty() && got.back() == '\r')
            run.Ended();
    });
    return run.Run();
}

// ---- the device layer with a window handler on the UI thread ----
std::vector<double> RunDispatcher(int trips, const dravane::test::TempDir& dir) {
    using namespace dravane::serial;
    TLine line(dir);
    TWin32Dispatcher d;
    if (d.InitPort("COM7", 57600, NOPARITY, 8, 1, 4096, 4096, ipAssertDTR | ipAssertRTS) != ecOK) {
        std::fprintf(stderr, "dispatcher: open failed\n");
        return {};
    }
    line.Pty.CloseSlaveKeeper();
    TTrips run(trips, [&] { d.PutString(Command); });
    char buf[256];
    dravane::platform::TMessageWindow w([&](std::uint32_t Msg, std::uintptr_t wParam, std::intptr_t) {
        const int n = std::min<int>(static_cast<int>(wParam), sizeof buf);
        if (Msg == pw_TriggerAvail && d.GetBlock(buf, n) == n && n > 0 && buf[n - 1] == '\r')
            run.Ended();
        return std::intptr_t{0};
    });
    d.ChangeLengthTrigger(1);
    d.RegisterWndTriggerHandler(&w);
    d.UpdateHandlerFlags(fuEnablePort);
    auto us = run.Run();
    d.DeregisterWndTriggerHandler(&w);
    d.DonePort();
    return us;
}

// ---- the port component ----
std::vector<double> RunComPort(int trips, const dravane::test::TempDir& dir) {
    using namespace dravane::serial;
    TLine line(dir);
    TComPort port;
    TTrips run(trips, [&] { port.PutString(Command); });
    char buf[256];
    port.SetComNumber(7);
    port.SetBaud(57600);
    port.SetOnTriggerAvail([&](TCustomComPort* CP, std::uint16_t Count) {
        const int n = std::min<int>(Count, sizeof buf);
        CP->GetBlock(buf, n);
        if (n > 0 && buf[n - 1] == '\r')
            run.Ended();
    });
    try {
        port.SetOpen(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "TComPort: %s\n", e.what());
        return {};
    }
    line.Pty.CloseSlaveKeeper();
    auto us = run.Run();
    port.SetOnTriggerAvail({});
    port.SetOpen(false);
    return us;
}

double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Percent of one core the process used while its event loop idled for `seconds`.
double IdlePercent(int seconds) {
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    loop.exec();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return (CpuSeconds() - cpu0) / wall * 100.0;
}

void Print(const char* name, const std::vector<double>& us, double floorMedian) {
    if (us.empty()) {
        std::printf("%-12s  failed\n", name);
        return;
    }
    const TStats s = Summarise(us);
    std::printf("%-12s  median %8.1f us   p99 %8.1f us   median/floor %5.2fx\n", name, s.MedianUs, s.P99Us,
                s.MedianUs / floorMedian);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int trips = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 10000;
    const int idleSeconds = argc > 2 ? std::max(std::atoi(argv[2]), 1) : 30;
    dravane::test::TempDir dir;

    std::printf("round trip, %d trips after %d warm-up trips\n", trips, WarmUp);
    const auto floor = RunFloor(trips);
    const double floorMedian = Summarise(floor).MedianUs;
    Print("floor", floor, floorMedian);
    const auto qt = RunQSerialPort(trips);
    Print("QSerialPort", qt, floorMedian);
    Print("dispatcher", RunDispatcher(trips, dir), floorMedian);
    const auto port = RunComPort(trips, dir);
    Print("TComPort", port, floorMedian);

    using dravane::bench::Format;
    const std::string floorText = Format("raw termios %.0f us", floorMedian);
    if (!qt.empty()) {
        const TStats s = Summarise(qt);
        dravane::bench::Row("pty round trip, QSerialPort (peer)", Format("median %.0f us", s.MedianUs),
                            floorText, s.MedianUs / floorMedian, "-", true);
    }
    if (!port.empty()) {
        const TStats s = Summarise(port);
        dravane::bench::Row("pty round trip, TComPort",
                            Format("median %.0f us", s.MedianUs) + Format(", p99 %.0f us", s.P99Us),
                            floorText, s.MedianUs / floorMedian, "median <= 2x floor, p99 < 1 ms",
                            s.MedianUs <= 2 * floorMedian && s.P99Us < 1000);
    } else {
        dravane::bench::Row("pty round trip, TComPort", "failed", floorText, 0,
                            "median <= 2x floor, p99 < 1 ms", false);
    }

    std::printf("idle cost over %d s each, percent of one core\n", idleSeconds);
    const double idleNone = IdlePercent(idleSeconds);
    std::printf("%-12s  %6.3f %%\n", "no port", idleNone);
    double idleOne = 0;
    {
        TLine line(dir, false);
        dravane::serial::TComPort port1;
        port1.SetComNumber(7);
        port1.SetOpen(true);
        line.Pty.CloseSlaveKeeper();
        idleOne = IdlePercent(idleSeconds);
        std::printf("%-12s  %6.3f %%\n", "one port", idleOne);
    }
    dravane::bench::Row("idle, one open port", Format("%.3f %% of a core", idleOne),
                        Format("no port %.3f %%", idleNone), idleNone > 0 ? idleOne / idleNone : 0,
                        "<= 0.5 % of a core", idleOne <= 0.5);
    return 0;
}
