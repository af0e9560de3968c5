#include "platform/AppException.h"
#include "platform/ErrorBox.h"
#include "support/EventLoop.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>
#include <vector>

using namespace dravane;

namespace {

// Closes the message boxes that a faulty display left waiting, so the test
// ends and says so instead of hanging.
struct ClickGuard {
    QTimer Timer;
    bool Fired = false;
    ClickGuard() {
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible()) {
                    Fired = true;
                    dialog->reject();
                }
            }
        });
        Timer.start(3000);
    }
};

} // namespace

TEST(ErrorDisplay, WithoutADisplayEachTextIsOneLineOnStandardErrorAndNothingWaits) {
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    platform::InstallErrorBox();
    ClickGuard guard;
    ::testing::internal::CaptureStderr();
    platform::ShowErrorMessage("Error opening COM port\nCOM3");
    platform::ShowErrorMessageModal("Unable to write to /x/dravane.ini");
    QCoreApplication::processEvents(); // anything posted
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error opening COM port COM3\nUnable to write to /x/dravane.ini\n");
    EXPECT_FALSE(guard.Fired);
}

TEST(ErrorDisplay, APostedBoxBlocksNothingAndAnUnattendedCloseShutsIt) {
    platform::InstallErrorBox(true);
    ClickGuard guard;
    platform::ShowErrorMessage("Device read error");
    QMessageBox* box = nullptr;
    ASSERT_TRUE(test::PumpUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible())
                box = b;
        }
        return box != nullptr;
    }));
    EXPECT_EQ(box->text(), "Device read error");
    // The panel and everything else still take input while it is open.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    platform::SetUnattended(true);
    EXPECT_TRUE(test::PumpUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMessageBox*>(w) && w->isVisible())
                return false;
        }
        return true;
    }));
    platform::SetUnattended(false);
    platform::InstallErrorBox();
    EXPECT_FALSE(guard.Fired);
}

// A link's fault told again and again while its box is open: one box, its
// text the latest; another link's fault: a box of its own; the fault over:
// its box closes by itself.
TEST(ErrorDisplay, OneBoxPerLinkFaultClosingWhenTheFaultEnds) {
    platform::InstallErrorBox(true);
    const auto boxes = [] {
        std::vector<QMessageBox*> open;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible())
                open.push_back(b);
        }
        return open;
    };
    for (int pull = 0; pull < 3; ++pull) {
        platform::ShowFault("serial", "COM3 (/dev/ttyUSB0) lost");
        platform::ShowFault("serial", "COM3 (/dev/ttyUSB0) lost again");
        ASSERT_TRUE(test::PumpUntil([&] { return boxes().size() == 1; }));
        QCoreApplication::processEvents();
        ASSERT_EQ(boxes().size(), 1u) << pull;
        EXPECT_EQ(boxes().front()->text(), "COM3 (/dev/ttyUSB0) lost again");
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        platform::EndFault("serial");
        ASSERT_TRUE(test::PumpUntil([&] { return boxes().empty(); })) << pull;
    }
    platform::ShowFault("serial", "Error opening COM port COM3 (/dev/ttyUSB0): permission denied");
    platform::ShowFault("tcp", "Cannot reach the Server at 192.0.2.7 port 54902: connection refused");
    ASSERT_TRUE(test::PumpUntil([&] { return boxes().size() == 2; }));
    platform::EndFault("tcp");
    ASSERT_TRUE(test::PumpUntil([&] { return boxes().size() == 1; }));
    EXPECT_TRUE(boxes().front()->text().startsWith("Error opening COM port"));
    platform::EndFault("serial");
    EXPECT_TRUE(test::PumpUntil([&] { return boxes().empty(); }));
    platform::InstallErrorBox();
}

TEST(ErrorDisplay, AnUnattendedCloseShutsTheOpenModalBox) {
    platform::InstallErrorBox();
    ClickGuard guard;
    QMessageBox box(QMessageBox::Critical, "Dravane Control", "Error opening COM port", QMessageBox::Ok);
    QTimer::singleShot(0, [] { platform::SetUnattended(true); });
    box.exec();
    platform::SetUnattended(false);
    EXPECT_FALSE(guard.Fired);
    EXPECT_FALSE(box.isVisible());
}
