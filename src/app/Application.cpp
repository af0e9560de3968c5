#include "app/Application.h"

#include "app/CommControl.h"
#include "app/DravaneMain.h"
#include "app/SingleCopy.h"
#include "comm/Defines.h"
#include "comm/GetComPorts.h"
#include "platform/AppException.h"
#include "platform/CommandLine.h"
#include "platform/ErrorBox.h"
#include "platform/LogRecord.h"
#include "platform/SettingsPath.h"
#include "platform/SignalWatcher.h"
#include "rotator/LinkDrive.h"
#include "rotator/RotatorListener.h"
#include "serial/SelectPortDialog.h"

#include <QApplication>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <memory>

// Q_INIT_RESOURCE declares a global function and must run outside any namespace.
static void initAppResources() {
    Q_INIT_RESOURCE(app);
}

namespace dravane::app {
namespace {
bool hasValue(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}
} // namespace

bool ApplyVisualStyle() {
    // The style lives in this static library; its resource must be pulled in by hand.
    initAppResources();
    QFile style(":/styles/Smokey Quartz Kamri.qss");
    if (!style.open(QIODevice::ReadOnly))
        return false;
    qApp->setStyleSheet(QString::fromUtf8(style.readAll()));
    return true;
}

int RunDravane(int argc, char** argv) {
    platform::TCommandLine options;
    if (const auto status = platform::ParseCommandLine(
            argc, argv, "Dravane Control: the antenna controller's panel, and its relay over TCP.", options))
        return *status;
    platform::ApplyCommandLine(options);
    // Kept from the start, for the Communications window's event list.
    platform::TLogRecord::Instance();
    // Before any thread exists, so every thread inherits the mask and the
    // signals reach the signalfd only.
    platform::BlockTerminationSignals();
    // Fixed before anything can replace the executable under the running
    // program; told, since three places are possible.
    std::fprintf(stderr, "Settings file: %s\n", platform::SettingsFileName().c_str());
    std::fflush(stderr);
    // With no display at all (a Server at the antenna, a service) the
    // program runs on the offscreen platform, its messages going to standard
    // error, instead of failing to start. Before the application object,
    // which reads it, and before any thread exists.
    if (!hasValue("QT_QPA_PLATFORM") && !hasValue("DISPLAY") && !hasValue("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication application(qtArgc, qtArgv);
    // The name message boxes carry. Not set as the display name: the toolkit
    // would append that to every window title.
    QApplication::setApplicationName("Dravane Control");
    QApplication::setApplicationVersion(QStringLiteral(DRAVANE_VERSION));
    // The menu entry's name: desktops match the windows to its icon by it.
    QGuiApplication::setDesktopFileName("dravane");
    QApplication::setQuitOnLastWindowClosed(false);

    // Before any window and port: a second copy on the same settings file
    // would fight the first for the serial port and overwrite its settings.
    TSingleCopy singleCopy(QString::fromStdString(platform::SettingsFileName()));
    switch (singleCopy.Claim()) {
    case TSingleCopy::scRaised:
        return 0;
    case TSingleCopy::scNoAnswer:
        return 1;
    case TSingleCopy::scFirst:
    case TSingleCopy::scUnguarded:
        break;
    }
    ApplyVisualStyle();
    platform::InstallErrorBox();
    serial::InstallSelectPortDialog();

    int result = 0;
    {
        std::unique_ptr<TDravaneMain> mainWindow;
        // A termination signal closes the main window as the operator does,
        // but nobody is there to click: open boxes close, errors go to
        // standard error. Watched from the start, so that a signal during a
        // start-up message box ends the program too.
        bool terminated = false;
        bool running = false;
        platform::TSignalWatcher signalWatcher([&](int) {
            terminated = true;
            platform::SetUnattended(true);
            if (running)
                QMetaObject::invokeMethod(
                    mainWindow.get(), [&] { mainWindow->close(); }, Qt::QueuedConnection);
        });
        mainWindow = std::make_unique<TDravaneMain>();
        DravaneMain = mainWindow.get();
        QObject::connect(&singleCopy, &TSingleCopy::RaiseRequested, mainWindow.get(),
                         &TDravaneMain::BringToFront);
        auto commControl = std::make_unique<TCommControl>();
        CommControl = commControl.get();
        QObject::connect(&commControl->Link(), &comm::TCommLink::ControlChanged, mainWindow.get(),
                         &TDravaneMain::ShowControl);
        QObject::connect(&commControl->Link(), &comm::TCommLink::CommandRefused, mainWindow.get(),
                         &TDravaneMain::ShowCommandRefused);
        auto getComPorts = std::make_unique<comm::TGetComPorts>();
        std::unique_ptr<rotator::TLinkRotator> rotator =
            rotator::TLinkRotator::FromSettingsFile(commControl->Link(), platform::SettingsFileName());
        if (rotator)
            rotator->Start();
        commControl->SetRotator(rotator ? &rotator->Listener() : nullptr);
        comm::SystemReady = true;

        QObject::connect(mainWindow.get(), &TDravaneMain::Closed, &application, &QApplication::quit,
                         Qt::QueuedConnection);
        if (terminated) {
            mainWindow->close();
        } else {
            running = true;
            // On the offscreen platform (no display: a Server at the
            // antenna) nobody can see the window, so it stays hidden and
            // is not painted for every relayed report.
            if (QGuiApplication::platformName() != QLatin1String("offscreen"))
                mainWindow->show();
            result = QApplication::exec();
        }

        comm::SystemReady = false;
        rotator.reset();
        getComPorts.reset();
        CommControl = nullptr;
        commControl.reset();
        DravaneMain = nullptr;
        mainWindow.reset();
    }
    return result;
}

} // namespace dravane::app
