#include "widgets/IndShadowButton.h"
#include "widgets/Pixels.h"

#include <QMouseEvent>
#include <QTest>
#include <gtest/gtest.h>

using namespace dravane;
using dravane::test::At;
using dravane::test::Bgr;
using dravane::test::Grab;
using widgets::TIndShadowButton;

namespace {

const QRgb kBack = Bgr(0xFF0000);   // blue background
const QRgb kShadow = Bgr(0x0000FF); // red shadow
const QRgb kPen = Bgr(0x00FF00);    // lime outline
const QRgb kFace = Bgr(0x000000);   // black face

// The panel's mode button: 73 by 66, depth 3, one-pixel pen.
class ShadowButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        button.resize(73, 66);
        button.SetDepth(3);
        button.SetColor(0xFF0000);
        button.SetShadowColor(0x0000FF);
        button.SetShadowOutline(0x0000FF);
        QObject::connect(&button, &TIndShadowButton::Click, [this] { ++clicks; });
        image = Grab(button);
    }
    void move(QPoint at) {
        QMouseEvent event(QEvent::MouseMove, at, button.mapToGlobal(at), Qt::NoButton, Qt::LeftButton, {});
        QCoreApplication::sendEvent(&button, &event);
        image = Grab(button);
    }
    void press(QPoint at) {
        QTest::mousePress(&button, Qt::LeftButton, {}, at);
        image = Grab(button);
    }
    void release(QPoint at) {
        QTest::mouseRelease(&button, Qt::LeftButton, {}, at);
        image = Grab(button);
    }

    TIndShadowButton button;
    QImage image;
    int clicks = 0;
};

} // namespace

TEST_F(ShadowButtonTest, FaceAndShadowGeometry) {
    // Face 68x61 at (1,1): outline on its edges, shadow 3 pixels down-right.
    EXPECT_EQ(At(image, 35, 1), kPen);
    EXPECT_EQ(At(image, 1, 31), kPen);
    EXPECT_EQ(At(image, 68, 31), kPen);
    EXPECT_EQ(At(image, 35, 61), kPen);
    EXPECT_EQ(At(image, 35, 30), kFace);
    EXPECT_EQ(At(image, 35, 0), kBack);
    EXPECT_EQ(At(image, 0, 31), kBack);
    EXPECT_EQ(At(image, 70, 31), kShadow);
    EXPECT_EQ(At(image, 35, 63), kShadow);
    EXPECT_EQ(At(image, 72, 31), kBack);
    // 15-pixel rounded corners cut the face's corner pixels away.
    EXPECT_EQ(At(image, 1, 1), kBack);
    EXPECT_EQ(At(image, 2, 2), kBack);
    EXPECT_EQ(At(image, 9, 1), kPen);
    EXPECT_EQ(button.CurrentRect(), QRect(2, 2, 66, 59));

    button.SetStyle(TIndShadowButton::ssRectangle);
    EXPECT_EQ(At(Grab(button), 1, 1), kPen);

    button.SetDepth(2); // ignored
    EXPECT_EQ(button.Depth(), 3);
}

TEST_F(ShadowButtonTest, ClearBrushShowsTheShadowThroughTheFace) {
    button.Brush().SetStyle(Qt::NoBrush);
    image = Grab(button);
    EXPECT_EQ(At(image, 35, 30), kShadow) << "face over the shadow";
    EXPECT_EQ(At(image, 2, 30), kBack) << "face beside the shadow";
    EXPECT_EQ(At(image, 35, 1), kPen);
}

TEST_F(ShadowButtonTest, ClicksOnlyWhenPressedAndReleasedOnTheFace) {
    press({35, 30});
    EXPECT_TRUE(button.Pressed());
    EXPECT_TRUE(button.Down());
    // While down the face moves 2 towards the shadow.
    EXPECT_EQ(At(image, 35, 3), kPen);
    EXPECT_EQ(At(image, 35, 1), kBack);
    EXPECT_EQ(button.CurrentRect(), QRect(4, 4, 66, 59));

    move({1, 1});
    EXPECT_TRUE(button.Pressed());
    EXPECT_FALSE(button.Down());
    EXPECT_EQ(At(image, 35, 1), kPen) << "raised again";
    release({1, 1});
    EXPECT_EQ(clicks, 0) << "released off the face";
    EXPECT_FALSE(button.Pressed());

    press({35, 30});
    move({200, 200});
    move({35, 30});
    EXPECT_TRUE(button.Down());
    release({35, 30});
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(button.Down());

    press({71, 64}); // on the shadow, outside the face
    EXPECT_FALSE(button.Pressed());
    release({35, 30});
    EXPECT_EQ(clicks, 1);

    QMouseEvent doubleClick(QEvent::MouseButtonDblClick, QPointF(35, 30), button.mapToGlobal(QPointF(35, 30)),
                            Qt::LeftButton, Qt::LeftButton, {});
    QCoreApplication::sendEvent(&button, &doubleClick);
    EXPECT_TRUE(button.Down()) << "a double click is a press";
    release({35, 30});
    EXPECT_EQ(clicks, 2);
}

TEST_F(ShadowButtonTest, AcceleratorClicksAnEnabledButton) {
    button.SetCaption("&Uni");
    button.show();
    button.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&button));
    QTest::keyClick(&button, Qt::Key_U, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
    button.setEnabled(false);
    QTest::keyClick(&button, Qt::Key_U, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
}
