#include "widgets/IndShadowButton.h"

#include "platform/AppException.h"
#include "widgets/FocusFrame.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QShortcutEvent>

#include <algorithm>

namespace dravane::widgets {

void TIndShadowBrush::SetColor(std::uint32_t bgr) {
    if (ChangeField(FColor, bgr))
        Changed();
}

void TIndShadowBrush::SetStyle(Qt::BrushStyle style) {
    if (ChangeField(FStyle, style))
        Changed();
}

void TIndShadowPen::SetColor(std::uint32_t bgr) {
    if (ChangeField(FColor, bgr))
        Changed();
}

void TIndShadowPen::SetWidth(int width) {
    if (FWidth == width || width < 0)
        return;
    FWidth = width;
    Changed();
}

TIndShadowButton::TIndShadowButton(QWidget* parent)
    : TIndGraphicImageControl(parent),
      FShadowColor(BGRFromColor(QGuiApplication::palette().color(QPalette::Dark))),
      FShadowOutline(FShadowColor),
      FDisabledTextColor(
          BGRFromColor(QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText))) {
    FBrush.OnChange = [this] { UpdateControlCanvas(); };
    FPen.OnChange = [this] { UpdateControlCanvas(); };
    SetParentColor(true);
    SetFontColor(0xFFFFFF);
    // Not on a click: a mouse user gets no focus frame across the panel.
    setFocusPolicy(Qt::TabFocus);
    resize(110, 30);
}

void TIndShadowButton::SetDepth(int depth) {
    if (depth > 2 && ChangeField(FDepth, depth))
        UpdateControlCanvas();
}

void TIndShadowButton::SetDepthAdjust(int adjust) {
    if (ChangeField(FDepthAdjust, adjust))
        UpdateControlCanvas();
}

void TIndShadowButton::SetShadowColor(std::uint32_t bgr) {
    if (ChangeField(FShadowColor, bgr))
        UpdateControlCanvas();
}

void TIndShadowButton::SetShadowOutline(std::uint32_t bgr) {
    if (ChangeField(FShadowOutline, bgr))
        UpdateControlCanvas();
}

void TIndShadowButton::SetStyle(TShadowStyle style) {
    if (ChangeField(FStyle, style))
        UpdateControlCanvas();
}

void TIndShadowButton::SetDirection(TShadowDirection direction) {
    if (ChangeField(FDirection, direction))
        UpdateControlCanvas();
}

void TIndShadowButton::SetAlignment(Qt::Alignment alignment) {
    if (ChangeField(FAlignment, alignment))
        UpdateControlCanvas();
}

void TIndShadowButton::SetDisabledTextColor(std::uint32_t bgr) {
    if (ChangeField(FDisabledTextColor, bgr))
        UpdateControlCanvas();
}

QRect TIndShadowButton::Towards(const QRect& r, int d) const {
    switch (FDirection) {
    case sdTopLeft:
        return r.translated(-d, -d);
    case sdTopRight:
        return r.translated(d, -d);
    case sdBottomLeft:
        return r.translated(-d, d);
    case sdBottomRight:
        break;
    }
    return r.translated(d, d);
}

void TIndShadowButton::DrawShape(QPainter& canvas, QRect bounds, int penWidth) const {
    if (penWidth == 0)
        bounds.adjust(0, 0, -1, -1);
    // Qt strokes along the outline's middle: inset by half a pen so the
    // outline's outer edge lies on the bounds.
    const qreal half = std::max(penWidth, 1) / 2.0;
    const QRectF shape = QRectF(bounds).adjusted(half, half, -half, -half);
    if (FStyle == ssRectangle) {
        canvas.drawRect(shape);
        return;
    }
    const qreal corner = std::min(bounds.width(), bounds.height()) / 4;
    canvas.drawRoundedRect(shape, corner / 2, corner / 2);
}

