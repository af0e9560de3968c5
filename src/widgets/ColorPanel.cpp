#include "widgets/ColorPanel.h"

#include "widgets/FocusFrame.h"

#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <qdrawutil.h>

namespace dravane::widgets {

namespace {
// Two one-pixel bevels on each side.
constexpr int bevel = 2;
// Room between the face's edge and the caption, across and down.
constexpr int padAcross = 4;
constexpr int padDown = 1;
} // namespace

TColorPanel::TColorPanel(QWidget* parent) : QFrame(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TColorPanel::SetColor(std::uint32_t bgr) {
    if (FColor == bgr)
        return;
    FColor = bgr;
    update();
}

void TColorPanel::SetCaption(const QString& caption) {
    FCaption = caption;
    update();
}

QSize TColorPanel::SizeFor(const QString& caption) const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(caption) + 2 * (bevel + padAcross),
            metrics.height() + 2 * (bevel + padDown)};
}

QRect TColorPanel::FaceRect() const {
    return rect().adjusted(bevel, bevel, -bevel, -bevel);
}

bool TColorPanel::CaptionElided() const {
    return QFontMetrics(font()).horizontalAdvance(FCaption) > FaceRect().width();
}

bool TColorPanel::event(QEvent* event) {
    // The owner's tooltip wins; without one, a cut caption shows in full.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (CaptionElided())
            QToolTip::showText(help->globalPos(), FCaption, this);
        else
            QToolTip::hideText();
        return true;
    }
    return QFrame::event(event);
}

void TColorPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor face = FColor ? ColorFromBGR(*FColor) : palette().color(QPalette::Window);
    const QRect r = rect();
    // A lowered outer bevel around a raised inner one, the face inside both.
    QPalette bevelColours = palette();
    bevelColours.setColor(QPalette::Light, Qt::white);
    bevelColours.setColor(QPalette::Dark, QColor(128, 128, 128));
    qDrawShadePanel(&painter, r, bevelColours, true, 1);
    qDrawShadePanel(&painter, r.adjusted(1, 1, -1, -1), bevelColours, false, 1);
    const QRect inside = FaceRect();
    painter.fillRect(inside, face);
    const QColor text = ReadableOn(face, palette().color(QPalette::WindowText));
    painter.setPen(text);
    const QString shown = QFontMetrics(font()).elidedText(FCaption, Qt::ElideRight, inside.width());
    painter.drawText(r, Qt::AlignCenter, shown);
    if (ShowsKeyboardFocus(*this))
        DrawFocusFrame(painter, inside, text);
}

void TColorPanel::keyPressEvent(QKeyEvent* event) {
    if (IsPressKey(*event)) {
        if (!event->isAutoRepeat())
            emit Click();
        return;
    }
    QFrame::keyPressEvent(event);
}

void TColorPanel::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    QFrame::mousePressEvent(event);
}

void TColorPanel::mouseReleaseEvent(QMouseEvent* event) {
    const bool click =
        FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    QFrame::mouseReleaseEvent(event);
    if (click)
        emit Click();
}

} // namespace dravane::widgets
