#include "widgets/IndBlinkLed.h"

#include "platform/AppException.h"
#include "widgets/IndException.h"

#include <QPolygon>
#include <qdrawutil.h>

#include <algorithm>

namespace dravane::widgets {

namespace {

// A rectangle from a corner and a size that may be negative: its edges swap.
QRect Normalised(QPoint corner, int w, int h) {
    const int left = std::min(corner.x(), corner.x() + w);
    const int top = std::min(corner.y(), corner.y() + h);
    return QRect(left, top, std::abs(w), std::abs(h));
}

} // namespace

TIndCustomBlinkLed::TIndCustomBlinkLed(QWidget* parent) : TIndGraphicImageControl(parent) {
    FPalettes = {
        std::make_unique<TIndPalette>(0x000000, 0x0000FF), std::make_unique<TIndPalette>(0x000000, 0xFFFF00),
        std::make_unique<TIndPalette>(0x000000, 0x00FFFF), std::make_unique<TIndPalette>(0x000000, 0x00FF00)};
    for (auto& palette : FPalettes)
        palette->OnChange = [this] { UpdateControlCanvas(); };
    SetColor(0x000080);
    SetTransparent(true);
    SetFontColor(0xFFFFFF);
    FBlinkTimer.setInterval(500);
    connect(&FBlinkTimer, &QTimer::timeout, this,
            [this] { platform::Guarded([this] { BlinkTimerTimer(); }); });
    resize(50, 20);
}

void TIndCustomBlinkLed::SetColorIndex(int index) {
    if (index < 1 || index > 4)
        throw EIndException("Out of range! ColorIndex=[1..4]");
    if (ChangeField(FColorIndex, index))
        UpdateControlCanvas();
}

void TIndCustomBlinkLed::SetActive(bool active) {
    if (!ChangeField(FActive, active))
        return;
    UpdateControlCanvas();
    emit Change();
}

void TIndCustomBlinkLed::SetEnableBlinking(bool enable) {
    if (enable)
        FBlinkTimer.start();
    else
        FBlinkTimer.stop();
}

void TIndCustomBlinkLed::SetBlinkLedType(TBlinkLedType type) {
    if (ChangeField(FBlinkLedType, type))
        UpdateControlCanvas();
}

void TIndCustomBlinkLed::SetLayout(TLayout layout) {
    if (ChangeField(FLayout, layout))
        UpdateControlCanvas();
}

void TIndCustomBlinkLed::SetMargin(int margin) {
    if (ChangeField(FMargin, margin))
        UpdateControlCanvas();
}

void TIndCustomBlinkLed::SetSpacing(int spacing) {
    if (ChangeField(FSpacing, spacing))
        UpdateControlCanvas();
}

void TIndCustomBlinkLed::Paint(QPainter& canvas) {
    // An empty caption measures 0 by 0, so a caption-less lamp uses the whole control.
    const QString caption = Caption();
    const QFontMetrics metrics(font());
    const int tw = caption.isEmpty() ? 0 : metrics.horizontalAdvance(caption);
    const int th = caption.isEmpty() ? 0 : metrics.height();
    // The caption takes room only along the layout's axis: beside the lamp it
    // must not shrink the lamp's height, above or below it not its width.
    const bool across = FLayout == ImageLeft || FLayout == ImageRight;
    const int aw = width() - (across ? tw : 0) - FMargin - FSpacing;
    const int ah = height() - (across ? 0 : th) - FMargin - FSpacing;
    int lw = aw;
    int lh = ah;
    if (FBlinkLedType == ltRounded)
        lw = lh = std::min(aw, ah);
    else if (FBlinkLedType == ltRectangle) {
        lw = aw - aw / 3;
        lh = ah - ah / 3;
    }
    const int spacing = caption.isEmpty() ? 0 : FSpacing;
    QPoint lampAt;
    QPoint textAt;
    switch (FLayout) {
    case ImageLeft:
        lampAt = {FMargin, (height() - lh + 1) / 2};
        textAt = {FMargin + lw + spacing, (height() - th + 1) / 2};
        break;
    case ImageRight:
        lampAt = {width() - FMargin - lw, (height() - lh + 1) / 2};
        textAt = {lampAt.x() - spacing - tw, (height() - th + 1) / 2};
        break;
    case ImageTop:
        lampAt = {(width() - lw + 1) / 2, FMargin};
        textAt = {(width() - tw + 1) / 2, FMargin + lh + spacing};
        break;
    case ImageBottom:
        lampAt = {(width() - lw + 1) / 2, height() - FMargin - lh};
        textAt = {(width() - tw + 1) / 2, lampAt.y() - spacing - th};
        break;
    }
    DrawLamp(canvas, Normalised(lampAt, lw, lh));
    if (!caption.isEmpty()) {
        canvas.setFont(font());
        // Beside the lamp, so against what the control is drawn on.
        canvas.setPen(ReadableOn(BackdropColor(), ColorFromBGR(FontColor())));
        canvas.setBackgroundMode(Qt::TransparentMode);
        canvas.drawText(Normalised(textAt, tw, th), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                        caption);
    }
}

void TIndCustomBlinkLed::DrawLamp(QPainter& canvas, const QRect& lamp) const {
    if (lamp.isEmpty())
        return;
    const QColor c = ColorFromBGR(LampColor());
    canvas.save();
    canvas.setRenderHint(QPainter::Antialiasing, false);
    if (FBlinkLedType != ltRounded) {
        canvas.fillRect(lamp, c);
        QPalette bevel;
        bevel.setColor(QPalette::Light, Qt::white);
        bevel.setColor(QPalette::Dark, QColor(0x80, 0x80, 0x80));
        qDrawShadePanel(&canvas, lamp, bevel, true, 1);
        canvas.restore();
        return;
    }
    // An outlined ellipse covers one pixel more than its rectangle in Qt.
    const QRect ellipse = lamp.adjusted(0, 0, -1, -1);
    canvas.setPen(QPen(Qt::black, 1));
    canvas.setBrush(QColor(0x80, 0x80, 0x80));
    canvas.drawEllipse(ellipse);
    // The upper-left half lit: the rim looks like a rounded glass edge.
    const QPoint rightTop(lamp.left() + lamp.width(), lamp.top());
    const QPoint leftBottom(lamp.left(), lamp.top() + lamp.height());
    canvas.setClipRegion(QRegion(QPolygon({lamp.topLeft(), leftBottom, rightTop})));
    canvas.setBrush(Qt::white);
    canvas.drawEllipse(ellipse);
    canvas.setClipping(false);
    canvas.setPen(QPen(c, 1));
    canvas.setBrush(c);
    canvas.drawEllipse(ellipse.adjusted(2, 2, -2, -2));
    canvas.restore();
}

} // namespace dravane::widgets
