#pragma once
// A drawn widget with a background of its own colour or, when Transparent,
// none: Qt composes a non-opaque widget over whatever its parent painted and
// paints every widget into the window's back buffer before it reaches the
// screen. So a transparent widget shows its parent's background without
// copying screen pixels (a copy would keep overlapping windows in it), and a
// change reaches the screen in one step.

#include "widgets/Colors.h"
#include "widgets/IndGraphicControl.h"

#include <QPainter>

namespace dravane::widgets {

class TIndGraphicImageControl : public TIndGraphicControl {
    Q_OBJECT
    Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
    Q_PROPERTY(uint Color READ Color WRITE SetColor)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
public:
    explicit TIndGraphicImageControl(QWidget* parent = nullptr);

    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool transparent);

    // The background when not transparent; while ParentColor is set the
    // parent's background colour is used instead. Setting a colour clears it.
    std::uint32_t Color() const { return FColor; }
    void SetColor(std::uint32_t bgr);
    bool ParentColor() const { return FParentColor; }
    void SetParentColor(bool parentColor);

protected:
    void paintEvent(QPaintEvent* event) final;
    virtual void ClearBitmapCanvas(QPainter& canvas);
    // Draws the face over the cleared background.
    virtual void Paint(QPainter& canvas) = 0;
    QColor BackgroundColor() const;
    // What the face is drawn on, for choosing a caption colour: the parent's
    // colour when transparent (a parent's picture is not known here).
    QColor BackdropColor() const;

private:
    bool FTransparent = false;
    bool FParentColor = false;
    std::uint32_t FColor = 0x000000;
};

} // namespace dravane::widgets
