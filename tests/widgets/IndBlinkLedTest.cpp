#include "widgets/IndBlinkLed.h"
#include "support/EventLoop.h"
#include "widgets/IndException.h"
#include "widgets/Pixels.h"

#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace dravane;
using dravane::test::At;
using dravane::test::Bgr;
using dravane::test::Extent;
using dravane::test::Grab;
using widgets::TIndBlinkLed;

namespace {

constexpr std::uint32_t kLime = 0x00FF00;

// Counts the paints a shown widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
    int paints = 0;
};

// The panel's lamp: 24 by 24, no caption, lamp square 19 by 19 at (2, 3).
std::unique_ptr<TIndBlinkLed> PanelLed() {
    auto led = std::make_unique<TIndBlinkLed>();
    led->resize(24, 24);
    led->Palette(1).SetHigh(0x000000);
    led->Palette(2).SetLow(kLime);
    led->Palette(2).SetHigh(kLime);
    return led;
}

QRgb LampCentre(TIndBlinkLed& led) {
    return At(Grab(led), 11, 12);
}

} // namespace

TEST(IndBlinkLed, PanelLampShowsItsPaletteWithALitUpperLeftRim) {
    auto led = PanelLed();
    EXPECT_EQ(LampCentre(*led), Bgr(0x000000));
    led->SetColorIndex(2);
    EXPECT_EQ(LampCentre(*led), Bgr(kLime));
    led->SetActive(true);
    EXPECT_EQ(LampCentre(*led), Bgr(kLime)) << "lime/lime looks the same either way";

    const QImage image = Grab(*led);
    EXPECT_EQ(Extent(image, Bgr(kLime)), QRect(4, 5, 15, 15))
        << "inner lamp inset 2 in the 19x19 square at (2,3)";
    EXPECT_EQ(At(image, 5, 6), qRgb(255, 255, 255)) << "upper-left rim";
    EXPECT_EQ(At(image, 17, 18), qRgb(128, 128, 128)) << "lower-right rim";
    EXPECT_EQ(At(image, 2, 12), qRgb(0, 0, 0)) << "outline";

    for (int bad : {0, 5}) {
        EXPECT_THROW(
            try { led->SetColorIndex(bad); } catch (const widgets::EIndException& e) {
                EXPECT_STREQ(e.what(), "Out of range! ColorIndex=[1..4]");
                throw;
            },
            widgets::EIndException);
        EXPECT_EQ(led->ColorIndex(), 2);
        EXPECT_EQ(LampCentre(*led), Bgr(kLime));
    }
}

TEST(IndBlinkLed, RepaintsOnlyOnARealChangeAndSurvivesAnExtraEndUpdate) {
    auto led = PanelLed();
    led->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(led.get()));
    PaintCounter counter(*led);
    const auto settle = [] { QCoreApplication::processEvents(); };
    settle();
    counter.paints = 0;

    led->SetColorIndex(1);
    led->SetLayout(TIndBlinkLed::ImageLeft);
    led->SetMargin(2);
    led->SetSpacing(3);
    led->SetBlinkLedType(TIndBlinkLed::ltRounded);
    settle();
    EXPECT_EQ(counter.paints, 0);

    led->BeginUpdate();
    led->EndUpdate();
    led->EndUpdate();
    EXPECT_EQ(led->UpdateCount(), 0);
    settle();
    counter.paints = 0;
    led->SetColorIndex(2);
    EXPECT_TRUE(test::PumpUntil([&] { return counter.paints > 0; }, std::chrono::seconds(5)));
}

TEST(IndBlinkLed, BlinksBetweenHighAndLowOnEachTimerPeriod) {
    auto led = PanelLed();
    led->SetColorIndex(3); // black/yellow
    int changes = 0;
    QObject::connect(led.get(), &TIndBlinkLed::Change, [&] { ++changes; });
    EXPECT_EQ(LampCentre(*led), Bgr(0x00FFFF));

    led->SetEnableBlinking(true);
    auto* timer = led->findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 500);
    const auto period = [&] {
        QTimerEvent tick(timer->timerId());
        QCoreApplication::sendEvent(timer, &tick);
        return LampCentre(*led);
    };
    EXPECT_EQ(period(), Bgr(0x000000));
    EXPECT_EQ(period(), Bgr(0x00FFFF));
    EXPECT_EQ(period(), Bgr(0x000000));
    led->SetActive(led->Active());
    EXPECT_EQ(changes, 3) << "one Change per real flip";

    led->SetColorIndex(2); // lime/lime: blinking cannot be seen
    EXPECT_EQ(period(), Bgr(kLime));
    EXPECT_EQ(period(), Bgr(kLime));

    led->SetEnableBlinking(false);
    EXPECT_FALSE(timer->isActive());
}

TEST(IndBlinkLed, LayoutPutsTheLampOnItsSideAndTheCaptionBeyond) {
    const QRgb red = Bgr(0x0000FF);
    const QRgb yellow = Bgr(0x00FFFF);
    struct Case {
        TIndBlinkLed::TLayout layout;
        bool (*lampThenCaption)(const QRect& lamp, const QRect& caption);
        bool (*lampEdge)(const QRect& lamp);
    } cases[] = {
        {TIndBlinkLed::ImageLeft, [](const QRect& l, const QRect& c) { return l.right() < c.left(); },
         [](const QRect& l) { return l.left() == 4; }},
        {TIndBlinkLed::ImageRight, [](const QRect& l, const QRect& c) { return c.right() < l.left(); },
         [](const QRect& l) { return l.right() == 120 - 5; }},
        {TIndBlinkLed::ImageTop, [](const QRect& l, const QRect& c) { return l.bottom() < c.top(); },
         [](const QRect& l) { return l.top() == 4; }},
        {TIndBlinkLed::ImageBottom, [](const QRect& l, const QRect& c) { return c.bottom() < l.top(); },
         [](const QRect& l) { return l.bottom() == 100 - 5; }},
    };
    for (const Case& c : cases) {
        TIndBlinkLed led;
        led.resize(120, 100);
        led.SetTransparent(false);
        led.SetFontColor(0x00FFFF);
        QFont font = led.font();
        font.setPixelSize(24);
        font.setBold(true);
        led.setFont(font);
        led.SetCaption("HH");
        led.SetLayout(c.layout);
        const QImage image = Grab(led);
        const QRect lamp = Extent(image, red);
        const QRect caption = Extent(image, yellow);
        ASSERT_FALSE(lamp.isEmpty()) << c.layout;
        ASSERT_FALSE(caption.isEmpty()) << c.layout;
        EXPECT_TRUE(c.lampEdge(lamp)) << c.layout << " lamp " << lamp.x() << "," << lamp.y() << " "
                                      << lamp.width() << "x" << lamp.height();
        EXPECT_TRUE(c.lampThenCaption(lamp, caption)) << c.layout;
        EXPECT_EQ(At(image, 119, 0), Bgr(0x000080)) << "own background when not transparent";
    }
    // A caption beside the lamp leaves it the control's height.
    TIndBlinkLed led;
    led.resize(90, 24);
    led.SetCaption("Power");
    EXPECT_EQ(Extent(Grab(led), red).height(), 15);
}
