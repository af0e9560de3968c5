#pragma once
// What a widget shows: its grabbed image, sampled pixel by pixel.

#include <QColor>
#include <QImage>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

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

// WCAG 2 contrast of two screen colours, 1 to 21.
inline double Contrast(QRgb a, QRgb b) {
    const auto luminance = [](QRgb c) {
        const auto linear = [](int v) {
            const double s = v / 255.0;
            return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// How well a caption reads in `area`: its fill is the area's commonest
// colour, the caption's strongest pixel is the one that stands out most.
inline double CaptionContrast(const QImage& image, const QRect& area) {
    std::map<QRgb, int> count;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++count[At(image, x, y)];
    const QRgb fill = std::max_element(count.begin(), count.end(), [](auto& a, auto& b) {
                          return a.second < b.second;
                      })->first;
    double best = 1;
    for (const auto& [colour, n] : count)
        best = std::max(best, Contrast(colour, fill));
    return best;
}

} // namespace dravane::test
