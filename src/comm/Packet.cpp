#include "comm/Packet.h"

#include "comm/StrFunct.h"

namespace dravane::comm {
namespace {

constexpr char hexDigits[] = "0123456789ABCDEF";

void appendHex(std::string& out, std::uint8_t value) {
    out += hexDigits[value >> 4];
    out += hexDigits[value & 0x0F];
}

// Characters from 1-based position `pos` on; empty beyond the end, so a field
// cut short by the end of the line reads its missing digits as 0.
std::string_view from(std::string_view line, std::size_t pos) {
    return pos - 1 < line.size() ? line.substr(pos - 1) : std::string_view{};
}

bool marker(std::string_view line, std::size_t pos, char c) {
    return pos <= line.size() && line[pos - 1] == c;
}

bool isUpperHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

std::string FormatPacket(std::uint8_t Addr, std::uint8_t Cmd, std::string_view Data) {
    std::string line;
    line.reserve(10 + 2 * Data.size());
    line += "[R";
    appendHex(line, Addr);
    line += 'T';
    appendHex(line, Cmd);
    line += 'H';
    for (const char c : Data)
        appendHex(line, static_cast<std::uint8_t>(c));
    line += ']';
    line += CR;
    return line;
}

bool ParsePacketLine(std::string_view line, TNetPacket& packet) {
    packet = TNetPacket{};
    if (!marker(line, 2, 'T'))
        return false;
    packet.Cmd = HexToByte(from(line, 3));
    if (!marker(line, 5, 'R'))
        return false;
    packet.Dest = HexToByte(from(line, 6));
    packet.Source = HexToByte(from(line, 8));
    if (!marker(line, 10, 'H'))
        return false;
    packet.Channel = HexToByte(from(line, 11));
    if (!marker(line, 13, 'M'))
        return false;
    // The last character never starts a pair; the second of a pair is not tested.
    for (std::size_t p = 14; p < line.size() && isUpperHexDigit(line[p - 1]); p += 2)
        packet.Data += static_cast<char>(HexToByte(line.substr(p - 1, 2)));
    return true;
}

std::string FormatReportLine(const TNetPacket& packet) {
    std::string line;
    line.reserve(16 + 2 * packet.Data.size());
    line += "[T";
    appendHex(line, packet.Cmd);
    line += 'R';
    appendHex(line, packet.Dest);
    appendHex(line, packet.Source);
    line += 'H';
    appendHex(line, packet.Channel);
    line += 'M';
    for (const char c : packet.Data)
        appendHex(line, static_cast<std::uint8_t>(c));
    line += ']';
    line += CR;
    return line;
}

std::optional<TCommandLine> ParseCommandLine(std::string_view line) {
    // "[R" aa "T" cc "H" (pp)* "]"
    constexpr std::size_t fixed = 9;
    if (line.size() < fixed || (line.size() - fixed) % 2 != 0 || !line.starts_with("[R") || line[4] != 'T' ||
        line[7] != 'H' || line.back() != ']')
        return std::nullopt;
    for (std::size_t i = 2; i + 1 < line.size(); ++i)
        if (i != 4 && i != 7 && !isUpperHexDigit(line[i]))
            return std::nullopt;
    TCommandLine command{HexToByte(line.substr(2)), HexToByte(line.substr(5)), {}};
    for (std::size_t p = 8; p + 1 < line.size(); p += 2)
        command.Data += static_cast<char>(HexToByte(line.substr(p, 2)));
    return command;
}

} // namespace dravane::comm
