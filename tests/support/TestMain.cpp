// Test entry shared by every test program: an application object exists for
// the whole run, since windows, timers and socket notifiers need one. Tests
// of the layers below the windows get a QCoreApplication, so that they run,
// and link, without any display library.
#ifdef DRAVANE_TEST_CORE
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#else
#include <QApplication>
using TTestApplication = QApplication;
#endif
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    ::testing::InitGoogleTest(&argc, argv);
    TTestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
