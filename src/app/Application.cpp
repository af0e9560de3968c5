#include "app/Application.h"

#include "app/DravaneMain.h"
#include "comm/CommControl.h"
#include "comm/Defines.h"
#include "comm/GetComPorts.h"
#include "platform/AppException.h"
#include "platform/SettingsPath.h"
#include "platform/SignalWatcher.h"

#include <QApplication>
#include <QFile>
#include <memory>

// Q_INIT_RESOURCE declares a global function and must run outside any namespace.
static void initAppResources() { Q_INIT_RESOURCE(app); }

namespace dravane::app {

bool ApplyVisualStyle() {
    // The style lives in this static library; its resource must be pulled in by hand.
    initAppResources();
    QFile style(":/styles/Smokey Quartz Kamri.qss");
    if (!style.open(QIODevice::ReadOnly))
        return false;
    qApp->setStyleSheet(QString::fromUtf8(style.readAll()));
    return true;
}

int RunDravane(const char* programPath) {
    // Before any thread exists, so every thread inherits the mask and the
    // signals reach the signalfd only.
    platform::BlockTerminationSignals();
    // Fixed before anything can replace the executable under the running program.
    platform::SettingsFileName();

    int argc = 1;
    char* argv[] = {const_cast<char*>(programPath), nullptr};
    QApplication application(argc, argv);
    // The name message boxes carry. Not set as the display name: the toolkit
    // would append that to every window title.
    QApplication::setApplicationName("Dravane Control");
    QApplication::setQuitOnLastWindowClosed(false);
    ApplyVisualStyle();

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
        auto commControl = std::make_unique<comm::TCommControl>();
        comm::CommControl = commControl.get();
        auto getComPorts = std::make_unique<comm::TGetComPorts>();
        comm::SystemReady = true;

        QObject::connect(mainWindow.get(), &TDravaneMain::Closed, &application, &QApplication::quit,
                         Qt::QueuedConnection);
        if (terminated) {
            mainWindow->close();
        } else {
            running = true;
            mainWindow->show();
            result = QApplication::exec();
        }

        comm::SystemReady = false;
        getComPorts.reset();
        comm::CommControl = nullptr;
        commControl.reset();
        DravaneMain = nullptr;
        mainWindow.reset();
    }
    return result;
}

} // namespace dravane::app