void TIndShadowButton::Paint(QPainter& canvas) {
    const int pw = FPen.Width();
    const int d = FDepth;
    QRect face = rect().adjusted(pw, pw, -pw, -pw);
    switch (FDirection) {
    case sdTopLeft:
        face.adjust(d, d, 0, 0);
        break;
    case sdTopRight:
        face.adjust(0, d, -d, 0);
        break;
    case sdBottomLeft:
        face.adjust(d, 0, 0, -d);
        break;
    case sdBottomRight:
        face.adjust(0, 0, -d, -d);
        break;
    }
    QRect shadow = Towards(face, d);
    if (FDown) {
        shadow = Towards(shadow, -FDepthAdjust);
        face = Towards(face, FDepthAdjust);
    }
    canvas.setRenderHint(QPainter::Antialiasing, false);
    canvas.setPen(QPen(ColorFromBGR(FShadowOutline), 1));
    canvas.setBrush(ColorFromBGR(FShadowColor));
    DrawShape(canvas, shadow, 1);
    canvas.setPen(QPen(ColorFromBGR(FPen.Color()), pw));
    canvas.setBrush(QBrush(ColorFromBGR(FBrush.Color()), FBrush.Style()));
    DrawShape(canvas, face, pw);

    const QRect inside = face.adjusted(pw, pw, -pw, -pw);
    const QColor fill = ColorFromBGR(FBrush.Style() == Qt::NoBrush ? FShadowColor : FBrush.Color());
    const QColor text = ReadableOn(fill, ColorFromBGR(FontColor()));
    canvas.setFont(font());
    canvas.setPen(isEnabled() ? text : ColorFromBGR(FDisabledTextColor));
    canvas.setBackgroundMode(Qt::TransparentMode);
    canvas.drawText(inside, static_cast<int>(FAlignment) | Qt::TextSingleLine | Qt::TextShowMnemonic,
                    Caption());
    if (ShowsKeyboardFocus(*this)) {
        const qreal corner = FStyle == ssRoundRect ? std::min(inside.width(), inside.height()) / 8.0 : 0;
        DrawFocusFrame(canvas, inside.adjusted(2, 2, -2, -2), text, corner);
    }
    FCurrentRect = inside;
}

void TIndShadowButton::SetDown(bool down) {
    if (ChangeField(FDown, down))
        UpdateControlCanvas();
}

void TIndShadowButton::Press(const QPoint& at) {
    if (!FCurrentRect.contains(at))
        return;
    // Qt keeps sending this widget the mouse until the button comes up.
    FPressed = true;
    SetDown(true);
}

void TIndShadowButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        Press(event->position().toPoint());
}

void TIndShadowButton::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        Press(event->position().toPoint());
}

void TIndShadowButton::mouseMoveEvent(QMouseEvent* event) {
    if (FPressed)
        SetDown(FCurrentRect.contains(event->position().toPoint()));
}

void TIndShadowButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const bool click = FPressed && FDown;
    FPressed = false;
    SetDown(false);
    if (click)
        platform::Guarded([this] { emit Click(); });
}

void TIndShadowButton::keyPressEvent(QKeyEvent* event) {
    if (!IsPressKey(*event) || !isEnabled()) {
        TIndGraphicImageControl::keyPressEvent(event);
        return;
    }
    // A held key would queue command after command behind the controller's replies.
    if (event->isAutoRepeat() || FPressed)
        return;
    if (event->key() == Qt::Key_Space) {
        FKeyDown = true;
        SetDown(true);
        return;
    }
    platform::Guarded([this] { emit Click(); });
}

void TIndShadowButton::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Space || event->isAutoRepeat() || !FKeyDown) {
        TIndGraphicImageControl::keyReleaseEvent(event);
        return;
    }
    FKeyDown = false;
    SetDown(false);
    platform::Guarded([this] { emit Click(); });
}

void TIndShadowButton::focusOutEvent(QFocusEvent* event) {
    // Focus leaving with the space bar still held is no click.
    if (FKeyDown) {
        FKeyDown = false;
        SetDown(false);
    }
    TIndGraphicImageControl::focusOutEvent(event);
}

void TIndShadowButton::TextChanged() {
    if (FShortcutId != 0)
        releaseShortcut(FShortcutId);
    const QKeySequence accelerator = QKeySequence::mnemonic(Caption());
    FShortcutId = accelerator.isEmpty() ? 0 : grabShortcut(accelerator);
    UpdateControlCanvas();
}

bool TIndShadowButton::event(QEvent* event) {
    if (event->type() == QEvent::Shortcut &&
        static_cast<QShortcutEvent*>(event)->shortcutId() == FShortcutId) {
        if (isEnabled())
            platform::Guarded([this] { emit Click(); });
        return true;
    }
    return TIndGraphicImageControl::event(event);
}

void TIndShadowButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        UpdateControlCanvas();
    TIndGraphicImageControl::changeEvent(event);
}

} // namespace dravane::widgets
