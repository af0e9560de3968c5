#include "platform/IniFuzz.h"

#include "platform/IniFile.h"
#include "support/FuzzInput.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace dravane::test {
namespace {

// One folder for the whole run, on a memory file system where there is one:
// every input writes the file several times.
class TScratch {
public:
    TScratch() {
        const std::filesystem::path shm = "/dev/shm";
        std::error_code ec;
        const auto base =
            std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "dravane-inifuzz-XXXXXX").string();
        if (::mkdtemp(tmpl.data()))
            FDir = tmpl;
    }
    ~TScratch() {
        std::error_code ec;
        if (!FDir.empty())
            std::filesystem::remove_all(FDir, ec);
    }
    std::string File() const { return (FDir / "settings.ini").string(); }
    bool Ok() const { return !FDir.empty(); }

private:
    std::filesystem::path FDir;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool hasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// Names a program would use: no line breaks, a section without "]", a key
// that is neither a comment nor a section header nor holds "=".
bool plainNames(std::string_view section, std::string_view key) {
    const auto k = trimmed(key);
    return !hasControl(section) && !hasControl(key) && section.find(']') == std::string_view::npos &&
           key.find('=') == std::string_view::npos &&
           (k.empty() || (k.front() != ';' && k.front() != '#' && k.front() != '['));
}

// The value as it reads back: control characters blanked, then trimmed.
std::string readBack(std::string_view value) {
    std::string s(value);
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f)
            c = ' ';
    return std::string(trimmed(s));
}

// Everything the write did not mean to touch is still there byte for byte:
// what changed in the old file lies within one line.
bool changedWithinOneLine(const std::string& before, const std::string& after) {
    const std::size_t limit = std::min(before.size(), after.size());
    std::size_t prefix = 0;
    while (prefix < limit && before[prefix] == after[prefix])
        ++prefix;
    std::size_t suffix = 0;
    while (suffix < limit - prefix && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string_view removed = std::string_view(before).substr(prefix, before.size() - prefix - suffix);
    return removed.find('\n') == std::string_view::npos;
}

} // namespace

std::string IniFuzzOne(const std::uint8_t* data, std::size_t size) {
    static TScratch scratch;
    if (!scratch.Ok())
        return "no scratch folder";
    TFuzzInput in(data, size);
    const std::string section = in.Piece(12);
    const std::string key = in.Piece(12);
    const std::string value = in.Piece(24);
    const std::string before = in.Rest();
    const std::string path = scratch.File();
    if (!writeAll(path, before))
        return "scratch file not written";

    platform::TIniFile ini(path);
    ini.ReadInteger(section, key, 7);
    ini.ReadSectionValues(section);
    try {
        ini.WriteString(section, key, value);
    } catch (const platform::EIniFileException& e) {
        return std::string("a readable file was not written: ") + e.what();
    }
    const std::string after = readAll(path);
    if (!changedWithinOneLine(before, after))
        return "the write changed more than the key's line";
    if (!plainNames(section, key))
        return {};
    if (ini.ReadValue(section, key) != readBack(value))
        return "the key written does not read back";
    ini.WriteString(section, key, value);
    if (readAll(path) != after)
        return "writing the same key again changed the file";
    return {};
}

} // namespace dravane::test
