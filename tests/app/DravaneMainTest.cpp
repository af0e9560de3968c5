#include "app/DravaneMain.h"
#include "app/Application.h"
#include "app/CommControl.h"
#include "comm/Defines.h"
#include "platform/AppException.h"
#include "platform/SettingsPath.h"
#include "support/TempDir.h"
#include "widgets/ColorPanel.h"
#include "widgets/Pixels.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

using namespace dravane;
using dravane::test::ReadAll;
using dravane::test::TempDir;
using dravane::test::WriteAll;

namespace {

class DravaneMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetSettingsFileName(ini);
        platform::SetErrorSink([this](const std::string& text) { errors.push_back(text); });
        comm::SystemReady = false;
    }
    void TearDown() override {
        app::CommControl = nullptr;
        commControl.reset();
        main.reset();
        platform::SetSettingsFileName("");
        platform::SetErrorSink({});
        comm::SystemReady = false;
        qApp->setStyleSheet("");
    }
    // The start-up order: main window, Communications window, then ready.
    void start() {
        main = std::make_unique<app::TDravaneMain>();
        commControl = std::make_unique<app::TCommControl>();
        app::CommControl = commControl.get();
        comm::SystemReady = true;
    }
    widgets::TColorPanel* netLed() { return main->findChild<widgets::TColorPanel*>("NetLed"); }
    void post(std::int32_t code) {
        platform::TAction action;
        action.Tag = code;
        EXPECT_FALSE(main->ExecuteAction(action));
    }

    TempDir dir;
    std::string ini = dir.File("dravane.ini");
    std::vector<std::string> errors;
    std::unique_ptr<app::TDravaneMain> main;
    std::unique_ptr<app::TCommControl> commControl;
};

} // namespace

TEST_F(DravaneMainTest, NoSettingsFileGivesDefaultsAndCloseWritesDisplayThenColors) {
    start();
    EXPECT_EQ(main->windowTitle(), "Dravane Control  v2.0");
    EXPECT_EQ(main->pos(), QPoint(0, 0));
    EXPECT_EQ(comm::AntennaOffColor, 0x808080u);
    EXPECT_EQ(comm::ControllerColor, 0xFFFF00u);
    EXPECT_TRUE(comm::UseDefaultOffColor);
    main->close();
    EXPECT_FALSE(comm::SystemReady);
    EXPECT_EQ(ReadAll(ini),
              "[Display]\nLeft=0\nTop=0\n\n[Colors]\nControllerColor=16776960\nAntOffColor=8421504\n");
    EXPECT_TRUE(errors.empty());
}

TEST_F(DravaneMainTest, ColourNumbersInHexDollarDecimalOrGarbage) {
    for (const auto& [text, expected, written] :
         std::vector<std::tuple<std::string, std::uint32_t, std::string>>{
             {"0xFF", 255u, "255"},
             {"$FF", 255u, "255"},
             {"abc", 16776960u, "16776960"},
             {"0XfF", 255u, "255"},
             {"255junk", 16776960u, "16776960"},
             {"0x1234567890", 16776960u, "16776960"}}) {
        WriteAll(ini, "[Colors]\nControllerColor=" + text + "\n");
        start();
        EXPECT_EQ(comm::ControllerColor, expected) << text;
        main->close();
        EXPECT_NE(ReadAll(ini).find("ControllerColor=" + written + "\n"), std::string::npos) << text;
        TearDown();
        SetUp();
    }
}

TEST_F(DravaneMainTest, PositionIsReadSignedAndSavedFromTheWindow) {
    WriteAll(ini, "[Display]\nTop=40\nLeft=-12\n");
    start();
    EXPECT_EQ(main->pos(), QPoint(-12, 40));
    main->move(30, 50);
    main->close();
    EXPECT_EQ(ReadAll(ini),
              "[Display]\nTop=50\nLeft=30\n\n[Colors]\nControllerColor=16776960\nAntOffColor=8421504\n");
}

