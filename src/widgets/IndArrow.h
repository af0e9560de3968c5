#pragma once
// An arrow drawn from one of the four two-frame arrow images: the first frame
// while inactive, the second while active, recoloured by its palette and
// centred in the control. Clicks like an ordinary control; Tab reaches it and
// Space or Enter clicks it.

#include "widgets/IndGraphicImageControl.h"
#include "widgets/IndPalette.h"

#include <QImage>

namespace dravane::widgets {

class TIndArrow : public TIndGraphicImageControl {
    Q_OBJECT
    Q_PROPERTY(TDirection Direction READ Direction WRITE SetDirection)
    Q_PROPERTY(uint PaletteLow READ PaletteLow WRITE SetPaletteLow)
    Q_PROPERTY(uint PaletteHigh READ PaletteHigh WRITE SetPaletteHigh)
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(bool TrackMouse READ TrackMouse WRITE SetTrackMouse)
public:
    enum TDirection : std::uint8_t { pdLeft, pdRight, pdUp, pdDown };
    Q_ENUM(TDirection)

    explicit TIndArrow(QWidget* parent = nullptr);

    TDirection Direction() const { return FDirection; }
    void SetDirection(TDirection direction);
    TIndPalette& Palette() { return FPalette; }
    bool Active() const { return FActive; }
    void SetActive(bool active);
    // While on, the arrow is active exactly while the mouse is over its drawn pixels.
    bool TrackMouse() const { return FTrackMouse; }
    void SetTrackMouse(bool track);

signals:
    void Click();

protected:
    virtual void LoadBitmaps();
    void Paint(QPainter& canvas) override;
    void MouseLeave() override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::uint32_t PaletteLow() const { return FPalette.Low(); }
    std::uint32_t PaletteHigh() const { return FPalette.High(); }
    void SetPaletteLow(std::uint32_t c) { FPalette.SetLow(c); }
    void SetPaletteHigh(std::uint32_t c) { FPalette.SetHigh(c); }
    QRect FrameRect() const;
    void SetMouseOver(bool over);

    TDirection FDirection = pdUp;
    TIndPalette FPalette;
    bool FActive = false;
    bool FTrackMouse = false;
    bool FMouseOver = false;
    bool FPressed = false;
    // Both frames side by side; the white background has alpha 0.
    QImage FImage;
};

} // namespace dravane::widgets
