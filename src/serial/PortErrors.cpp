#include "serial/PortErrors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace dravane::serial {

namespace {

constexpr std::int64_t absNumber(std::int64_t n) {
    return n < 0 ? -n : n;
}

// clang-format off
#define DRAVANE_COUNT_ONE(...) + 1
constexpr std::size_t MessageCount = 0
    DRAVANE_PORT_CLASSED_CODES(DRAVANE_COUNT_ONE)
    DRAVANE_PORT_NAMED_CODES(DRAVANE_COUNT_ONE)
    DRAVANE_PORT_SHARED_CLASS_CODES(DRAVANE_COUNT_ONE)
    DRAVANE_PORT_SOCKET_CODES(DRAVANE_COUNT_ONE)
    DRAVANE_PORT_TEXTS(DRAVANE_COUNT_ONE);
#undef DRAVANE_COUNT_ONE

#define DRAVANE_RECORD_5(Name, Code, Class, Group, Text) TMessageRecord{Code, Text},
#define DRAVANE_RECORD_3(Name, Code, Text) TMessageRecord{Code, Text},
#define DRAVANE_RECORD_2(Code, Text) TMessageRecord{Code, Text},
#define DRAVANE_RECORD_SHARED(Code, Class, Text) TMessageRecord{Code, Text},
// clang-format on

// The lists are grouped by family, not by number: sort them once at compile time.
constexpr std::array<TMessageRecord, MessageCount> buildTable() {
    // clang-format off
    std::array<TMessageRecord, MessageCount> table{{
        DRAVANE_PORT_CLASSED_CODES(DRAVANE_RECORD_5)
        DRAVANE_PORT_NAMED_CODES(DRAVANE_RECORD_3)
        DRAVANE_PORT_SHARED_CLASS_CODES(DRAVANE_RECORD_SHARED)
        DRAVANE_PORT_SOCKET_CODES(DRAVANE_RECORD_3)
        DRAVANE_PORT_TEXTS(DRAVANE_RECORD_2)
    }};
    // clang-format on
    std::sort(table.begin(), table.end(), [](const TMessageRecord& a, const TMessageRecord& b) {
        return absNumber(a.MessageNumber) < absNumber(b.MessageNumber);
    });
    return table;
}

#undef DRAVANE_RECORD_5
#undef DRAVANE_RECORD_3
#undef DRAVANE_RECORD_2
#undef DRAVANE_RECORD_SHARED

constexpr std::array<TMessageRecord, MessageCount> Table = buildTable();

constexpr bool numbersUnique() {
    for (std::size_t i = 1; i < Table.size(); ++i)
        if (absNumber(Table[i - 1].MessageNumber) == absNumber(Table[i].MessageNumber))
            return false;
    return true;
}
static_assert(numbersUnique(), "two message records share a number");

} // namespace

std::span<const TMessageRecord> MessageNumberLookup() {
    return Table;
}

std::string_view LookupMessage(std::span<const TMessageRecord> table, std::int64_t code) {
    const std::int64_t wanted = absNumber(code);
    std::size_t low = 0;
    std::size_t high = table.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        const std::int64_t here = absNumber(table[mid].MessageNumber);
        if (here == wanted)
            return table[mid].MessageString.substr(0, MaxMessageLength);
        if (here < wanted)
            low = mid + 1;
        else
            high = mid;
    }
    return {};
}

std::string_view MessageNumberToString(std::int64_t code) {
    return LookupMessage(Table, code);
}

std::string CleanMessageText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const char ch = static_cast<unsigned char>(c) < 32 ? ' ' : c;
        // Collapsing while copying gives the same result as repeated replacing.
        if (ch == ' ' && !out.empty() && out.back() == ' ')
            continue;
        out.push_back(ch);
    }
    return out;
}

std::string SystemMessageText(std::int64_t code) {
    const std::int64_t number = absNumber(code);
    if (number > INT_MAX)
        return {};
    // strerrordesc_np is thread-safe and, unlike strerror, says when the
    // system has no text for a number rather than inventing "Unknown error".
    const char* text = strerrordesc_np(static_cast<int>(number));
    if (text == nullptr)
        return {};
    return CleanMessageText(std::string_view(text).substr(0, MaxMessageLength));
}

std::string ErrorMessage(std::int64_t code) {
    const std::string_view text = MessageNumberToString(code);
    if (!text.empty())
        return std::string(text);
    return SystemMessageText(code);
}

TDeviceError MapDeviceErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENOTTY:
    case EIO:
        return {-ecFileNotFound, err};
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EWOULDBLOCK:
        return {-ecFileAccessDenied, err};
    case EMFILE:
    case ENFILE:
        return {-ecTooManyFiles, err};
    case ENOMEM:
        return {-ecOutOfMemory, err};
    default:
        break;
    }
    if (err <= 0)
        return {-ecHardwareFailure, err};
    // An errno such as EINTR (4) or ECONNRESET (104) would otherwise be shown
    // with the table's unrelated text for that number.
    if (err <= -ecHardwareFailure && !MessageNumberToString(err).empty())
        return {-ecHardwareFailure, err};
    return {err, err};
}

} // namespace dravane::serial
