#include "widgets/IndArrow.h"
#include "widgets/Pixels.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace dravane;
using dravane::test::At;
using dravane::test::Bgr;
using dravane::test::Extent;
using dravane::test::Grab;
using widgets::TIndArrow;

TEST(IndArrow, DrawsItsCentredFramePaletteColouredOverItsBackground) {
    const QRgb blue = Bgr(0xFF0000);
    TIndArrow arrow;
    EXPECT_EQ(arrow.size(), QSize(50, 45));
    arrow.SetDirection(TIndArrow::pdRight);
    arrow.SetColor(0xFF0000);
    QImage image = Grab(arrow);
    EXPECT_EQ(Extent(image, blue, true), QRect(11, 9, 28, 27)) << "28x27 frame, top (45 - 27) div 2";
    // The shaft (left for a right arrow) on the middle row, inside its outlines.
    EXPECT_EQ(At(image, 11 + 5, 9 + 13), Bgr(0x008000));
    EXPECT_EQ(At(image, 11, 9 + 13), qRgb(128, 128, 128)) << "outer outline";
    EXPECT_EQ(At(image, 11 + 1, 9 + 13), qRgb(0, 0, 0)) << "inner outline";
    EXPECT_EQ(At(image, 11, 9), blue) << "white background is see-through";

    arrow.SetActive(true);
    EXPECT_EQ(At(Grab(arrow), 11 + 5, 9 + 13), Bgr(0x00FF00)) << "frame 2 when active";
    arrow.Palette().SetHigh(0x0000FF);
    arrow.Palette().SetLow(0xFFFFFF);
    EXPECT_EQ(At(Grab(arrow), 11 + 5, 9 + 13), Bgr(0x0000FF));
    arrow.SetActive(false);
    image = Grab(arrow);
    EXPECT_EQ(At(image, 11 + 5, 9 + 13), qRgb(255, 255, 255)) << "a white palette colour is not masked";
    EXPECT_EQ(At(image, 11, 9), blue);

    // Each direction: a 27-wide frame for up and down, the tip at the named side.
    for (auto [direction, frame, tip] :
         {std::tuple{TIndArrow::pdLeft, QRect(11, 9, 28, 27), QPoint(11, 22)},
          std::tuple{TIndArrow::pdUp, QRect(11, 8, 27, 28), QPoint(24, 8)},
          std::tuple{TIndArrow::pdDown, QRect(11, 8, 27, 28), QPoint(24, 35)}}) {
        arrow.SetDirection(direction);
        image = Grab(arrow);
        EXPECT_EQ(Extent(image, blue, true), frame) << direction;
        EXPECT_EQ(At(image, tip.x(), tip.y()), qRgb(128, 128, 128)) << direction;
    }
}

TEST(IndArrow, TransparentArrowShowsItsParentAndClicksLikeAControl) {
    QWidget parent;
    parent.resize(60, 60);
    parent.setAutoFillBackground(true);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(0, 0, 255));
    parent.setPalette(palette);
    TIndArrow arrow(&parent);
    arrow.SetDirection(TIndArrow::pdRight);
    arrow.SetTransparent(true);
    const QImage image = Grab(parent);
    EXPECT_EQ(At(image, 1, 1), qRgb(0, 0, 255));
    EXPECT_EQ(At(image, 11, 9), qRgb(0, 0, 255));
    EXPECT_EQ(At(image, 11 + 5, 9 + 13), Bgr(0x008000));

    int clicks = 0;
    QObject::connect(&arrow, &TIndArrow::Click, [&] { ++clicks; });
    QTest::mouseClick(&arrow, Qt::LeftButton, {}, QPoint(25, 20));
    EXPECT_EQ(clicks, 1);
    QTest::mousePress(&arrow, Qt::LeftButton, {}, QPoint(25, 20));
    QTest::mouseRelease(&arrow, Qt::LeftButton, {}, QPoint(80, 20));
    EXPECT_EQ(clicks, 1) << "released outside";
}
