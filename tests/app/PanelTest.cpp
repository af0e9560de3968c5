// The antenna panel as the operator sees it: status lines arrive on the
// Communications window's serial port, and the grabbed main window shows the
// compass rose and the mode buttons; clicks go out as command lines to the
// controller (a fake one in this process, or the simulator as a program).
#include "app/Application.h"
#include "app/CommControl.h"
#include "app/DravaneMain.h"
#include "comm/CommFixture.h"
#include "support/SimProcess.h"
#include "widgets/IndShadowButton.h"
#include "widgets/Pixels.h"

#include <QApplication>
#include <QTest>

#include <array>
#include <cstdio>

namespace dravane::test {
namespace {

// The panel's origin in the main window.
constexpr QPoint panelAt(1, 30);

// Inner and outer LED of each direction index, clockwise from north-east.
constexpr std::array<std::array<QPoint, 2>, 8> ledAt{{{{{140, 40}, {165, 15}}},
                                                      {{{140, 70}, {170, 70}}},
                                                      {{{140, 100}, {165, 125}}},
                                                      {{{110, 100}, {110, 130}}},
                                                      {{{80, 100}, {55, 125}}},
                                                      {{{80, 70}, {44, 70}}},
                                                      {{{80, 40}, {55, 15}}},
                                                      {{{110, 40}, {110, 10}}}}};
constexpr QPoint centreLedAt(110, 70);
// The middle of a 24 by 24 LED's lamp.
constexpr QPoint lampMiddle(11, 12);
const QRgb lime = Bgr(0x00FF00);
const QRgb black = qRgb(0, 0, 0);
// A point of the arrows' dark green shafts.
constexpr QPoint leftShaft(64 + 11 + 22, 184 + 11 + 13);
constexpr QPoint rightShaft(140 + 11 + 5, 184 + 9 + 13);
// Inside a mode button's face but clear of its shadow, its outline and its caption.
constexpr QPoint faceOnly(20, 3);
constexpr std::array<const char*, 4> modeButtons{"KelUniDirBtn", "KelBiDirBtn", "KelFlipBtn", "KelOmniBtn"};

// What the panel shows.
struct TLook {
    std::string Lit; // direction indexes whose two LEDs are lit ('?' for a half-lit or odd one)
    bool CentreLit = false;
    std::array<QRgb, 4> Fill{}; // UNI, BI, FLIP, OMNI at a point of the face outside the shadow
    bool ArrowsGreen = false;
    bool operator==(const TLook&) const = default;
};

void PrintTo(const TLook& look, std::ostream* os) {
    *os << "lit \"" << look.Lit << "\" centre " << look.CentreLit << " arrows green " << look.ArrowsGreen
        << " fills";
    for (const QRgb c : look.Fill) {
        char hex[16];
        std::snprintf(hex, sizeof hex, " %06X", c & 0xFFFFFFu);
        *os << hex;
    }
}

class PanelTest : public CommFixture {
protected:
    // Hands every action code to the main window, counting the status reports.
    struct TForward : platform::TActionTarget {
        app::TDravaneMain* To = nullptr;
        int Reports = 0;
        bool ExecuteAction(platform::TAction& action) override {
            Reports += action.Tag == comm::mcDravaneStatus;
            return To && To->ExecuteAction(action);
        }
    };

    void SetUp() override {
        CommFixture::SetUp();
        platform::SetApplicationMainForm(&Forward);
        app::ApplyVisualStyle();
    }
    void TearDown() override {
        app::CommControl = nullptr;
        Window.reset();
        CommFixture::TearDown();
        Main.reset();
        qApp->setStyleSheet("");
    }

    // The start-up order: main window, Communications window, ready.
    void Start(const std::string& settings) {
        WriteAll(Ini, settings);
        Main = std::make_unique<app::TDravaneMain>();
        Forward.To = Main.get();
        Window = std::make_unique<app::TCommControl>();
        Comm = &Window->Link();
        Comm->findChild<QTimer*>("Timer1")->stop();
        app::CommControl = Window.get();
        comm::SystemReady = true;
        Main->show();
        Grab(*Main); // painted once, so the mode buttons know their faces
    }
    static std::string On(const std::string& device, const std::string& more = "") {
        return "[Ports]\nCOM3=" + device + "\n[Comm]\nPort=3\nMode=0\n" + more;
    }

