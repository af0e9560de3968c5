#pragma once
// The panel's drawn controls show keyboard focus the way desktops do for
// buttons: only once the keyboard has moved it (Tab, a shortcut), so a mouse
// user never sees a frame, and a keyboard user always knows where Space goes.

#include <QKeyEvent>
#include <QPainter>
#include <QWidget>

namespace dravane::widgets {

inline bool ShowsKeyboardFocus(const QWidget& widget) {
    return widget.hasFocus() && widget.window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

// A solid two-pixel ring just inside `bounds`: a dotted one-pixel line is
// lost on the small, brightly filled faces.
inline void DrawFocusFrame(QPainter& painter, const QRect& bounds, const QColor& color, qreal radius = 0) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, radius > 0);
    painter.setPen(QPen(color, 2));
    painter.setBrush(Qt::NoBrush);
    const QRectF ring = QRectF(bounds).adjusted(1, 1, -1, -1);
    if (radius > 0)
        painter.drawRoundedRect(ring, radius, radius);
    else
        painter.drawRect(ring);
    painter.restore();
}

// Space, Enter and Return press a focused button, as in every dialog; with
// Ctrl, Alt or Shift the key means something else.
inline bool IsPressKey(const QKeyEvent& event) {
    const int key = event.key();
    return (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Select) &&
           (event.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

} // namespace dravane::widgets
