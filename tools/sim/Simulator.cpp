#include "sim/Simulator.h"

#include "comm/NetDefs.h"
#include "comm/Packet.h"

#include <algorithm>

namespace dravane::sim {
namespace {

constexpr std::uint8_t addrHost = 0x01; // where status packets are addressed

constexpr auto noiseMinInterval = std::chrono::milliseconds(500);
constexpr auto noiseMaxInterval = std::chrono::milliseconds(4000);
constexpr int noiseMaxBurst = 8;

void keepEarliest(std::optional<TClock::time_point>& earliest, const std::optional<TClock::time_point>& t) {
    if (t && (!earliest || *t < *earliest))
        earliest = t;
}

// The next moment of a repeating timer that fired at `due` but was served at `now`:
// a late loop skips the missed beats rather than sending them in a burst.
TClock::time_point nextBeat(TClock::time_point due, TClock::duration period, TClock::time_point now) {
    const auto next = due + period;
    return next > now ? next : now + period;
}

} // namespace

TSimulator::TSimulator(const TSimOptions& options, TClock::time_point start, std::uint32_t seed)
    : FOptions(options), FMode(options.Mode), FDirection(options.Direction % 8), FRandom(seed) {
    FOptions.AnswerEvery = std::max(1u, FOptions.AnswerEvery);
    if (FOptions.StatusEvery.count() > 0)
        FNextStatus = start + FOptions.StatusEvery;
    if (FOptions.Noise)
        FNextNoise = start + NoiseInterval();
}

void TSimulator::Receive(std::string_view bytes, TClock::time_point now) {
    std::string line;
    for (const char c : bytes) {
        if (!FAssembler.Feed(static_cast<std::uint8_t>(c), line))
            continue;
        if (FLog)
            FLog("<", line);
        std::string answer = Answer(line);
        if (!answer.empty() && FPending.size() < MaxPending)
            FPending.push_back({now + FOptions.Delay, std::move(answer)});
    }
}

std::string TSimulator::Answer(const std::string& line) {
    if (FOptions.Silent)
        return {};
    if (line == "[LINK]")
        return std::string("[LINKOK]") + comm::CR;
    if (FOptions.LinkOkOnly)
        return {};
    const auto command = comm::ParseCommandLine(line);
    if (!command || command->Addr != comm::baseDravane || command->Cmd != comm::cmd485_SetDravane ||
        command->Data.size() != 1)
        return {};
    const auto button = static_cast<std::uint8_t>(command->Data[0]);
    if (button < btLeft || button > btOmni)
        return {};
    // A command that goes unanswered is one the controller never got: it is
    // not carried out, so a repeat does not turn the antenna twice.
    if (++FCommands % FOptions.AnswerEvery != 0)
        return {};
    Press(button);
    return StatusLine();
}

void TSimulator::Press(std::uint8_t button) {
    switch (button) {
    case btLeft:
        FDirection = (FDirection + 7) % 8;
        break;
    case btRight:
        FDirection = (FDirection + 1) % 8;
        break;
    case btUni:
        FMode = amUni;
        break;
    case btBi:
        FMode = amBi;
        break;
    case btFlip:
        FDirection = (FDirection + 4) % 8;
        break;
    case btOmni:
        FMode = amOmni;
        break;
    }
}

std::string TSimulator::StatusLine() const {
    comm::TNetPacket status{comm::cmd485_DravaneStatus, addrHost, comm::baseDravane, 0, {}};
    status.Data += static_cast<char>(FMode);
    status.Data += static_cast<char>(FDirection);
    return comm::FormatReportLine(status);
}

std::string TSimulator::TakeDue(TClock::time_point now) {
    std::string out;
    for (;;) {
        const bool answerDue = !FPending.empty() && FPending.front().Due <= now;
        const bool statusDue = FNextStatus && *FNextStatus <= now;
        const bool noiseDue = FNextNoise && *FNextNoise <= now;
        if (answerDue && (!statusDue || FPending.front().Due <= *FNextStatus) &&
            (!noiseDue || FPending.front().Due <= *FNextNoise)) {
            Send(out, ">", FPending.front().Bytes);
            FPending.pop_front();
        } else if (statusDue && (!noiseDue || *FNextStatus <= *FNextNoise)) {
            // Someone turned the antenna at the controller.
            FDirection = (FDirection + 1) % 8;
            Send(out, ">", StatusLine());
            FNextStatus = nextBeat(*FNextStatus, FOptions.StatusEvery, now);
        } else if (noiseDue) {
            Send(out, "~", NoiseBurst());
            FNextNoise = now + NoiseInterval();
        } else {
            return out;
        }
    }
}

std::optional<TClock::time_point> TSimulator::NextDue() const {
    std::optional<TClock::time_point> earliest;
    if (!FPending.empty())
        earliest = FPending.front().Due;
    keepEarliest(earliest, FNextStatus);
    keepEarliest(earliest, FNextNoise);
    return earliest;
}

void TSimulator::Send(std::string& out, std::string_view kind, const std::string& bytes) {
    if (FLog)
        FLog(kind, std::string_view(bytes).substr(0, bytes.find(comm::CR)));
    out += bytes;
}

std::string TSimulator::NoiseBurst() {
    // Any byte but CR: a CR would end a line of its own rather than spoil one.
    std::uniform_int_distribution<int> length(1, noiseMaxBurst);
    std::uniform_int_distribution<int> byte(0, 254);
    std::string burst(static_cast<std::size_t>(length(FRandom)), '\0');
    for (char& c : burst) {
        const int b = byte(FRandom);
        c = static_cast<char>(b >= comm::CR ? b + 1 : b);
    }
    return burst;
}

TClock::duration TSimulator::NoiseInterval() {
    std::uniform_int_distribution<long long> ms(noiseMinInterval.count(), noiseMaxInterval.count());
    return std::chrono::milliseconds(ms(FRandom));
}

} // namespace dravane::sim