    // A status report with this payload (hex pairs), through the serial port.
    void Report(const std::string& payload) {
        const int before = Forward.Reports;
        Controller.Send("[T4BR0198H00M" + payload + "]\r");
        ASSERT_TRUE(PumpUntil([&] { return Forward.Reports > before; })) << payload;
    }

    QWidget* Control(const char* name) const { return Main->findChild<QWidget*>(name); }

    void Click(const char* name) {
        QWidget* w = Control(name);
        if (w->isHidden()) {
            // Nobody can click the hidden OMNI button; its handler is wired all the same.
            QMetaObject::invokeMethod(w, "Click");
            return;
        }
        QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
    }

    // The colour behind a see-through mode button face.
    QRgb PanelColour() { return At(Grab(*Main), panelAt.x() + 20, panelAt.y() + 160); }

    TLook Look() {
        const QImage image = Grab(*Main);
        const auto at = [&](QPoint p) { return At(image, panelAt.x() + p.x(), panelAt.y() + p.y()); };
        TLook look;
        for (int row = 0; row < 8; ++row) {
            const QRgb inner = at(ledAt[row][0] + lampMiddle);
            const QRgb outer = at(ledAt[row][1] + lampMiddle);
            if (inner == lime && outer == lime)
                look.Lit += static_cast<char>('0' + row);
            else if (inner != black || outer != black)
                look.Lit += '?';
        }
        look.CentreLit = at(centreLedAt + lampMiddle) == lime;
        look.ArrowsGreen = at(leftShaft) == Bgr(0x008000) && at(rightShaft) == Bgr(0x008000);
        for (std::size_t k = 0; k < modeButtons.size(); ++k) {
            QWidget* b = Control(modeButtons[k]);
            // The hidden button is drawn on its own.
            look.Fill[k] = b->isHidden() ? At(Grab(*b), faceOnly.x(), faceOnly.y()) : at(b->pos() + faceOnly);
        }
        return look;
    }

    // The visible mode buttons' captions against their faces, filled or see-through.
    double WorstCaptionContrast() {
        double worst = 21;
        for (const char* name : {"KelUniDirBtn", "KelBiDirBtn", "KelFlipBtn"}) {
            auto* b = static_cast<widgets::TIndShadowButton*>(Control(name));
            worst = std::min(worst, CaptionContrast(Grab(*b), b->CurrentRect().adjusted(2, 2, -2, -2)));
        }
        return worst;
    }

    // The next `n` command lines the simulator logged as received (link tests skipped).
    static std::vector<std::string> Received(SimProcess& sim, int n) {
        std::vector<std::string> got;
        while (static_cast<int>(got.size()) < n) {
            const std::string line = sim.ReadLine();
            if (line.empty())
                break;
            if (const auto at = line.find(" < [R"); at != std::string::npos)
                got.push_back(line.substr(at + 3));
        }
        return got;
    }

