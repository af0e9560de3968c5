#pragma once
// Colours are kept as 0x00BBGGRR numbers (the settings file's form) and
// become QColors only where they are painted.

#include <QColor>
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace dravane::widgets {

// Bits above 23 are ignored.
inline QColor ColorFromBGR(std::uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

inline std::uint32_t BGRFromColor(const QColor& color) {
    return static_cast<std::uint32_t>(color.red()) | static_cast<std::uint32_t>(color.green()) << 8 |
           static_cast<std::uint32_t>(color.blue()) << 16;
}

// Relative luminance as WCAG 2 defines it: 0 for black, 1 for white.
inline double RelativeLuminance(const QColor& color) {
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) + 0.0722 * linear(color.blueF());
}

// From 1 (same luminance) to 21 (black on white).
inline double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Text smaller than 18 points needs 4.5:1 to be read by someone with low vision.
constexpr double readableContrast = 4.5;

// The caption colour for a fill: `wanted` while it stands out enough, else
// black or white, whichever stands out more. Every fill has one of the two
// at 4.5:1 or better, so colour choices in the settings cannot hide a caption.
inline QColor ReadableOn(const QColor& fill, const QColor& wanted) {
    if (ContrastRatio(fill, wanted) >= readableContrast)
        return wanted;
    const QColor black(0, 0, 0);
    const QColor white(255, 255, 255);
    return ContrastRatio(fill, black) >= ContrastRatio(fill, white) ? black : white;
}

} // namespace dravane::widgets
