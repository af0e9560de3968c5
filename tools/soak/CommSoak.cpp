// Soak run of the relay: commands from two Clients through a Server to the
// controller simulator on a pseudo-terminal, all links in this process over
// loopback TCP, with the link broken now and then (the first Client's TCP
// path reset, the serial cable pulled and plugged back) and control of the
// station taken and released every few hundred commands. Every command must
// end true or false within its bound, none from a Client without control may
// reach the controller, and memory and descriptors must stay flat.
//
//   comm-soak [commands (10000)] [seed (1)] [tick ms (5)] [eager]
// "eager": after a break the commands go on at once, without waiting for the
// link to be seen down and back (commands then end false while it is down).
// Exit status 0 when every criterion held, 1 otherwise.

#include "comm/CommLink.h"
#include "comm/NetDefs.h"
#include "platform/Action.h"
#include "platform/AppException.h"
#include "platform/SettingsPath.h"
#include "support/EventLoop.h"
#include "support/FakeController.h"
#include "support/Loopback.h"
#include "support/LoopbackProxy.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using namespace dravane;
using namespace std::chrono_literals;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

class TSoakComm : public comm::TCommLink {
public:
    TSoakComm() {
        Start();
        findChild<QTimer*>("Timer1")->stop();
    }
};

struct TMainForm : platform::TActionTarget {
    int LinkFails = 0;
    bool ExecuteAction(platform::TAction& action) override {
        LinkFails += action.Tag == comm::mcCommLinkFail;
        return false;
    }
};