    TForward Forward;
    std::unique_ptr<app::TDravaneMain> Main;
    std::unique_ptr<app::TCommControl> Window;
    TCommLink* Comm = nullptr;
};

TEST_F(PanelTest, StatusReportsSelectOneModeButtonAndLightTheirDirections) {
    Start(On(Controller.SlavePath()));
    const QRgb clear = PanelColour();
    const QRgb cyan = Bgr(0xFFFF00); // ControllerColor by default
    const QRgb grey = Bgr(0x808080); // AntOffColor by default
    ASSERT_NE(clear, grey);
    EXPECT_EQ(Look(), (TLook{"", true, {clear, clear, clear, clear}, true})) << "before any report";

    const struct {
        const char* Payload;
        TLook Expected;
    } steps[] = {
        {"0100", {"0", true, {cyan, grey, grey, grey}, true}},
        {"0207", {"37", true, {grey, cyan, grey, grey}, true}},
        {"0200", {"04", true, {grey, cyan, grey, grey}, true}},
        {"03C8", {"0246", true, {grey, grey, grey, cyan}, true}},
        // A direction beyond the rose recolours the buttons only; 200 is not -56.
        {"0109", {"0246", true, {cyan, grey, grey, grey}, true}},
        {"01C8", {"0246", true, {cyan, grey, grey, grey}, true}},
        // An unknown mode, a mode alone and an empty payload change nothing.
        {"0400", {"0246", true, {cyan, grey, grey, grey}, true}},
        {"01", {"0246", true, {cyan, grey, grey, grey}, true}},
        {"", {"0246", true, {cyan, grey, grey, grey}, true}},
        // Bytes after the direction are ignored.
        {"02050101", {"15", true, {grey, cyan, grey, grey}, true}},
    };
    for (const auto& step : steps) {
        Report(step.Payload);
        EXPECT_EQ(Look(), step.Expected) << "payload " << step.Payload;
    }
}

// A window nobody sees is not painted for every report; shown, it shows the latest.
TEST_F(PanelTest, HiddenWindowShowsTheLatestReportOnceShown) {
    Start(On(Controller.SlavePath()));
    const QRgb cyan = Bgr(0xFFFF00);
    const QRgb grey = Bgr(0x808080);
    Report("0100");
    const TLook first = Look();
    ASSERT_EQ(first, (TLook{"0", true, {cyan, grey, grey, grey}, true}));
    Main->hide();
    Report("03C8");
    Report("0207");
    EXPECT_EQ(Look(), first) << "painted while hidden";
    Main->show();
    EXPECT_EQ(Look(), (TLook{"37", true, {grey, cyan, grey, grey}, true}));
}

// A white and a navy fill, chosen by the operator: the captions stay readable on both.
TEST_F(PanelTest, WhiteOffColourLeavesNeverSelectedButtonsSeeThroughAndFillsOnceSelectedOnes) {
    Start(On(Controller.SlavePath(), "[Colors]\nAntOffColor=16777215\nControllerColor=8388608\n"));
    const QRgb clear = PanelColour();
    const QRgb white = qRgb(255, 255, 255);
    const QRgb navy = Bgr(0x800000);
    ASSERT_NE(clear, white);
    EXPECT_GE(WorstCaptionContrast(), 4.5) << "before any report";
    Report("0100");
    EXPECT_EQ(Look().Fill, (std::array{navy, clear, clear, clear}));
    EXPECT_GE(WorstCaptionContrast(), 4.5);
    Report("0200");
    EXPECT_EQ(Look().Fill, (std::array{white, navy, clear, clear}));
    EXPECT_GE(WorstCaptionContrast(), 4.5);
    Report("0102");
    EXPECT_EQ(Look().Fill, (std::array{navy, white, clear, clear}));
}

TEST_F(PanelTest, EachControlSendsItsCommandAndChangesNothingWithoutAReply) {
    SimProcess sim({"--silent", "--log"});
    Start(On(sim.ReadLine()));
    TTickDriver ticks(*Comm);
    QWidget* panel = Control("DravanePanel");
    const QImage before = Grab(*panel);
    const struct {
        const char* Control;
        const char* Line;
    } controls[] = {{"KelLeftBtn", "[R98T4AH01]"},   {"KelRightBtn", "[R98T4AH02]"},
                    {"KelUniDirBtn", "[R98T4AH03]"}, {"KelBiDirBtn", "[R98T4AH04]"},
                    {"KelFlipBtn", "[R98T4AH05]"},   {"KelOmniBtn", "[R98T4AH06]"}};
    for (const auto& c : controls) {
        Click(c.Control);
        // Unanswered, the command went out six times, and the panel is as it was.
        EXPECT_EQ(Received(sim, 6), std::vector<std::string>(6, c.Line)) << c.Control;
        EXPECT_TRUE(Grab(*panel) == before) << c.Control;
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(PanelTest, KeyboardAloneWalksThePanelAndSendsTheCommands) {
    SimProcess sim({"--silent", "--log"});
    Start(On(sim.ReadLine()));
    TTickDriver ticks(*Comm);
    Main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Main.get()));
    const auto focused = [this] { return Main->focusWidget(); };
    const auto key = [&](Qt::Key k) { QTest::keyClick(focused() ? focused() : Main.get(), k); };

    // Tab from the last control goes round once: the indicator, the arrows,
    // the visible mode buttons; each shows its focus and stops showing it when left.
    Control("KelFlipBtn")->setFocus();
    std::vector<std::string> order;
    QWidget* before = nullptr;
    QImage beforeLook;
    for (int k = 0; k < 7; ++k) {
        key(Qt::Key_Tab);
        ASSERT_TRUE(focused());
        if (k < 6)
            order.push_back(focused()->objectName().toStdString());
        if (before) {
            EXPECT_FALSE(Grab(*before) == beforeLook)
                << before->objectName().toStdString() << " shows no focus";
        }
        before = focused();
        beforeLook = Grab(*before);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"NetLed", "KelLeftBtn", "KelRightBtn", "KelUniDirBtn",
                                               "KelBiDirBtn", "KelFlipBtn"}));

