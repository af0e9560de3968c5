#include "net/TelnetFuzz.h"

#include <algorithm>

namespace dravane::test {

using net::TTelnetCodec;

Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

void TTelnetTrace::TelnetSend(const std::uint8_t* data, std::size_t size) {
    Sent.insert(Sent.end(), data, data + size);
    ++Sends;
}

void TTelnetTrace::TelnetLog(net::TTelnetEvent event, std::uint8_t data) {
    Events.emplace_back(event, data);
}

TDecoded DecodePieces(TTelnetCodec& codec, const Bytes& in, const std::vector<std::size_t>& cuts,
                      std::size_t outCap) {
    TTelnetTrace trace;
    TDecoded result;
    Bytes out(outCap);
    std::size_t start = 0;
    for (std::size_t p = 0; p <= cuts.size(); ++p) {
        const std::size_t end = p < cuts.size() ? cuts[p] : in.size();
        std::size_t at = start;
        do {
            const net::TTelnetDecodeResult r =
                codec.Decode(in.data() + at, end - at, out.data(), outCap, trace);
            result.Data.insert(result.Data.end(), out.begin(),
                               out.begin() + static_cast<std::ptrdiff_t>(r.Produced));
            at += r.Consumed;
            if (r.Consumed == 0 && r.Produced == 0 && at < end)
                return {}; // no progress with room to deliver: a fault the callers detect
        } while (at < end);
        start = end;
    }
    result.Sent = std::move(trace.Sent);
    result.Sends = trace.Sends;
    result.Events = std::move(trace.Events);
    return result;
}

TDecoded DecodeWhole(const Bytes& in, net::TTelnetOpt binary) {
    TTelnetCodec codec;
    codec.FOptBinary = binary;
    return DecodePieces(codec, in, {});
}

Bytes EncodeAll(const TTelnetCodec& codec, const Bytes& in) {
    Bytes out(TTelnetCodec::MaxEncodedSize(in.size()));
    std::size_t written = 0;
    const std::size_t taken = codec.Encode(in.data(), in.size(), out.data(), out.size(), written);
    if (taken != in.size())
        return {};
    out.resize(written);
    return out;
}

namespace {

// Replies must be whole commands: IAC verb option, or IAC SB ... IAC SE.
bool wellFormedReplies(const Bytes& sent) {
    std::size_t i = 0;
    while (i < sent.size()) {
        if (sent[i] != net::TELNET_IAC || i + 1 >= sent.size())
            return false;
        if (sent[i + 1] == net::TELNET_SB) {
            std::size_t j = i + 2;
            while (j + 1 < sent.size() && !(sent[j] == net::TELNET_IAC && sent[j + 1] == net::TELNET_SE))
                j += sent[j] == net::TELNET_IAC ? 2 : 1;
            if (j + 1 >= sent.size())
                return false;
            i = j + 2;
        } else {
            if (sent[i + 1] < net::TELNET_WILL || i + 2 >= sent.size())
                return false;
            i += 3;
        }
    }
    return true;
}

std::string checkRoundTrip(const Bytes& in, net::TTelnetOpt binary) {
    TTelnetCodec encoder;
    encoder.FOptBinary = binary;
    const Bytes wire = EncodeAll(encoder, in);
    if (wire.size() < in.size())
        return "encoding lost bytes";
    const TDecoded back = DecodeWhole(wire, binary);
    if (back.Data != in)
        return "encode then decode changed the bytes";
    if (back.Sends != 0 || !back.Events.empty())
        return "encoded data decoded as commands";
    return {};
}

// A sink that admits replies only when the input says so: decoding must
// stop before a refused reply and resume there without losing or repeating.
class TThrottledTrace : public TTelnetTrace {
public:
    TThrottledTrace(const std::uint8_t* pattern, std::size_t size) : FPattern(pattern), FSize(size) {}
    bool TelnetCanSend(std::size_t) override {
        if (FForce || FSize == 0)
            return true;
        return (FPattern[FAsked++ % FSize] & 0x10) != 0;
    }
    bool FForce = false;

private:
    const std::uint8_t* FPattern;
    std::size_t FSize;
    std::size_t FAsked = 0;
};

std::string checkThrottled(const Bytes& in, const TDecoded& whole) {
    TThrottledTrace trace(in.data(), in.size());
    TTelnetCodec codec;
    Bytes data;
    Bytes out(64);
    std::size_t at = 0;
    while (at < in.size()) {
        const net::TTelnetDecodeResult r =
            codec.Decode(in.data() + at, in.size() - at, out.data(), out.size(), trace);
        data.insert(data.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.Produced));
        at += r.Consumed;
        const bool stalled = r.Consumed == 0 && r.Produced == 0;
        if (stalled && trace.FForce)
            return "no progress though every reply is admitted";
        trace.FForce = stalled; // a refusal may hold decoding once, not for ever
    }
    if (data != whole.Data || trace.Sent != whole.Sent)
        return "decoding with replies held back differs from whole";
    return {};
}

// The option negotiations among replies (whole commands, as checked before);
// terminal-type replies are left out, since every terminal-type
// subnegotiation received is answered with one, whatever its sub-command.
Bytes negotiationsOnly(const Bytes& sent) {
    Bytes kept;
    std::size_t i = 0;
    while (i + 2 < sent.size()) {
        if (sent[i + 1] != net::TELNET_SB) {
            kept.insert(kept.end(), sent.begin() + static_cast<std::ptrdiff_t>(i),
                        sent.begin() + static_cast<std::ptrdiff_t>(i + 3));
            i += 3;
            continue;
        }
        std::size_t j = i + 2;
        while (j + 1 < sent.size() && !(sent[j] == net::TELNET_IAC && sent[j + 1] == net::TELNET_SE))
            j += sent[j] == net::TELNET_IAC ? 2 : 1;
        i = j + 2;
    }
    return kept;
}

// The input reaches one codec; each side's negotiation replies go to the
// other. An exchange between two peers answering by the same rules never
// grows: one reply at most per command received.
std::string checkNegotiationBounded(const Bytes& in) {
    TTelnetCodec codecs[2];
    TTelnetTrace traces[2];
    Bytes out(in.size() + 4096);
    Bytes wire = in;
    for (int round = 0; round < 32 && !wire.empty(); ++round) {
        const int side = round % 2;
        TTelnetTrace& trace = traces[side];
        trace.Sent.clear();
        std::size_t at = 0;
        while (at < wire.size()) {
            const auto r =
                codecs[side].Decode(wire.data() + at, wire.size() - at, out.data(), out.size(), trace);
            if (r.Consumed == 0 && r.Produced == 0)
                return "a peer's reply was not taken";
            at += r.Consumed;
        }
        Bytes replies = negotiationsOnly(trace.Sent);
        if (round > 0 && replies.size() > wire.size())
            return "a negotiation exchange between two peers grows";
        wire = std::move(replies);
    }
    return {};
}

} // namespace

