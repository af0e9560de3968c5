#include "app/Application.h"

#include "app/DravaneMain.h"
#include "comm/CommControl.h"
#include "comm/Defines.h"
#include "comm/GetComPorts.h"
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

    int argc = 1;
    char* argv[] = {const_cast<char*>(programPath), nullptr};
    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName("Dravane Control");
    QApplication::setQuitOnLastWindowClosed(false);
    ApplyVisualStyle();

    int result = 0;
    {
        auto mainWindow = std::make_unique<TDravaneMain>();
        DravaneMain = mainWindow.get();
        auto commControl = std::make_unique<comm::TCommControl>();
        comm::CommControl = commControl.get();
        auto getComPorts = std::make_unique<comm::TGetComPorts>();
        comm::SystemReady = true;

        QObject::connect(mainWindow.get(), &TDravaneMain::Closed, &application, &QApplication::quit,
                         Qt::QueuedConnection);
        platform::TSignalWatcher signalWatcher([&](int) { mainWindow->close(); });

        mainWindow->show();
        result = QApplication::exec();

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