    // Space on the focused right arrow, then the Left and Right keys (anywhere),
    // then Space and Enter on a mode button: each its own command, unanswered.
    key(Qt::Key_Tab);
    key(Qt::Key_Tab);
    ASSERT_EQ(focused(), Control("KelRightBtn"));
    const struct {
        Qt::Key Key;
        const char* Line;
    } presses[] = {{Qt::Key_Space, "[R98T4AH02]"}, {Qt::Key_Left, "[R98T4AH01]"},
                   {Qt::Key_Right, "[R98T4AH02]"}, {Qt::Key_Tab, nullptr},
                   {Qt::Key_Space, "[R98T4AH03]"}, {Qt::Key_Return, "[R98T4AH03]"}};
    for (const auto& p : presses) {
        key(p.Key);
        if (p.Line) {
            EXPECT_EQ(Received(sim, 6), std::vector<std::string>(6, p.Line)) << "key " << p.Key;
        }
    }

    // Enter on the indicator opens the Communications window.
    Control("NetLed")->setFocus(Qt::TabFocusReason);
    EXPECT_FALSE(Window->isVisible());
    key(Qt::Key_Enter);
    EXPECT_TRUE(Window->isVisible());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(PanelTest, ArrowsTurnTheLitDirectionOneStepEachWayWithTheSimulator) {
    SimProcess sim({"--mode", "UNI", "--direction", "6"});
    Start(On(sim.ReadLine()));
    BoundWaits();
    Click("KelRightBtn");
    EXPECT_EQ(Look().Lit, "7");
    Click("KelRightBtn");
    EXPECT_EQ(Look().Lit, "0");
    Click("KelRightBtn");
    EXPECT_EQ(Look().Lit, "1");
    Click("KelLeftBtn");
    EXPECT_EQ(Look().Lit, "0");
    Click("KelBiDirBtn");
    EXPECT_EQ(Look().Lit, "04");
    EXPECT_FALSE(TimedOut);
}

TEST_F(PanelTest, ASecondClickWhileTheFirstWaitsSendsItsOwnCommandAtOnce) {
    SimProcess sim({"--silent", "--log"});
    Start(On(sim.ReadLine()));
    BoundWaits();
    TTickDriver ticks(*Comm);
    bool rightWaiting = false, leftDone = false;
    // The second click is an event of its own: ticks go on while it waits.
    ticks.OnTick = [&](int tick) {
        if (tick == 3)
            QTimer::singleShot(0, [&] {
                rightWaiting = Comm->NetIsBusy();
                Click("KelLeftBtn");
                leftDone = true;
            });
    };
    Click("KelRightBtn");
    EXPECT_TRUE(rightWaiting);
    EXPECT_TRUE(leftDone);
    EXPECT_FALSE(TimedOut);
    // The nested command runs its whole course; the first then stops waiting with it.
    std::vector<std::string> expected(7, "[R98T4AH01]");
    expected.front() = "[R98T4AH02]";
    EXPECT_EQ(Received(sim, 7), expected);
}

} // namespace
} // namespace dravane::test
