#include "net/AccessFuzz.h"

#include "net/AllowList.h"
#include "net/AuthChallenge.h"
#include "support/FuzzInput.h"

#include <map>
#include <string_view>

namespace dravane::test {
namespace {

using namespace dravane::net;
using std::chrono::milliseconds;

// Every CR-ended piece as a line: what parses formats back to itself.
std::string checkLines(std::string_view text) {
    while (!text.empty()) {
        const std::size_t cr = text.find('\r');
        const std::string_view line = text.substr(0, cr);
        if (const std::optional<TAuthLine> l = ParseAuthLine(line)) {
            const std::string again = FormatAuthLine(*l);
            if (again.size() > MaxAuthLine + 1 || again.back() != '\r')
                return "a formatted line is too long or lacks its CR";
            if (ParseAuthLine(std::string_view(again).substr(0, again.size() - 1)) != l)
                return "a line does not parse back from its own format";
        }
        if (cr == std::string_view::npos)
            break;
        text.remove_prefix(cr + 1);
    }
    return {};
}

std::string checkAllowList(const std::string& text, TFuzzInput& in) {
    const TAllowList list(text);
    std::size_t pieces = 1;
    for (const char c : text)
        pieces += c == ',';
    if (list.Errors().size() > pieces)
        return "more errors than entries";
    // What the list holds lets in its own network's address, and a rebuilt
    // list from it holds the same.
    for (const std::string& entry : list.Entries()) {
        const TAllowList again(entry);
        if (!again.Errors().empty() || again.Entries() != std::vector<std::string>{entry})
            return "an entry in force does not read back as itself";
        if (!list.Allows(*TPeerAddress::Parse(entry.substr(0, entry.find('/')))))
            return "a network does not let in its own address";
    }
    if (!list.AllowsEveryone() && list.Entries().empty()) {
        for (int i = 0; i < 4; ++i) {
            TPeerAddress::TBytes b{};
            for (auto& x : b)
                x = in.Byte();
            if (list.Allows(TPeerAddress::FromBytes(b)))
                return "a list with nothing in force let someone in";
        }
    }
    return {};
}

// A scripted run of the gate: peers come, answer right or wrong or not at
// all, time passes. The gate's promises hold throughout.
std::string checkGate(TFuzzInput& in) {
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    std::uint8_t counter = 0;
    const QByteArray key = QByteArray::fromStdString(in.Piece(16));
    TAuthGate gate(
        key, [&] { return now; },
        [&](std::uint8_t* b, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i)
                b[i] = counter++;
            return true;
        });
    struct TPeer {
        std::string Nonce;
        std::chrono::steady_clock::time_point Deadline;
    };
    std::map<TAuthGate::TId, TPeer> peers;
    for (int step = 0; step < 200 && !in.Empty(); ++step) {
        const std::uint8_t op = in.Byte();
        const std::uint8_t arg = in.Byte();
        TPeerAddress who = TPeerAddress::FromIPv4(htonl(0x7F000000u | (arg & 15)));
        if (arg & 16) {
            in6_addr v6 = in6addr_loopback;
            v6.s6_addr[7] = arg; // a few /64 networks
            who = TPeerAddress::FromIPv6(v6);
        }
        switch (op % 6) {
        case 0: {
            const milliseconds wait = gate.Wait(who);
            const TAuthGate::TStart s = gate.Begin(who);
            if ((wait.count() > 0) != (s.Verdict == TAuthGate::gsBackOff))
                return "a back-off was not kept, or one was made up";
            if (s.Verdict == TAuthGate::gsChallenge) {
                const std::optional<TAuthLine> l = ParseAuthLine(s.Line.substr(0, s.Line.size() - 1));
                if (!l || l->Kind != alChallenge)
                    return "a challenge line does not parse";
                peers[s.Id] = {l->Value, now + TAuthGate::AnswerTime};
            } else if (!ParseAuthLine(s.Line.substr(0, s.Line.size() - 1))) {
                return "a refusal line does not parse";
            }
            break;
        }
        case 1:
        case 2: {
            if (peers.empty())
                break;
            auto it = std::next(peers.begin(), static_cast<std::ptrdiff_t>(arg % peers.size()));
            const bool right = op % 6 == 1;
            const std::string answer =
                right ? *AuthAnswer(key, "[AUTH " + it->second.Nonce + "]") : in.Piece(MaxAuthLine + 2);
            const TAuthGate::TResult r = gate.Answer(it->first, answer.substr(0, answer.find('\r')));
            const bool inTime = now <= it->second.Deadline;
            if (right && inTime && r.Verdict != TAuthGate::gvAdmitted && r.Verdict != TAuthGate::gvUnknown)
                return "a right answer in time was not admitted";
            if (r.Verdict == TAuthGate::gvAdmitted && (!right || !inTime))
                return "a wrong or late answer was admitted";
            if (r.Verdict != TAuthGate::gvPending)
                peers.erase(it);
            break;
        }
        case 3:
            now += milliseconds(arg) * 100;
            break;
        case 4:
            for (const auto& [id, line] : gate.Expire()) {
                const auto it = peers.find(id);
                if (it == peers.end() || now <= it->second.Deadline || line != "[AUTHFAIL missing]\r")
                    return "an expiry for a peer still in time or unknown";
                peers.erase(it);
            }
            break;
        case 5:
            if (!peers.empty()) {
                gate.Abandon(peers.begin()->first);
                peers.erase(peers.begin());
            }
            break;
        }
        if (gate.InChallenge() > TAuthGate::MaxInChallenge)
            return "more peers in the challenge than allowed";
        if (gate.Wait(who) > TAuthGate::MaxBackOff)
            return "a back-off beyond its cap";
    }
    return {};
}

} // namespace

std::string AccessFuzzOne(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    if (std::string fault = checkLines(all); !fault.empty())
        return fault;
    TFuzzInput in(data, size);
    const std::string listText = in.Piece(120);
    if (std::string fault = checkAllowList(listText, in); !fault.empty())
        return fault;
    return checkGate(in);
}

} // namespace dravane::test
