#pragma once
// Profile (ini) files read and written key by key.
//
// The file is kept as raw lines: section and key names match trimmed and
// case-insensitively, the first matching section wins, an existing key's line
// is replaced in place, a new key goes after the last non-blank line of its
// section and a new section at the end of the file. Every other byte, line
// ends and a UTF-8 byte-order mark included, is kept. Each operation reads the
// file afresh and each write replaces it atomically (through a symbolic link,
// in the target's folder), so two owners of different sections never lose
// each other's keys.
//
// Only a missing file counts as empty. A file that exists but cannot be read
// gives the callers' defaults, and a write to it fails rather than replace it
// with a file holding a single key. Control characters in names and values
// are written as blanks: they would otherwise make new lines and sections.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravane::platform {

// Raised when the settings file cannot be replaced: "Unable to write to <path>".
class EIniFileException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a settings number: "0x"/"0X" or "$" then hex digits, at most 8 after
// any leading zeros (a 32-bit two's-complement value), or a signed decimal
// inside the 32-bit range. The value is trimmed first; anything else gives
// nullopt.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

// One section as it stood when read, for a caller that reads many keys at
// once: names match as in TIniFile, the first line of a name wins.
class TIniSection {
public:
    explicit TIniSection(std::vector<std::pair<std::string, std::string>> Values)
        : FValues(std::move(Values)) {}
    std::optional<std::string> ReadValue(std::string_view key) const;
    std::string ReadString(std::string_view key, std::string_view def) const;
    std::int32_t ReadInteger(std::string_view key, std::int32_t def) const;

private:
    std::vector<std::pair<std::string, std::string>> FValues;
};

class TIniFile {
public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return FFileName; }

    std::optional<std::string> ReadValue(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
    std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;
    // Every "key=value" line of the section in file order, names and values trimmed.
    std::vector<std::pair<std::string, std::string>> ReadSectionValues(std::string_view section) const;
    TIniSection ReadSection(std::string_view section) const {
        return TIniSection(ReadSectionValues(section));
    }

    // Each write replaces the file; a failure raises EIniFileException.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

private:
    std::string FFileName;
};

} // namespace dravane::platform
