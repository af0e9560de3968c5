#pragma once
// A lamp with an optional caption, showing one colour of one of four
// palettes, and blinking between the palette's two colours on its own timer.
// A caption colour that would not stand out from the background gives way to
// black or white.

#include "widgets/IndGraphicImageControl.h"
#include "widgets/IndPalette.h"

#include <QTimer>

#include <array>

namespace dravane::widgets {

class TIndCustomBlinkLed : public TIndGraphicImageControl {
    Q_OBJECT
    // Colour pairs as 0x00BBGGRR numbers, so a form can set them.
    Q_PROPERTY(uint Palette1Low READ Palette1Low WRITE SetPalette1Low)
    Q_PROPERTY(uint Palette1High READ Palette1High WRITE SetPalette1High)
    Q_PROPERTY(uint Palette2Low READ Palette2Low WRITE SetPalette2Low)
    Q_PROPERTY(uint Palette2High READ Palette2High WRITE SetPalette2High)
    Q_PROPERTY(uint Palette3Low READ Palette3Low WRITE SetPalette3Low)
    Q_PROPERTY(uint Palette3High READ Palette3High WRITE SetPalette3High)
    Q_PROPERTY(uint Palette4Low READ Palette4Low WRITE SetPalette4Low)
    Q_PROPERTY(uint Palette4High READ Palette4High WRITE SetPalette4High)
    Q_PROPERTY(int ColorIndex READ ColorIndex WRITE SetColorIndex)
    Q_PROPERTY(bool Active READ Active WRITE SetActive NOTIFY Change)
    Q_PROPERTY(bool EnableBlinking READ EnableBlinking WRITE SetEnableBlinking)
    Q_PROPERTY(int BlinkSpeed READ BlinkSpeed WRITE SetBlinkSpeed)
    Q_PROPERTY(TBlinkLedType BlinkLedType READ BlinkLedType WRITE SetBlinkLedType)
    Q_PROPERTY(TLayout Layout READ Layout WRITE SetLayout)
    Q_PROPERTY(int Margin READ Margin WRITE SetMargin)
    Q_PROPERTY(int Spacing READ Spacing WRITE SetSpacing)
public:
    enum TBlinkLedType : std::uint8_t { ltRounded, ltRectangle, ltLargeRect };
    Q_ENUM(TBlinkLedType)
    enum TLayout : std::uint8_t { ImageLeft, ImageRight, ImageTop, ImageBottom };
    Q_ENUM(TLayout)

    explicit TIndCustomBlinkLed(QWidget* parent = nullptr);

    // index 1 to 4.
    TIndPalette& Palette(int index) { return *FPalettes.at(static_cast<std::size_t>(index - 1)); }
    const TIndPalette& Palette(int index) const { return *FPalettes.at(static_cast<std::size_t>(index - 1)); }

    int ColorIndex() const { return FColorIndex; }
    // Throws EIndException outside 1 to 4, keeping the index.
    void SetColorIndex(int index);
    // Active shows the palette's Low colour, inactive its High.
    bool Active() const { return FActive; }
    void SetActive(bool active);
    bool EnableBlinking() const { return FBlinkTimer.isActive(); }
    void SetEnableBlinking(bool enable);
    int BlinkSpeed() const { return FBlinkTimer.interval(); }
    void SetBlinkSpeed(int milliseconds) { FBlinkTimer.setInterval(milliseconds); }
    TBlinkLedType BlinkLedType() const { return FBlinkLedType; }
    void SetBlinkLedType(TBlinkLedType type);
    TLayout Layout() const { return FLayout; }
    void SetLayout(TLayout layout);
    int Margin() const { return FMargin; }
    void SetMargin(int margin);
    int Spacing() const { return FSpacing; }
    void SetSpacing(int spacing);

    // The colour the lamp shows now (0x00BBGGRR).
    std::uint32_t LampColor() const { return Palette(FColorIndex).GetColors(FActive ? 0 : 1); }

signals:
    void Change();

public slots:
    // One blink: the blink timer's handler.
    void BlinkTimerTimer() { SetActive(!FActive); }

protected:
    void Paint(QPainter& canvas) override;

private:
    std::uint32_t Palette1Low() const { return Palette(1).Low(); }
    std::uint32_t Palette1High() const { return Palette(1).High(); }
    std::uint32_t Palette2Low() const { return Palette(2).Low(); }
    std::uint32_t Palette2High() const { return Palette(2).High(); }
    std::uint32_t Palette3Low() const { return Palette(3).Low(); }
    std::uint32_t Palette3High() const { return Palette(3).High(); }
    std::uint32_t Palette4Low() const { return Palette(4).Low(); }
    std::uint32_t Palette4High() const { return Palette(4).High(); }
    void SetPalette1Low(std::uint32_t c) { Palette(1).SetLow(c); }
    void SetPalette1High(std::uint32_t c) { Palette(1).SetHigh(c); }
    void SetPalette2Low(std::uint32_t c) { Palette(2).SetLow(c); }
    void SetPalette2High(std::uint32_t c) { Palette(2).SetHigh(c); }
    void SetPalette3Low(std::uint32_t c) { Palette(3).SetLow(c); }
    void SetPalette3High(std::uint32_t c) { Palette(3).SetHigh(c); }
    void SetPalette4Low(std::uint32_t c) { Palette(4).SetLow(c); }
    void SetPalette4High(std::uint32_t c) { Palette(4).SetHigh(c); }
    void DrawLamp(QPainter& canvas, const QRect& lamp) const;

    std::array<std::unique_ptr<TIndPalette>, 4> FPalettes;
    int FColorIndex = 1;
    bool FActive = false;
    TBlinkLedType FBlinkLedType = ltRounded;
    TLayout FLayout = ImageLeft;
    int FMargin = 2;
    int FSpacing = 3;
    QTimer FBlinkTimer{this};
};

class TIndBlinkLed : public TIndCustomBlinkLed {
    Q_OBJECT
public:
    explicit TIndBlinkLed(QWidget* parent = nullptr) : TIndCustomBlinkLed(parent) {}
};

} // namespace dravane::widgets