long residentKiB() {
    long pages = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long openDescriptors() {
    long n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    // The record's line per command would drown the soak's own report.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("dravane.record.info=false"));
    const long commands = argc > 1 ? std::atol(argv[1]) : 10000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 1;
    const int tickMs = argc > 3 ? std::atoi(argv[3]) : 5;
    const bool eager = argc > 4 && std::string(argv[4]) == "eager";
    if (commands < 10 || tickMs < 1) {
        std::fprintf(stderr, "usage: comm-soak [commands >= 10] [seed] [tick ms >= 1]\n");
        return 2;
    }

    test::TempDir dir;
    const std::string ini = dir.File("dravane.ini");
    const std::string device = dir.File("ttyController");
    TMainForm mainForm;
    long errors = 0;
    platform::SetApplicationMainForm(&mainForm);
    platform::SetSettingsFileName(ini);
    platform::SetErrorSink([&](const std::string&) { ++errors; });

    // The controller's device under a fixed name, pointed at each new cable.
    test::TFakeController controller;
    const auto plugIn = [&] {
        std::filesystem::remove(device);
        std::filesystem::create_symlink(controller.SlavePath(), device);
    };
    plugIn();
    const std::uint16_t serverPort = test::FreePort();
    const std::uint16_t proxyPort = test::FreePort();
    test::TLoopbackProxy proxy(proxyPort, serverPort);
    const std::string ports = "[Ports]\nCOM3=" + device + "\n";
    test::WriteAll(ini, ports + "[Comm]\nPort=3\nMode=2\nMaxClients=2\nipPort=" + std::to_string(serverPort) +
                            "\n");
    auto server = std::make_unique<TSoakComm>(); // owns the device socket: goes last
    test::WriteAll(ini, ports + "[Comm]\nMode=1\nName=first\nipAddress=127.0.0.1\nipPort=" +
                            std::to_string(proxyPort) + "\n");
    auto client = std::make_unique<TSoakComm>();
    test::WriteAll(ini, ports + "[Comm]\nMode=1\nName=second\nipAddress=127.0.0.1\nipPort=" +
                            std::to_string(serverPort) + "\n");
    auto second = std::make_unique<TSoakComm>();
    long refused = 0;
    for (TSoakComm* c : {client.get(), second.get()})
        QObject::connect(c, &comm::TCommLink::CommandRefused, [&] { ++refused; });
    comm::SystemReady = true;

    QTimer ticks;
    ticks.callOnTimeout([&] {
        server->Timer1Timer();
        client->Timer1Timer();
        second->Timer1Timer();
    });
    ticks.start(tickMs);
    // Six tries of 20 ticks each, and a reconnection, are far inside this.
    const auto commandBound = std::chrono::milliseconds(400 * tickMs + 5000);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    bool hung = false;
    watchdog.callOnTimeout([&] {
        hung = true;
        comm::SystemReady = false; // ends the command's wait
    });

    const auto linked = [&] {
        return client->GetRemoteStatus() == comm::lsReady && second->GetRemoteStatus() == comm::lsReady;
    };
    const auto recoveryBound = std::chrono::milliseconds(600 * tickMs + 10000);
    const auto serialReady = [&] { return server->GetLinkStatus() == comm::lsReady; };
    if (!test::PumpUntil([&] { return linked() && serialReady(); }, recoveryBound)) {
        std::fprintf(stderr, "comm-soak: the Client never linked to the Server\n");
        return 1;
    }

    std::mt19937 random(seed);
    std::uniform_int_distribution<long> gap(200, 400);
    long nextBreak = gap(random);
    std::uniform_int_distribution<long> controlGap(150, 300);
    long nextControl = controlGap(random);
    long controlChanges = 0, leaks = 0;
    // Who holds control, as both Clients must see it before the next command.
    TSoakComm* holder = nullptr;
    const auto controlSeen = [&] {
        const auto seen = [&](TSoakComm* c) {
            return c->ControlText() == (holder == nullptr ? "Control: free"
                                        : holder == c     ? "Control: yours"
                                                          : QString("Controlled by ") +
                                                            (holder == client.get() ? "first" : "second"));
        };
        return !linked() || (seen(client.get()) && seen(second.get()));
    };
    long trues = 0, falses = 0, resets = 0, unplugs = 0, unrecovered = 0;
    const long warmUp = std::max(10L, commands / 10);
    long rssWarm = 0, fdsWarm = 0, rssMax = 0, fdsMax = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long k = 1; k <= commands && !hung; ++k) {
        const std::string button(1, static_cast<char>(1 + random() % 6));
        TSoakComm* from = random() % 2 == 0 ? client.get() : second.get();
        const long refusedBefore = refused;
        watchdog.start(commandBound);
        const bool ok =
            from->SendCommand(comm::baseDravane, comm::cmd485_SetDravane, button, comm::cmd485_DravaneStatus);
        watchdog.stop();
        if (hung)
            break;
        ok ? ++trues : ++falses;
        if (refused > refusedBefore && holder != nullptr && holder != from && controller.CommandCount() > 0)
            ++leaks;
        // The fake controller's record of every line would grow by itself.
        controller.Lines.clear();
        controller.Raw.clear();

        if (k == nextBreak) {
            nextBreak += gap(random);
            // The link goes down, is seen down, and comes back by itself.
            bool back = false;
            const bool reset = random() % 2 == 0;
            if (reset) {
                ++resets;
                proxy.Reset();
                back = eager || (test::PumpUntil([&] { return !linked(); }, recoveryBound) &&
                                 test::PumpUntil(linked, recoveryBound));
            } else {
                ++unplugs;
                controller.Unplug();
                const bool down = eager || test::PumpUntil([&] { return !serialReady(); }, recoveryBound);
                controller.Replug();
                plugIn();
                back = eager || (down && test::PumpUntil(serialReady, recoveryBound));
            }
            if (!back) {
                ++unrecovered;
                std::fprintf(stderr, "comm-soak: after command %ld the link did not come back (%s)\n", k,
                             reset ? "TCP reset" : "serial unplugged");
                break;
            }
        }
        if (k == nextControl) {
            nextControl += controlGap(random);
            ++controlChanges;
            // Whoever holds control lets go; otherwise one of the two takes it.
            if (holder != nullptr && linked()) {
                holder->ReleaseControl();
                holder = nullptr;
            } else if (linked()) {
                holder = random() % 2 == 0 ? client.get() : second.get();
                holder->TakeControl();
            }
            if (!test::PumpUntil(controlSeen, recoveryBound)) {
                std::fprintf(stderr,
                             "comm-soak: after command %ld the Clients did not see who holds control\n", k);
                ++unrecovered;
                break;
            }
        }
        if (k == warmUp) {
            rssWarm = residentKiB();
            fdsWarm = openDescriptors();
        }
        if (k % 1000 == 0)
            std::fprintf(stderr,
                         "comm-soak: %ld commands, %ld true, %ld false, RSS %ld KiB, %ld descriptors\n", k,
                         trues, falses, residentKiB(), openDescriptors());
        if (k > warmUp && k % 500 == 0) {
            rssMax = std::max(rssMax, residentKiB());
            fdsMax = std::max(fdsMax, openDescriptors());
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long rssEnd = residentKiB();
    const long fdsEnd = openDescriptors();
    rssMax = std::max(rssMax, rssEnd);
    fdsMax = std::max(fdsMax, fdsEnd);

    ticks.stop();
    comm::SystemReady = false;
    second.reset();
    client.reset();
    server.reset();
    platform::SetApplicationMainForm(nullptr);
    platform::SetErrorSink({});

    const double growth = rssWarm > 0 ? 100.0 * (rssMax - rssWarm) / rssWarm : 0;
    // Under AddressSanitizer freed memory is held back and every new call
    // stack is kept: the resident set grows by itself and tells nothing
    // (leaks are the sanitizer's to report at exit).
    const bool flat = (Sanitized || growth <= 5.0) && fdsMax <= fdsWarm;
    const bool pass = !hung && unrecovered == 0 && leaks == 0 && trues + falses == commands && flat;
    std::printf("comm-soak: %ld commands in %.1f s (tick %d ms, seed %u)\n", trues + falses, seconds, tickMs,
                seed);
    std::printf("  ended true %ld, false %ld, hung %d\n", trues, falses, hung ? 1 : 0);
    std::printf("  disconnects: %ld TCP resets, %ld serial unplugs; links not back in time: %ld; "
                "link-fail notices %d, error messages %ld\n",
                resets, unplugs, unrecovered, mainForm.LinkFails, errors);
    std::printf("  control changes %ld; commands refused at once %ld, of which reached the controller %ld\n",
                controlChanges, refused, leaks);
    std::printf("  RSS after warm-up %ld KiB, highest after %ld KiB (%+.1f %%%s), at the end %ld KiB\n",
                rssWarm, rssMax, growth, Sanitized ? ", not judged under AddressSanitizer" : "", rssEnd);
    std::printf("  open descriptors after warm-up %ld, highest after %ld, at the end %ld\n", fdsWarm, fdsMax,
                fdsEnd);
    std::printf("  %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
