#pragma once
// A button drawn as a face over a shadow offset towards one corner. It clicks
// only when the left button goes down and comes up on the face (the area of
// CurrentRect); while held, dragging off the face raises it and dragging back
// presses it again. A double click counts as a press. From the keyboard (Tab
// reaches it) Space presses it while held and clicks on release, Enter clicks.
// The caption keeps its font colour while that stands out from the face (or,
// with a clear brush, from the shadow showing through), else turns black or white.

#include "widgets/IndGraphicImageControl.h"
#include "widgets/IndPersistent.h"

namespace dravane::widgets {

// Face fill, black and solid unless set otherwise; a clear brush leaves the face unfilled.
class TIndShadowBrush : public TIndPersistent {
public:
    std::uint32_t Color() const { return FColor; }
    void SetColor(std::uint32_t bgr);
    Qt::BrushStyle Style() const { return FStyle; }
    void SetStyle(Qt::BrushStyle style);

private:
    std::uint32_t FColor = 0x000000;
    Qt::BrushStyle FStyle = Qt::SolidPattern;
};

// Face outline, lime and one pixel wide unless set otherwise.
class TIndShadowPen : public TIndPersistent {
public:
    std::uint32_t Color() const { return FColor; }
    void SetColor(std::uint32_t bgr);
    int Width() const { return FWidth; }
    void SetWidth(int width);

private:
    std::uint32_t FColor = 0x00FF00;
    int FWidth = 1;
};

class TIndShadowButton : public TIndGraphicImageControl {
    Q_OBJECT
    Q_PROPERTY(uint BrushColor READ BrushColor WRITE SetBrushColor)
    Q_PROPERTY(bool BrushClear READ BrushClear WRITE SetBrushClear)
    Q_PROPERTY(uint PenColor READ PenColor WRITE SetPenColor)
    Q_PROPERTY(int PenWidth READ PenWidth WRITE SetPenWidth)
    Q_PROPERTY(int Depth READ Depth WRITE SetDepth)
    Q_PROPERTY(int DepthAdjust READ DepthAdjust WRITE SetDepthAdjust)
    Q_PROPERTY(uint ShadowColor READ ShadowColor WRITE SetShadowColor)
    Q_PROPERTY(uint ShadowOutline READ ShadowOutline WRITE SetShadowOutline)
    Q_PROPERTY(TShadowStyle Style READ Style WRITE SetStyle)
    Q_PROPERTY(TShadowDirection Direction READ Direction WRITE SetDirection)
    Q_PROPERTY(Qt::Alignment Alignment READ Alignment WRITE SetAlignment)
    Q_PROPERTY(uint DisabledTextColor READ DisabledTextColor WRITE SetDisabledTextColor)
public:
    enum TShadowStyle : std::uint8_t { ssRectangle, ssRoundRect };
    Q_ENUM(TShadowStyle)
    enum TShadowDirection : std::uint8_t { sdTopLeft, sdTopRight, sdBottomLeft, sdBottomRight };
    Q_ENUM(TShadowDirection)

    explicit TIndShadowButton(QWidget* parent = nullptr);

    TIndShadowBrush& Brush() { return FBrush; }
    TIndShadowPen& Pen() { return FPen; }
    int Depth() const { return FDepth; }
    // 2 or less is ignored.
    void SetDepth(int depth);
    int DepthAdjust() const { return FDepthAdjust; }
    void SetDepthAdjust(int adjust);
    std::uint32_t ShadowColor() const { return FShadowColor; }
    void SetShadowColor(std::uint32_t bgr);
    std::uint32_t ShadowOutline() const { return FShadowOutline; }
    void SetShadowOutline(std::uint32_t bgr);
    TShadowStyle Style() const { return FStyle; }
    void SetStyle(TShadowStyle style);
    TShadowDirection Direction() const { return FDirection; }
    void SetDirection(TShadowDirection direction);
    Qt::Alignment Alignment() const { return FAlignment; }
    void SetAlignment(Qt::Alignment alignment);
    std::uint32_t DisabledTextColor() const { return FDisabledTextColor; }
    void SetDisabledTextColor(std::uint32_t bgr);

    bool Pressed() const { return FPressed; }
    bool Down() const { return FDown; }
    // The face's inside at the last paint; empty before the first.
    QRect CurrentRect() const { return FCurrentRect; }

signals:
    void Click();

protected:
    void Paint(QPainter& canvas) override;
    void TextChanged() override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::uint32_t BrushColor() const { return FBrush.Color(); }
    void SetBrushColor(std::uint32_t bgr) { FBrush.SetColor(bgr); }
    bool BrushClear() const { return FBrush.Style() == Qt::NoBrush; }
    void SetBrushClear(bool clear) { FBrush.SetStyle(clear ? Qt::NoBrush : Qt::SolidPattern); }
    std::uint32_t PenColor() const { return FPen.Color(); }
    void SetPenColor(std::uint32_t bgr) { FPen.SetColor(bgr); }
    int PenWidth() const { return FPen.Width(); }
    void SetPenWidth(int width) { FPen.SetWidth(width); }
    void Press(const QPoint& at);
    void SetDown(bool down);
    void DrawShape(QPainter& canvas, QRect bounds, int penWidth) const;
    // Moves r by d towards the shadow's corner.
    QRect Towards(const QRect& r, int d) const;

    TIndShadowBrush FBrush;
    TIndShadowPen FPen;
    int FDepth = 4;
    int FDepthAdjust = 2;
    std::uint32_t FShadowColor;
    std::uint32_t FShadowOutline;
    TShadowStyle FStyle = ssRoundRect;
    TShadowDirection FDirection = sdBottomRight;
    Qt::Alignment FAlignment = Qt::AlignCenter;
    std::uint32_t FDisabledTextColor;
    bool FPressed = false;
    bool FDown = false;
    // Held down by the space bar rather than the mouse.
    bool FKeyDown = false;
    QRect FCurrentRect;
    int FShortcutId = 0;
};

} // namespace dravane::widgets
