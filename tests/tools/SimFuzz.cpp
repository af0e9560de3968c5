#include "tools/SimFuzz.h"

#include "comm/NetDefs.h"
#include "comm/Packet.h"
#include "sim/Simulator.h"
#include "support/FuzzInput.h"

#include <algorithm>

namespace dravane::test {
namespace {

using sim::TClock;

struct TAnswers {
    std::size_t LinkOk = 0;
    std::size_t Status = 0;
    comm::TNetPacket Last;
};

// Splits what the simulator sent into lines and checks each is an answer it may give.
std::string checkAnswers(const std::string& out, TAnswers& answers) {
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t cr = out.find(comm::CR, at);
        if (cr == std::string::npos)
            return "an answer without its CR";
        const std::string line = out.substr(at, cr - at);
        at = cr + 1;
        if (line == "[LINKOK]") {
            ++answers.LinkOk;
            continue;
        }
        comm::TNetPacket p;
        if (!comm::ParsePacketLine(line, p) || p.Cmd != comm::cmd485_DravaneStatus || p.Data.size() != 2 ||
            p.Data[0] < sim::amUni || p.Data[0] > sim::amOmni || static_cast<std::uint8_t>(p.Data[1]) > 7)
            return "an answer that is neither the link reply nor a status report: " + line;
        ++answers.Status;
        answers.Last = p;
    }
    return {};
}

} // namespace

std::string SimFuzzOne(const std::uint8_t* data, std::size_t size) {
    TFuzzInput in(data, size);
    sim::TSimOptions options;
    options.Mode = static_cast<sim::TAntennaMode>(sim::amUni + in.Below(3));
    options.Direction = static_cast<std::uint8_t>(in.Byte());
    const std::uint8_t flags = in.Byte();
    options.Silent = (flags & 1) != 0;
    options.LinkOkOnly = (flags & 2) != 0;
    options.AnswerEvery = in.Below(5); // 0 counts as 1
    options.Delay = std::chrono::milliseconds(in.Byte() * 8);
    const bool unrequested = (flags & 4) != 0;
    options.Noise = unrequested && (flags & 8) != 0;
    options.StatusEvery = std::chrono::seconds(unrequested ? 1 + in.Below(3) : 0);

    TClock::time_point now{};
    sim::TSimulator simulator(options, now, in.Byte());
    std::string received;
    std::string sent;
    while (!in.Empty()) {
        now += std::chrono::milliseconds(in.Byte() * 16);
        const std::string piece = in.Piece(64);
        simulator.Receive(piece, now);
        received += piece;
        if (in.Flag()) {
            sent += simulator.TakeDue(now);
            if (const auto due = simulator.NextDue(); due && *due <= now)
                return "something due was held back";
        }
    }
    now += options.Delay + std::chrono::milliseconds(1);
    sent += simulator.TakeDue(now);
    if (unrequested)
        return simulator.NextDue() ? std::string() : "the unrequested reports stopped";
    if (simulator.NextDue())
        return "an answer still waits after its delay";

    // Requested answers only from here: each a reply to a line received.
    TAnswers answers;
    if (std::string fault = checkAnswers(sent, answers); !fault.empty())
        return fault;
    const std::size_t lines =
        static_cast<std::size_t>(std::count(received.begin(), received.end(), comm::CR));
    if (answers.LinkOk + answers.Status > lines)
        return "more answers than lines received";
    if (options.Silent && !sent.empty())
        return "a silent controller answered";
    if (options.LinkOkOnly && answers.Status > 0)
        return "a link-only controller reported status";
    if (answers.Status > 0 && (static_cast<std::uint8_t>(answers.Last.Data[0]) != simulator.Mode() ||
                               static_cast<std::uint8_t>(answers.Last.Data[1]) != simulator.Direction()))
        return "the last status report is not the controller's state";
    return {};
}

} // namespace dravane::test
