#include "widgets/ColorPanel.h"

#include <QMouseEvent>
#include <QPainter>
#include <qdrawutil.h>

namespace dravane::widgets {

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

void TColorPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor face = FColor ? ColorFromBGR(*FColor) : palette().color(QPalette::Window);
    const QRect r = rect();
    // A lowered outer bevel around a raised inner one, the face inside both.
    QPalette bevel = palette();
    bevel.setColor(QPalette::Light, Qt::white);
    bevel.setColor(QPalette::Dark, QColor(128, 128, 128));
    qDrawShadePanel(&painter, r, bevel, true, 1);
    qDrawShadePanel(&painter, r.adjusted(1, 1, -1, -1), bevel, false, 1);
    painter.fillRect(r.adjusted(2, 2, -2, -2), face);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(r, Qt::AlignCenter, FCaption);
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
