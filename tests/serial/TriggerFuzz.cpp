#include "serial/TriggerFuzz.h"

#include "serial/PortErrors.h"
#include "support/FuzzInput.h"
#include "support/ScriptDispatcher.h"

#include <algorithm>
#include <vector>

namespace dravane::test {
namespace {

using namespace serial;

// Latin-1 upper case, written out here rather than taken from the port code.
std::uint8_t folded(std::uint8_t c) {
    const bool lower = (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7);
    return lower ? static_cast<std::uint8_t>(c - 32) : c;
}

struct TPattern {
    std::string Bytes;
    bool IgnoreCase = false;
    int Handle = 0;
};

struct TMatch {
    int Handle;
    std::size_t End; // offset just past the pattern's last byte
    bool operator==(const TMatch&) const = default;
};

bool endsAt(const TPattern& p, std::string_view stream, std::size_t end) {
    const std::size_t len = p.Bytes.size();
    for (std::size_t k = 0; k < len; ++k) {
        auto a = static_cast<std::uint8_t>(stream[end - len + k]);
        auto b = static_cast<std::uint8_t>(p.Bytes[k]);
        if (p.IgnoreCase) {
            a = folded(a);
            b = folded(b);
        }
        if (a != b)
            return false;
    }
    return true;
}

// Every occurrence, earliest end first, skipping one that overlaps the
// pattern's previous occurrence; at one end, the later trigger first.
std::vector<TMatch> referenceMatches(const std::vector<TPattern>& patterns, std::string_view stream) {
    std::vector<std::size_t> free(patterns.size(), 0);
    std::vector<TMatch> matches;
    for (std::size_t end = 1; end <= stream.size(); ++end) {
        for (std::size_t t = patterns.size(); t-- > 0;) {
            const TPattern& p = patterns[t];
            if (end >= free[t] + p.Bytes.size() && endsAt(p, stream, end)) {
                matches.push_back({p.Handle, end});
                free[t] = end;
            }
        }
    }
    return matches;
}

// Reads every byte announced; notes each pattern with the bytes read before it.
class TReader {
public:
    explicit TReader(TBaseDispatcher& d) : FD(d) {}
    void Handle(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) {
        if (msg == pw_TriggerAvail) {
            std::string block(wParam, '\0');
            const int n = FD.GetBlock(block.data(), static_cast<int>(wParam));
            Read.append(block.data(), static_cast<std::size_t>(std::max(n, 0)));
        } else if (msg == pw_TriggerData) {
            Matches.push_back({static_cast<int>(wParam), Read.size()});
        }
    }
    TNotifyEvent Event() { return TNotifyEvent::Bind<TReader, &TReader::Handle>(this); }

    std::string Read;
    std::vector<TMatch> Matches; // End: bytes read when it was announced

private:
    TBaseDispatcher& FD;
};

} // namespace

std::string TriggerFuzzOne(const std::uint8_t* data, std::size_t size) {
    TFuzzInput in(data, size);
    TManualClock clock;
    TScriptDispatcher port(clock);
    if (port.Open() != ecOK)
        return "the scripted port did not open";
    const int lengthTrigger = 1 + static_cast<int>(in.Below(4));
    port.ChangeLengthTrigger(static_cast<std::uint16_t>(lengthTrigger));
    TReader reader(port);
    port.RegisterEventTriggerHandler(reader.Event());

    std::vector<TPattern> patterns(1 + in.Below(3));
    for (TPattern& p : patterns) {
        p.IgnoreCase = in.Flag();
        p.Bytes = in.Take(1 + in.Below(MaxDataTriggerLen));
        if (p.Bytes.empty())
            p.Bytes.assign(1, '\r');
        p.Handle = port.AddDataTriggerLen(p.Bytes.data(), p.IgnoreCase, static_cast<int>(p.Bytes.size()));
        if (p.Handle <= 0)
            return "a data trigger was refused";
    }
    std::vector<std::size_t> cuts(in.Below(8));
    const std::size_t item = 1 + in.Below(64);
    for (std::size_t& c : cuts)
        c = in.Byte();
    const std::string stream = in.Take(DispatchBufferSize / 2);
    for (std::size_t& c : cuts)
        c = c * stream.size() / 255;
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(stream.size());

    std::size_t from = 0;
    for (const std::size_t to : cuts) {
        port.Receive(std::string_view(stream).substr(from, to - from), item);
        from = to;
        // Each cycle takes what the device holds; bounded, since every item is small.
        for (int k = 0; k < 4 * DispatchBufferSize && port.QueuedBytes() > 0; ++k)
            port.Cycle();
        port.Cycle();
    }
    port.Cycle();

    if (!std::string_view(stream).starts_with(reader.Read))
        return "the bytes read are not the bytes received, in order";
    if (stream.size() - reader.Read.size() >= static_cast<std::size_t>(lengthTrigger))
        return "bytes enough for the length trigger were never announced";
    const auto expected = referenceMatches(patterns, stream);
    if (reader.Matches.size() != expected.size())
        return "a pattern occurrence was missed or announced twice";
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (reader.Matches[k].Handle != expected[k].Handle)
            return "patterns announced out of order or with the wrong handle";
        if (reader.Matches[k].End > expected[k].End)
            return "a pattern announced after the bytes behind it were read";
    }
    return {};
}

} // namespace dravane::test
