#include "platform/IniFile.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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
constexpr int MaxLinkHops = 40;

std::vector<Line> splitLines(std::string_view content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t nl = content.find('\n', pos);
        if (nl == std::string_view::npos) {
            lines.push_back({std::string(content.substr(pos)), ""});
            break;
        }
        std::size_t textEnd = nl;
        std::string_view end = LF;
        if (textEnd > pos && content[textEnd - 1] == '\r') {
            --textEnd;
            end = CRLF;
        }
        lines.push_back({std::string(content.substr(pos, textEnd - pos)), end});
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

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

// The file as lines, with a leading UTF-8 byte-order mark set aside so that
// it neither hides the first section nor gets lost on the next write.
struct Document {
    bool bom = false;
    std::vector<Line> lines;
};

Document parse(std::string_view content) {
    Document doc;
    if (content.substr(0, Utf8Bom.size()) == Utf8Bom) {
        doc.bom = true;
        content.remove_prefix(Utf8Bom.size());
    }
    doc.lines = splitLines(content);
    return doc;
}

// The whole file; empty when it does not exist, nullopt when it exists but
// cannot be read (a folder, no permission, an I/O error). Plain system calls:
// a stream would throw on some of these, or block on a pipe.
std::optional<std::string> readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? std::optional<std::string>(std::in_place) : std::nullopt;
    std::optional<std::string> content;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        content.emplace();
        content->reserve(static_cast<std::size_t>(st.st_size));
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                content->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                content.reset();
                break;
            }
        }
    }
    ::close(fd);
    return content;
}

// What readers see: an unreadable file reads like an empty one.
std::vector<Line> readLines(const std::string& path) {
    const auto content = readFile(path);
    return content ? parse(*content).lines : std::vector<Line>{};
}

// A line break or other control character in a name or value would change
// the file's structure ("x\n[Display]" is a new section); they become blanks.
std::string oneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = ' ';
    }
    return out;
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

// The file a write lands in: symbolic links are followed, so a link stays a
// link and its target gets the new content.
std::string followLinks(std::string path) {
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
            break;
        const std::filesystem::path t(std::string(target, static_cast<std::size_t>(n)));
        path = t.is_absolute() ? t.string() : (std::filesystem::path(path).parent_path() / t).string();
    }
    return path;
}

// Writes content to a temporary file beside the target and renames it over
// the target; a failure is reported under the name the caller knows.
void replaceFile(const std::string& name, const std::string& content) {
    const std::string path = followLinks(name);
    std::string tmpl = path + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        failWrite(name);
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
        failWrite(name);
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
        // Leading zeros do not count toward the eight digits.
        const auto significant = hex.find_first_not_of('0');
        hex = significant == std::string_view::npos ? hex.substr(hex.size() - 1) : hex.substr(significant);
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
    const auto lines = readLines(FFileName);
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
    const auto lines = readLines(FFileName);
    if (const auto range = findSection(lines, section)) {
        for (std::size_t i = range->first; i < range->last; ++i) {
            if (const auto kv = keyValue(lines[i].text))
                values.emplace_back(kv->first, kv->second);
        }
    }
    return values;
}

std::optional<std::string> TIniSection::ReadValue(std::string_view key) const {
    for (const auto& [name, value] : FValues) {
        if (sameName(name, key))
            return value;
    }
    return std::nullopt;
}

std::string TIniSection::ReadString(std::string_view key, std::string_view def) const {
    auto value = ReadValue(key);
    return value ? std::move(*value) : std::string(def);
}

std::int32_t TIniSection::ReadInteger(std::string_view key, std::int32_t def) const {
    const auto value = ReadValue(key);
    return value ? ParseIniInteger(*value).value_or(def) : def;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    // Only a missing file counts as empty: one that cannot be read is never
    // replaced by a file holding just this key.
    const auto content = readFile(FFileName);
    if (!content)
        failWrite(FFileName);
    auto [bom, lines] = parse(*content);
    // New lines follow the file's own line-end style; a new file uses LF.
    std::string_view eol = LF;
    for (const auto& l : lines) {
        if (!l.end.empty()) {
            eol = l.end;
            break;
        }
    }
    const std::string newLine = oneLine(trim(key)) + "=" + oneLine(value);

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
        header += oneLine(trim(section));
        header += ']';
        lines.push_back({std::move(header), eol});
        lines.push_back({newLine, eol});
    }

    std::string out(bom ? Utf8Bom : std::string_view());
    out.reserve(content->size() + newLine.size() + section.size() + 8);
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
