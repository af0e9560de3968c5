#include "widgets/IndArrow.h"

#include "platform/AppException.h"
#include "widgets/FocusFrame.h"

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace dravane::widgets {

namespace {

const char* const kImageNames[] = {":/widgets/LEFTARROW", ":/widgets/RIGHTARROW", ":/widgets/UPARROW",
                                   ":/widgets/DOWNARROW"};

} // namespace

TIndArrow::TIndArrow(QWidget* parent) : TIndGraphicImageControl(parent) {
    FPalette.OnChange = [this] {
        LoadBitmaps();
        UpdateControlCanvas();
    };
    LoadBitmaps();
    // Not on a click: a mouse user gets no focus frame across the panel.
    setFocusPolicy(Qt::TabFocus);
    resize(50, 45);
}

void TIndArrow::SetDirection(TDirection direction) {
    if (!ChangeField(FDirection, direction))
        return;
    LoadBitmaps();
    UpdateControlCanvas();
}

void TIndArrow::SetActive(bool active) {
    if (ChangeField(FActive, active))
        UpdateControlCanvas();
}

void TIndArrow::SetTrackMouse(bool track) {
    FTrackMouse = track;
    setMouseTracking(track);
}

void TIndArrow::LoadBitmaps() {
    const QImage source = QImage(kImageNames[FDirection]).convertToFormat(QImage::Format_ARGB32);
    const QRgb inactive = qRgb(0, 0x80, 0);
    const QRgb active = qRgb(0, 0xFF, 0);
    const QRgb low = ColorFromBGR(FPalette.Low()).rgb();
    const QRgb high = ColorFromBGR(FPalette.High()).rgb();
    FImage = source;
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            // The mask comes from the image as drawn, before recolouring, so a white palette colour stays
            // visible.
            const QRgb pixel = source.pixel(x, y);
            if (pixel == qRgb(0xFF, 0xFF, 0xFF))
                FImage.setPixel(x, y, qRgba(0, 0, 0, 0));
            else if (pixel == inactive)
                FImage.setPixel(x, y, low);
            else if (pixel == active)
                FImage.setPixel(x, y, high);
        }
}

QRect TIndArrow::FrameRect() const {
    const int frameWidth = FImage.width() / 2;
    return QRect((width() - frameWidth) / 2, (height() - FImage.height()) / 2, frameWidth, FImage.height());
}

void TIndArrow::Paint(QPainter& canvas) {
    if (FTrackMouse)
        FActive = FMouseOver;
    const QRect frame = FrameRect();
    canvas.drawImage(frame.topLeft(), FImage,
                     QRect(FActive ? frame.width() : 0, 0, frame.width(), frame.height()));
    if (ShowsKeyboardFocus(*this))
        DrawFocusFrame(canvas, frame.adjusted(-4, -4, 4, 4).intersected(rect()),
                       ReadableOn(BackdropColor(), palette().color(QPalette::WindowText)));
}

void TIndArrow::keyPressEvent(QKeyEvent* event) {
    if (!IsPressKey(*event)) {
        TIndGraphicImageControl::keyPressEvent(event);
        return;
    }
    // A held key would queue command after command behind the controller's replies.
    if (!event->isAutoRepeat())
        platform::Guarded([this] { emit Click(); });
}

void TIndArrow::SetMouseOver(bool over) {
    if (ChangeField(FMouseOver, over))
        UpdateControlCanvas();
}

void TIndArrow::MouseLeave() {
    if (FTrackMouse)
        SetMouseOver(false);
}

void TIndArrow::mouseMoveEvent(QMouseEvent* event) {
    if (FTrackMouse) {
        const QRect frame = FrameRect();
        const QPoint at = event->position().toPoint();
        SetMouseOver(frame.contains(at) && qAlpha(FImage.pixel(at - frame.topLeft())) != 0);
    }
    TIndGraphicImageControl::mouseMoveEvent(event);
}

void TIndArrow::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    TIndGraphicImageControl::mousePressEvent(event);
}

void TIndArrow::mouseReleaseEvent(QMouseEvent* event) {
    const bool click =
        FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    TIndGraphicImageControl::mouseReleaseEvent(event);
    if (click)
        platform::Guarded([this] { emit Click(); });
}

void TIndArrow::changeEvent(QEvent* event) {
    // The images are recoloured for the current colours; a theme change redoes that.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        LoadBitmaps();
    TIndGraphicImageControl::changeEvent(event);
}

} // namespace dravane::widgets
