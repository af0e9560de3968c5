#include "widgets/IndGraphicImageControl.h"

#include "widgets/IndPersistent.h"

namespace dravane::widgets {

TIndGraphicImageControl::TIndGraphicImageControl(QWidget* parent) : TIndGraphicControl(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, true);
}

void TIndGraphicImageControl::SetTransparent(bool transparent) {
    if (FTransparent == transparent)
        return;
    FTransparent = transparent;
    // A non-opaque widget makes Qt paint the parent underneath first.
    setAttribute(Qt::WA_OpaquePaintEvent, !transparent);
    UpdateControlCanvas();
}

void TIndGraphicImageControl::SetColor(std::uint32_t bgr) {
    const bool changed = FColor != bgr || FParentColor;
    FColor = bgr;
    FParentColor = false;
    if (changed)
        UpdateControlCanvas();
}

void TIndGraphicImageControl::SetParentColor(bool parentColor) {
    if (ChangeField(FParentColor, parentColor))
        UpdateControlCanvas();
}

QColor TIndGraphicImageControl::BackgroundColor() const {
    if (FParentColor && parentWidget())
        return parentWidget()->palette().color(parentWidget()->backgroundRole());
    return ColorFromBGR(FColor);
}

QColor TIndGraphicImageControl::BackdropColor() const {
    if (FTransparent && parentWidget())
        return parentWidget()->palette().color(parentWidget()->backgroundRole());
    return BackgroundColor();
}

void TIndGraphicImageControl::ClearBitmapCanvas(QPainter& canvas) {
    if (!FTransparent)
        canvas.fillRect(rect(), BackgroundColor());
}

void TIndGraphicImageControl::paintEvent(QPaintEvent*) {
    QPainter canvas(this);
    ClearBitmapCanvas(canvas);
    Paint(canvas);
}

} // namespace dravane::widgets
