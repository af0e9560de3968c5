#include "widgets/IndGraphicControl.h"

#include "widgets/IndPersistent.h"

#include <QEvent>

namespace dravane::widgets {

TIndGraphicControl::TIndGraphicControl(QWidget* parent) : QWidget(parent) {}

void TIndGraphicControl::EndUpdate() {
    if (FUpdateCount > 0)
        --FUpdateCount;
    UpdateControlCanvas();
}

void TIndGraphicControl::SetLoading(bool loading) {
    if (FLoading == loading)
        return;
    FLoading = loading;
    if (!loading)
        UpdateControlCanvas();
}

void TIndGraphicControl::SetCaption(const QString& caption) {
    if (ChangeField(FCaption, caption))
        TextChanged();
}

void TIndGraphicControl::SetFontColor(std::uint32_t bgr) {
    if (ChangeField(FFontColor, bgr))
        UpdateControlCanvas();
}

void TIndGraphicControl::UpdateControlCanvas() {
    if (!FLoading && FUpdateCount == 0)
        update();
}

void TIndGraphicControl::UpdateControlBounds() {
    AdjustControlSize();
    UpdateControlCanvas();
}

void TIndGraphicControl::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        FontChanged();
    QWidget::changeEvent(event);
}

void TIndGraphicControl::enterEvent(QEnterEvent* event) {
    MouseEnter();
    QWidget::enterEvent(event);
}

void TIndGraphicControl::leaveEvent(QEvent* event) {
    MouseLeave();
    QWidget::leaveEvent(event);
}

void TIndGraphicControl::resizeEvent(QResizeEvent* event) {
    UpdateControlBounds();
    QWidget::resizeEvent(event);
}

} // namespace dravane::widgets