std::string TelnetFuzzOne(const std::uint8_t* data, std::size_t size) {
    const Bytes in(data, data + size);
    TTelnetCodec wholeCodec;
    const TDecoded whole = DecodePieces(wholeCodec, in, {});
    if (whole.Data.size() > in.size())
        return "delivered more bytes than received";
    if (!wellFormedReplies(whole.Sent))
        return "a reply is not a whole command";

    std::vector<std::size_t> every(size);
    for (std::size_t i = 0; i < size; ++i)
        every[i] = i;
    TTelnetCodec byteCodec;
    if (DecodePieces(byteCodec, in, every) != whole)
        return "byte-by-byte decoding differs from whole";
    TTelnetCodec smallOut;
    if (DecodePieces(smallOut, in, {}, 1) != whole)
        return "decoding through a one-byte buffer differs from whole";
    if (size > 0) {
        // A few split points chosen by the data itself, so the corpus varies them.
        std::vector<std::size_t> cuts;
        for (std::size_t k = 0; k < std::min<std::size_t>(size, 4); ++k)
            cuts.push_back(data[k] % (size + 1));
        std::sort(cuts.begin(), cuts.end());
        TTelnetCodec cutCodec;
        if (DecodePieces(cutCodec, in, cuts, 3) != whole)
            return "split decoding differs from whole";
    }
    if (std::string fault = checkThrottled(in, whole); !fault.empty())
        return fault;
    if (std::string fault = checkNegotiationBounded(in); !fault.empty())
        return fault;
    for (const net::TTelnetOpt binary : {net::tnoFalse, net::tnoTrue}) {
        const std::string fault = checkRoundTrip(in, binary);
        if (!fault.empty())
            return fault;
    }
    return {};
}

} // namespace dravane::test
