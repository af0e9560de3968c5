// dravane-server: the link without a display, for a small machine at the
// antenna (usually the Server role, but any role of its settings file). It
// needs QtCore only, never writes its settings file, and ends on SIGTERM,
// SIGINT or SIGHUP.

#include "comm/CommLink.h"
#include "comm/Defines.h"
#include "platform/AppException.h"
#include "platform/CommandLine.h"
#include "platform/SettingsPath.h"
#include "platform/SignalWatcher.h"
#include "rotator/LinkDrive.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

using namespace dravane;

int main(int argc, char** argv) {
    platform::TCommandLine options;
    if (const auto status = platform::ParseCommandLine(
            argc, argv,
            "Dravane Control without a display: relays the antenna controller's serial line over TCP "
            "(or runs the role its settings file names).",
            options))
        return *status;
    platform::ApplyCommandLine(options);
    platform::SetSettingsReadOnly(true);
    // Before any thread exists, so every thread inherits the mask.
    platform::BlockTerminationSignals();
    const std::string settings = platform::SettingsFileName();
    std::fprintf(stderr, "Settings file: %s\n", settings.c_str());
    std::fflush(stderr);

    // Qt's own poll loop costs less per wake-up than GLib's, and a relay
    // wakes for every line it passes on.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QCoreApplication application(qtArgc, qtArgv);
    QCoreApplication::setApplicationName("Dravane Control");

    int result = 0;
    {
        comm::TCommLink link;
        platform::TSignalWatcher signalWatcher([](int) {
            // A command waiting for its reply gives up, and the loop ends.
            comm::SystemReady = false;
            platform::SetUnattended(true);
            QCoreApplication::quit();
        });
        link.Start();
        if (link.GetOpMode() != comm::omClient && link.ConfiguredPort() <= 0)
            std::fprintf(stderr,
                         "No serial port configured: set Port in [Comm] of %s and map it in [Ports] "
                         "(ls -l /dev/serial/by-id/), then restart\n",
                         settings.c_str());
        std::unique_ptr<rotator::TLinkRotator> rotator =
            rotator::TLinkRotator::FromSettingsFile(link, settings);
        if (rotator)
            rotator->Start();
        comm::SystemReady = true;
        result = QCoreApplication::exec();
        comm::SystemReady = false;
        rotator.reset();
        link.Shutdown();
    }
    return result;
}