TEST_F(DravaneMainTest, DefaultOffColorIsReadButNeverWrittenAndOtherContentSurvives) {
    const std::string before =
        "; operator notes\r\n[Options]\r\nDefaultOffColor=0\r\n[Comm]\r\nPort=3\r\nMode=2\r\n";
    WriteAll(ini, before);
    start();
    EXPECT_FALSE(comm::UseDefaultOffColor);
    main->close();
    const std::string after = ReadAll(ini);
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.substr(before.size()), "\r\n[Display]\r\nLeft=0\r\nTop=0\r\n\r\n[Colors]\r\n"
                                           "ControllerColor=16776960\r\nAntOffColor=8421504\r\n");
    TearDown();
    SetUp();
    WriteAll(ini, "[Options]\nDefaultOffColor=7\n");
    start();
    EXPECT_TRUE(comm::UseDefaultOffColor);
}

TEST_F(DravaneMainTest, UnwritableSettingsFileIsReportedAndTheCloseStillCompletes) {
    WriteAll(dir.File("file"), "");
    const std::string bad = dir.File("file") + "/dravane.ini"; // cannot be created, even by root
    platform::SetSettingsFileName(bad);
    start();
    bool closed = false;
    QObject::connect(main.get(), &app::TDravaneMain::Closed, [&] { closed = true; });
    main->close();
    EXPECT_TRUE(closed);
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to write to " + bad});
}

TEST_F(DravaneMainTest, CommIndicatorFollowsLinkCodesOnlyWhileReady) {
    main = std::make_unique<app::TDravaneMain>();
    // Before the system is ready nothing changes (a report during start-up).
    post(comm::mcCommLinkOk);
    EXPECT_FALSE(netLed()->Color());
    comm::SystemReady = true;
    post(comm::mcCommLinkOk);
    EXPECT_EQ(netLed()->Color(), 0x00FF00u);
    post(comm::mcCommLinkFail);
    EXPECT_EQ(netLed()->Color(), 0x0000FFu);
    post(comm::mcUnitAStatus);
    post(comm::mcShowCommunications);
    EXPECT_EQ(netLed()->Color(), 0x0000FFu);
    comm::SystemReady = false;
    post(comm::mcCommLinkOk);
    EXPECT_EQ(netLed()->Color(), 0x0000FFu);
}

TEST_F(DravaneMainTest, CommIndicatorFacePaintsItsOwnColourUnderAStyleSheet) {
    start();
    main->setStyleSheet("QWidget { background-color: #123456; }");
    post(comm::mcCommLinkOk);
    main->show();
    const QImage face = netLed()->grab().toImage();
    EXPECT_EQ(face.pixelColor(face.width() / 2, 3), QColor(0, 255, 0));
    post(comm::mcCommLinkFail);
    const QImage red = netLed()->grab().toImage();
    EXPECT_EQ(red.pixelColor(4, red.height() / 2), QColor(255, 0, 0));
}

TEST_F(DravaneMainTest, CommIndicatorWritesTheLinkStateInWordsReadableOnEveryFill) {
    // The program's style asks for light text everywhere, lime and red faces included.
    app::ApplyVisualStyle();
    start();
    main->show();
    const struct {
        std::int32_t Code; // 0: before any report
        const char* Words;
    } states[] = {{0, "not reported"}, {comm::mcCommLinkOk, "working"}, {comm::mcCommLinkFail, "down"}};
    QStringList captions;
    for (const auto& state : states) {
        if (state.Code)
            post(state.Code);
        captions << netLed()->Caption();
        EXPECT_TRUE(netLed()->toolTip().contains(state.Words)) << netLed()->toolTip().toStdString();
        const QImage image = test::Grab(*netLed());
        EXPECT_GE(test::CaptionContrast(image, image.rect().adjusted(2, 2, -3, -3)), 4.5)
            << captions.back().toStdString();
    }
    EXPECT_EQ(captions.removeDuplicates(), 0) << "link up and link down read alike";
    EXPECT_EQ(netLed()->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(DravaneMainTest, ClickingTheCommIndicatorShowsTheCommunicationsWindow) {
    start();
    main->show();
    EXPECT_FALSE(commControl->isVisible());
    QTest::mouseClick(netLed(), Qt::LeftButton);
    EXPECT_TRUE(commControl->isVisible());
}

TEST_F(DravaneMainTest, LinkCodesFromTheCommunicationsWindowReachTheIndicator) {
    start();
    // Shutdown at close reports the links down, but the system is no longer ready.
    post(comm::mcCommLinkOk);
    main->close();
    EXPECT_EQ(netLed()->Color(), 0x00FF00u);
}
