#include "platform/IniFile.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dravane::platform {
namespace {

std::string_view trim(std::string_view s) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b) {
    a = trim(a);
    b = trim(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto la = static_cast<unsigned char>(a[i]);
        const auto lb = static_cast<unsigned char>(b[i]);
        if (std::tolower(la) != std::tolower(lb))
            return false;
    }
    return true;
}

// One physical line: its text without the line end, and the end itself
// ("\n", "\r\n" or "" for a last line without one).
struct Line {
    std::string text;
    std::string_view end; // one of the literals below
};

constexpr std::string_view LF = "\n";
constexpr std::string_view CRLF = "\r\n";

std::vector<Line> splitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t nl = content.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({content.substr(pos), ""});
            break;
        }
        std::size_t textEnd = nl;
        std::string_view end = LF;
        if (textEnd > pos && content[textEnd - 1] == '\r') {
            --textEnd;
            end = CRLF;
        }
        lines.push_back({content.substr(pos, textEnd - pos), end});
        pos = nl + 1;
    }
    return lines;
}

bool isComment(std::string_view text) {
    const auto t = trim(text);
    return !t.empty() && (t.front() == ';' || t.front() == '#');
}

std::optional<std::string_view> sectionName(std::string_view text) {
    const auto t = trim(text);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    const auto close = t.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return t.substr(1, close - 1);
}

// Splits "key=value"; nullopt for lines that hold no key.
std::optional<std::pair<std::string_view, std::string_view>> keyValue(std::string_view text) {
    if (isComment(text) || sectionName(text))
        return std::nullopt;
    const auto eq = text.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    return std::make_pair(trim(text.substr(0, eq)), trim(text.substr(eq + 1)));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Index range [first, last) of a section's body; nullopt when absent.
struct SectionRange {
    std::size_t header;
    std::size_t first;
    std::size_t last;
};

std::optional<SectionRange> findSection(const std::vector<Line>& lines, std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionName(lines[i].text);
        if (!name || !sameName(*name, section))
            continue;
        std::size_t j = i + 1;
        while (j < lines.size() && !sectionName(lines[j].text))
            ++j;
        return SectionRange{i, i + 1, j};
    }
    return std::nullopt;
}

[[noreturn]] void failWrite(const std::string& path) {
    char message[4096];
    std::snprintf(message, sizeof message, "Unable to write to %s", path.c_str());
    throw EIniFileException(message);
}

void replaceFile(const std::string& path, const std::string& content) {
    std::string tmpl = path + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        failWrite(path);
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    ::fchmod(fd, existed ? (st.st_mode & 07777) : 0644);
    std::size_t done = 0;
    bool ok = true;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmpl.c_str(), path.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        failWrite(path);
    }
}

} // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view text) {
    text = trim(text);
    if (text.empty())
        return std::nullopt;
    std::string_view hex;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        hex = text.substr(2);
    else if (text.size() > 1 && text[0] == '$')
        hex = text.substr(1);
    if (!hex.empty()) {
        if (hex.size() > 8)
            return std::nullopt;
        std::uint32_t value = 0;
        const auto [p, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
        if (ec != std::errc() || p != hex.data() + hex.size())
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    if (text.front() == '+')
        text.remove_prefix(1);
    std::int32_t value = 0;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || p != text.data() + text.size())
        return std::nullopt;
    return value;
}

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

std::optional<std::string> TIniFile::ReadValue(std::string_view section, std::string_view key) const {
    const auto lines = splitLines(readFile(FFileName));
    const auto range = findSection(lines, section);
    if (!range)
        return std::nullopt;
    for (std::size_t i = range->first; i < range->last; ++i) {
        const auto kv = keyValue(lines[i].text);
        if (kv && sameName(kv->first, key))
            return std::string(kv->second);
    }
    return std::nullopt;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
    auto value = ReadValue(section, key);
    return value ? std::move(*value) : std::string(def);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const {
    const auto value = ReadValue(section, key);
    if (!value)
        return def;
    return ParseIniInteger(*value).value_or(def);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> values;
    const auto lines = splitLines(readFile(FFileName));
    if (const auto range = findSection(lines, section)) {
        for (std::size_t i = range->first; i < range->last; ++i) {
            if (const auto kv = keyValue(lines[i].text))
                values.emplace_back(kv->first, kv->second);
        }
    }
    return values;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string content = readFile(FFileName);
    auto lines = splitLines(content);
    // New lines follow the file's own line-end style; a new file uses LF.
    std::string_view eol = LF;
    for (const auto& l : lines) {
        if (!l.end.empty()) {
            eol = l.end;
            break;
        }
    }
    const std::string newLine = std::string(trim(key)) + "=" + std::string(value);

    if (const auto range = findSection(lines, section)) {
        bool replaced = false;
        for (std::size_t i = range->first; i < range->last && !replaced; ++i) {
            const auto kv = keyValue(lines[i].text);
            if (kv && sameName(kv->first, key)) {
                lines[i].text = newLine;
                replaced = true;
            }
        }
        if (!replaced) {
            std::size_t at = range->header;
            for (std::size_t i = range->first; i < range->last; ++i) {
                if (!trim(lines[i].text).empty())
                    at = i;
            }
            if (lines[at].end.empty())
                lines[at].end = eol;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at + 1), Line{newLine, eol});
        }
    } else {
        if (!lines.empty()) {
            if (lines.back().end.empty())
                lines.back().end = eol;
            if (!trim(lines.back().text).empty())
                lines.push_back({"", eol});
        }
        std::string header = "[";
        header.append(trim(section));
        header += ']';
        lines.push_back({std::move(header), eol});
        lines.push_back({newLine, eol});
    }

    std::string out;
    out.reserve(content.size() + newLine.size() + section.size() + 8);
    for (const auto& l : lines) {
        out += l.text;
        out += l.end;
    }
    replaceFile(FFileName, out);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteInteger(section, key, value ? 1 : 0);
}

} // namespace dravane::platform
