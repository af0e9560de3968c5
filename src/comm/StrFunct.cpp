#include "comm/StrFunct.h"

#include <charconv>

namespace dravane::comm {

std::uint8_t GetValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    return 0;
}

std::uint8_t HexToByte(std::string_view s) {
    if (s.empty())
        return 0;
    const std::uint8_t low = s.size() > 1 ? GetValue(s[1]) : 0;
    return static_cast<std::uint8_t>(16 * GetValue(s[0]) + low);
}

bool ValidInteger(std::string_view s) {
    if (s.empty())
        return false;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    std::int64_t value = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && p == s.data() + s.size();
}

} // namespace dravane::comm
