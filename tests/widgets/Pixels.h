#pragma once
// What a widget shows: its grabbed image, sampled pixel by pixel.

#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdint>

namespace dravane::test {

inline QImage Grab(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// A 0x00BBGGRR number as the RGB the screen shows.
inline QRgb Bgr(std::uint32_t bgr) {
    return qRgb(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

inline QRgb At(const QImage& image, int x, int y) {
    return image.pixel(x, y) | 0xFF000000u;
}

// The smallest rectangle holding every pixel of the colour (or, with
// other = true, every pixel of any other colour).
inline QRect Extent(const QImage& image, QRgb color, bool other = false) {
    QRect extent;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((At(image, x, y) == color) != other)
                extent |= QRect(x, y, 1, 1);
    return extent;
}

} // namespace dravane::test
