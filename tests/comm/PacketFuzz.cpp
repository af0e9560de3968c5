#include "comm/PacketFuzz.h"

#include "comm/Defines.h"
#include "comm/LineAssembler.h"
#include "comm/Packet.h"
#include "comm/StationLine.h"
#include "support/FuzzInput.h"

#include <algorithm>
#include <vector>

namespace dravane::test {
namespace {

using comm::TLineAssembler;
using comm::TNetPacket;

// Lines as the wire defines them: CR ends one, control characters are not
// part of it, and one longer than the limit is lost whole.
std::vector<std::string> referenceLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::string current;
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b == '\r') {
            if (!current.empty() && current.size() <= TLineAssembler::MaxLine)
                lines.push_back(current);
            current.clear();
        } else if (b >= 32) {
            current += c;
        }
    }
    return lines;
}

bool knownActionCode(std::int32_t code) {
#define DRAVANE_IS_CODE(name, value) code == value ||
    return DRAVANE_ACTION_CODES(DRAVANE_IS_CODE) false;
#undef DRAVANE_IS_CODE
}

std::string withoutCr(std::string line) {
    if (!line.empty() && line.back() == comm::CR)
        line.pop_back();
    return line;
}

std::string checkLine(const std::string& line) {
    TNetPacket packet;
    if (comm::ParsePacketLine(line, packet)) {
        TNetPacket again;
        if (!comm::ParsePacketLine(withoutCr(comm::FormatReportLine(packet)), again) || again != packet)
            return "a parsed report does not survive formatting and parsing again";
    }
    if (const auto code = comm::ActionCodeForPacket(packet); code && !knownActionCode(*code))
        return "an action code outside the table";
    if (const auto command = comm::ParseCommandLine(line)) {
        if (comm::FormatPacket(command->Addr, command->Cmd, command->Data) != line + comm::CR)
            return "a command line accepted that is not written that way";
    }
    if (const auto station = comm::ParseStationLine(line)) {
        if (station->Name.size() > comm::MaxStationName ||
            station->Name.find_first_of("[]") != std::string::npos)
            return "a desk's name beyond its bounds";
        const std::string again = comm::FormatStationLine(*station);
        if (again.starts_with("[T") || comm::ParseStationLine(again) != station)
            return "a station line does not survive formatting and parsing again";
    }
    return {};
}

} // namespace

std::string PacketFuzzOne(const std::uint8_t* data, std::size_t size) {
    TFuzzInput in(data, size);
    // A packet of the front bytes, through the controller's and the host's formats.
    TNetPacket sent{in.Byte(), in.Byte(), in.Byte(), in.Byte(), in.Piece(255)};
    const std::string report = comm::FormatReportLine(sent);
    TLineAssembler roundTrip;
    std::string line;
    std::vector<std::string> lines;
    for (const char c : report)
        if (roundTrip.Feed(static_cast<std::uint8_t>(c), line))
            lines.push_back(line);
    TNetPacket received;
    if (lines.size() != 1 || !comm::ParsePacketLine(lines[0], received) || received != sent)
        return "a report line does not arrive as the packet sent";
    const auto command =
        comm::ParseCommandLine(withoutCr(comm::FormatPacket(sent.Dest, sent.Cmd, sent.Data)));
    if (!command || command->Addr != sent.Dest || command->Cmd != sent.Cmd || command->Data != sent.Data)
        return "a command line does not parse as the command written";

    // The rest as received bytes.
    const std::string bytes = in.Rest();
    TLineAssembler assembler;
    lines.clear();
    for (const char c : bytes) {
        if (assembler.Feed(static_cast<std::uint8_t>(c), line))
            lines.push_back(line);
        if (assembler.Pending().size() > TLineAssembler::MaxLine)
            return "a pending line grew past the limit";
    }
    if (lines != referenceLines(bytes))
        return "assembled lines differ from the CR-ended lines received";
    for (const auto& l : lines) {
        if (std::string fault = checkLine(l); !fault.empty())
            return fault;
    }
    return {};
}

} // namespace dravane::test
