#include "comm/StationLine.h"

#include <algorithm>
#include <array>

namespace dravane::comm {

namespace {

struct TForm {
    TStationLineKind Kind;
    std::string_view Head; // up to the name, or the whole line but its "]"
    bool Named;
};

constexpr std::array<TForm, 7> Forms{{
    {slControlFree, "[SERVER CONTROL FREE", false},
    {slControlYours, "[SERVER CONTROL YOURS", false},
    {slControlHeld, "[SERVER CONTROL HELD ", true},
    {slRefused, "[SERVER REFUSED ", true},
    {slClientName, "[CLIENT NAME ", true},
    {slClientTake, "[CLIENT TAKE", false},
    {slClientRelease, "[CLIENT RELEASE", false},
}};

// A line longer than its head, the longest name and "]" is none of these.
constexpr std::size_t MaxLine = 32 + MaxStationName * 4;

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::string CleanStationName(std::string_view Name) {
    std::string out;
    for (const char c : Name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 32 && b != 127 && c != '[' && c != ']')
            out += c;
    }
    std::size_t from = 0;
    while (from < out.size() && isSpace(out[from]))
        ++from;
    std::size_t to = out.size();
    while (to > from && isSpace(out[to - 1]))
        --to;
    out = out.substr(from, std::min(to - from, MaxStationName));
    while (!out.empty() && isSpace(out.back()))
        out.pop_back();
    return out;
}

std::optional<TStationLine> ParseStationLine(std::string_view Line) {
    if (Line.size() > MaxLine || !Line.ends_with(']'))
        return std::nullopt;
    const std::string_view inner = Line.substr(0, Line.size() - 1);
    for (const TForm& f : Forms) {
        if (!f.Named) {
            if (inner == f.Head)
                return TStationLine{f.Kind, {}};
            continue;
        }
        if (!inner.starts_with(f.Head))
            continue;
        std::string name = CleanStationName(inner.substr(f.Head.size()));
        if (name.empty())
            return std::nullopt;
        return TStationLine{f.Kind, std::move(name)};
    }
    return std::nullopt;
}

std::string FormatStationLine(const TStationLine& Line) {
    for (const TForm& f : Forms) {
        if (f.Kind == Line.Kind)
            return std::string(f.Head) + (f.Named ? CleanStationName(Line.Name) : std::string()) + "]";
    }
    return {};
}

} // namespace dravane::comm
