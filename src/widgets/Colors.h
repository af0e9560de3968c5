#pragma once
// Colours are kept as 0x00BBGGRR numbers (the settings file's form) and
// become QColors only where they are painted.

#include <QColor>
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

} // namespace dravane::widgets
