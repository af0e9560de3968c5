#include "ui_IndicatorForm.h"
#include "widgets/Pixels.h"

#include <QApplication>
#include <gtest/gtest.h>

using namespace dravane;
using dravane::test::At;
using dravane::test::Bgr;
using dravane::test::Grab;

namespace {

// The program's kind of style sheet: every widget gets a background and a text colour.
const char* const kStyleSheet = "QWidget { background-color: #4a4446; color: #f2e8ea; font: bold 9px; }";

class IndicatorFormTest : public ::testing::Test {
protected:
    void SetUp() override { qApp->setStyleSheet(kStyleSheet); }
    void TearDown() override { qApp->setStyleSheet(""); }
};

} // namespace

TEST_F(IndicatorFormTest, FormPlacesTheWidgetsAndTheyPaintTheirOwnFacesUnderAStyleSheet) {
    QWidget window;
    Ui::IndicatorForm form;
    form.setupUi(&window);
    const QRgb sheet = qRgb(0x4a, 0x44, 0x46);
    ASSERT_EQ(form.KelNorthLed1->ColorIndex(), 2);
    ASSERT_EQ(form.KelRightBtn->Direction(), widgets::TIndArrow::pdRight);
    ASSERT_EQ(form.KelUniDirBtn->Depth(), 3);

    const QImage image = Grab(window);
    // LED at (110, 40): lit lamp, the window's background around it.
    EXPECT_EQ(At(image, 110 + 11, 40 + 12), Bgr(0x00FF00));
    EXPECT_EQ(At(image, 110 + 5, 40 + 6), qRgb(255, 255, 255));
    EXPECT_EQ(At(image, 110, 40), sheet);
    // Right arrow at (140, 184): dark green shaft, see-through corners.
    EXPECT_EQ(At(image, 140 + 11 + 5, 184 + 9 + 13), Bgr(0x008000));
    EXPECT_EQ(At(image, 140 + 11, 184 + 9), sheet);
    // Mode button at (6, 240): black outline, clear face, the parent's colour around it.
    EXPECT_EQ(At(image, 6 + 35, 240 + 1), qRgb(0, 0, 0));
    EXPECT_EQ(At(image, 6 + 2, 240 + 30), sheet);
    EXPECT_EQ(At(image, 6, 240 + 31), sheet);
    EXPECT_EQ(form.KelUniDirBtn->CurrentRect(), QRect(2, 2, 66, 59));
}
