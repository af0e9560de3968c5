#include "net/TelnetCodec.h"
#include "net/TelnetFuzz.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace dravane::net;
using dravane::test::Bytes;
using dravane::test::DecodePieces;
using dravane::test::DecodeWhole;
using dravane::test::EncodeAll;
using dravane::test::TDecoded;
using dravane::test::TelnetFuzzOne;
using dravane::test::ToBytes;
using dravane::test::TTelnetTrace;

namespace {

const Bytes TerminalReply = {255, 250, 24, 0, 'v', 't', '1', '0', '0', 255, 240};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Decodes in whole and in every way of cutting it into two and three pieces,
// byte by byte and through a one-byte output buffer; all must agree.
void ExpectDecodes(const Bytes& in, const Bytes& data, const Bytes& sent, TTelnetOpt binary = tnoFalse) {
    const TDecoded whole = DecodeWhole(in, binary);
    EXPECT_EQ(whole.Data, data);
    EXPECT_EQ(whole.Sent, sent);
    auto same = [&](std::vector<std::size_t> cuts, std::size_t outCap) {
        TTelnetCodec codec;
        codec.FOptBinary = binary;
        const TDecoded split = DecodePieces(codec, in, cuts, outCap);
        EXPECT_EQ(split, whole) << "cuts " << ::testing::PrintToString(cuts) << " out " << outCap;
    };
    for (std::size_t a = 0; a <= in.size(); ++a)
        for (std::size_t b = a; b <= in.size(); ++b)
            same({a, b}, 4096);
    std::vector<std::size_t> every;
    for (std::size_t i = 0; i < in.size(); ++i)
        every.push_back(i);
    same(every, 4096);
    same({}, 1);
    same(every, 1);
}

} // namespace

TEST(TelnetEncode, EscapesIacAndPadsLoneCarriageReturns) {
    TTelnetCodec codec;
    EXPECT_EQ(EncodeAll(codec, {255}), (Bytes{255, 255}));
    EXPECT_EQ(EncodeAll(codec, {1, 255, 255, 2}), (Bytes{1, 255, 255, 255, 255, 2}));
    // The link test line: nine characters and CR at the end of the block.
    EXPECT_EQ(EncodeAll(codec, ToBytes("[R98T4AH]\r")), ToBytes(std::string("[R98T4AH]\r\0", 11)));
    EXPECT_EQ(EncodeAll(codec, ToBytes("ab\r\ncd")), ToBytes("ab\r\ncd"));
    EXPECT_EQ(EncodeAll(codec, ToBytes("\r\r\n\rx")), ToBytes(std::string("\r\0\r\n\r\0x", 7)));
    EXPECT_EQ(EncodeAll(codec, ToBytes("\n\r")), ToBytes(std::string("\n\r\0", 3)));
    EXPECT_TRUE(codec.EncodesVerbatim(ToBytes("ab\r\n").data(), 4));
    EXPECT_FALSE(codec.EncodesVerbatim(ToBytes("ab\r").data(), 3));

    codec.FOptBinary = tnoTrue;
    EXPECT_EQ(EncodeAll(codec, ToBytes("[R98T4AH]\r")), ToBytes("[R98T4AH]\r"));
    EXPECT_EQ(EncodeAll(codec, {13, 255, 13}), (Bytes{13, 255, 255, 13}));
}

TEST(TelnetEncode, StopsBeforeAnEncodingThatDoesNotFit) {
    TTelnetCodec codec;
    const Bytes src = {'a', 255, 'b', 13};
    Bytes dst(8, 0xEE);
    std::size_t written = 0;
    EXPECT_EQ(codec.Encode(src.data(), src.size(), dst.data(), 2, written), 1u);
    EXPECT_EQ(written, 1u); // 255 255 never split across calls
    EXPECT_EQ(codec.Encode(src.data(), src.size(), dst.data(), 3, written), 2u);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(codec.Encode(src.data(), src.size(), dst.data(), 5, written), 3u);
    EXPECT_EQ(written, 4u); // CR NUL needs two
    // The LF that decides a CR's padding is looked for in the source block,
    // even when only the CR fits now.
    const Bytes crlf = {13, 10};
    EXPECT_EQ(codec.Encode(crlf.data(), crlf.size(), dst.data(), 1, written), 1u);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(dst[0], 13);
    EXPECT_EQ(codec.Encode(src.data(), src.size(), dst.data(), 0, written), 0u);
    const Bytes plain = {'x', 'y', 'z'};
    EXPECT_EQ(codec.Encode(plain.data(), plain.size(), dst.data(), 2, written), 2u);
}

TEST(TelnetDecode, DataEscapesAndCarriageReturnsAtEverySplit) {
    ExpectDecodes({255, 255}, {255}, {});
    ExpectDecodes({'a', 255, 255, 255, 255, 'b'}, {'a', 255, 255, 'b'}, {});
    ExpectDecodes(ToBytes(std::string("[R98T4AH]\r\0", 11)), ToBytes("[R98T4AH]\r"), {});
    ExpectDecodes(ToBytes("ab\r\ncd"), ToBytes("ab\r\ncd"), {});
    ExpectDecodes(ToBytes(std::string("\r\r\0\rx\r", 6)), ToBytes("\r\r\rx\r"), {});
    // A NUL after CR goes only once; a second NUL is data.
    ExpectDecodes(ToBytes(std::string("\r\0\0", 3)), ToBytes(std::string("\r\0", 2)), {});
    // Two IAC pairs that are neither negotiation nor escape deliver nothing.
    ExpectDecodes({'a', 255, 241, 'b', 255, 240, 'c'}, ToBytes("abc"), {});
    // CR then a command: the CR is delivered; the following NUL after the command is data.
    ExpectDecodes({13, 255, 241, 0}, {13, 0}, {});
}

TEST(TelnetDecode, NegotiationAndTerminalTypeAtEverySplit) {
    ExpectDecodes({255, 253, 24}, {}, {255, 251, 24});
    ExpectDecodes({255, 250, 24, 1, 255, 240}, {}, TerminalReply);
    ExpectDecodes({255, 251, 5}, {}, {255, 254, 5});
    ExpectDecodes({255, 253, 1}, {}, {255, 252, 1});
    ExpectDecodes(Cat({ToBytes("a"),
                       {255, 253, 24},
                       ToBytes("b"),
                       {255, 250, 24, 1, 255, 240},
                       ToBytes("c\r"),
                       {255, 251, 5},
                       {0}}),
                  ToBytes(std::string("abc\r\0", 5)), Cat({{255, 251, 24}, TerminalReply, {255, 254, 5}}));
    // Parameters may hold an escaped 255 and stray commands; only IAC SE ends them.
    ExpectDecodes({255, 250, 24, 1, 255, 255, 240, 255, 241, 255, 240, 'x'}, {'x'}, TerminalReply);
    // Other subnegotiations and empty ones are swallowed without a reply.
    ExpectDecodes({255, 250, 31, 0, 80, 0, 24, 255, 240, 'y'}, {'y'}, {});
    ExpectDecodes({255, 250, 255, 240, 'z'}, {'z'}, {});
}

TEST(TelnetDecode, TerminalTypeRequestIsAnsweredOnceInOneSend) {
    TTelnetCodec codec;
    const TDecoded d = DecodePieces(codec, {255, 250, 24, 1, 255, 240, 255, 250, 24, 1}, {3, 5});
    EXPECT_EQ(d.Sends, 1); // the second request has no IAC SE yet
    EXPECT_EQ(d.Sent, TerminalReply);
    TTelnetCodec named("ansi\xff");
    const TDecoded n = DecodePieces(named, {255, 250, 24, 1, 255, 240}, {});
    EXPECT_EQ(n.Sent, (Bytes{255, 250, 24, 0, 'a', 'n', 's', 'i', 255, 255, 255, 240}));
}

TEST(TelnetDecode, SubnegotiationIsConsumedAsItArrivesAndBounded) {
    TTelnetCodec codec;
    TTelnetTrace trace;
    Bytes out(16);
    Bytes head = {255, 250, 24, 1};
    head.resize(4 + TTelnetCodec::MaxSubnegotiation, 'p'); // 2 + 256 parameter bytes: too long
    const TTelnetDecodeResult r = codec.Decode(head.data(), head.size(), out.data(), out.size(), trace);
    EXPECT_EQ(r.Consumed, head.size()); // nothing left for the caller to hold
    EXPECT_EQ(r.Produced, 0u);
    const Bytes tail = {255, 240, 'k'};
    const TTelnetDecodeResult t = codec.Decode(tail.data(), tail.size(), out.data(), out.size(), trace);
    EXPECT_EQ(t.Produced, 1u);
    EXPECT_EQ(out[0], 'k');
    EXPECT_EQ(trace.Sends, 0);
    ASSERT_EQ(trace.Events.size(), 1u);
    EXPECT_EQ(trace.Events[0], std::make_pair(teSubDropped, std::uint8_t{24}));

    // Exactly at the bound it is still answered.
    Bytes fits = {255, 250, 24};
    fits.resize(2 + TTelnetCodec::MaxSubnegotiation, 1);
    fits.insert(fits.end(), {255, 240});
    EXPECT_EQ(DecodeWhole(fits).Sent, TerminalReply);
}

TEST(TelnetDecode, ResetInputForgetsAPartialSequence) {
    TTelnetCodec codec;
    EXPECT_TRUE(DecodePieces(codec, {'a', 255, 250, 24, 1}, {}).Data == Bytes{'a'});
    codec.ResetInput();
    EXPECT_EQ(DecodePieces(codec, ToBytes("next"), {}).Data, ToBytes("next"));
}

// Every verb against the options with rules of their own and one without,
// from each option state, with nothing agreed with the peer before. Expected
// answers and states written out in full.
TEST(TelnetNegotiation, AnswersEveryVerbAndOptionAsTheTableSays) {
    struct Case {
        std::uint8_t Verb, Option;
        TTelnetOpt Before;
        int Reply; // -1 none
        TTelnetOpt After;
    };
    const std::uint8_t WILL = 251, WONT = 252, DO = 253, DONT = 254;
    const TTelnetOpt F = tnoFalse, N = tnoNegotiating, T = tnoTrue;
    const Case cases[] = {
        {WILL, 0, F, DO, T},    {WILL, 0, T, DO, T},   {WILL, 0, N, -1, T},   {WILL, 1, F, DO, F},
        {WILL, 1, T, DO, T},    {WILL, 1, N, -1, T},   {WILL, 3, F, DO, F},   {WILL, 3, N, -1, T},
        {WILL, 24, F, DONT, F}, {WILL, 5, F, DONT, F}, {WONT, 0, T, DONT, F}, {WONT, 0, F, -1, F},
        {WONT, 0, N, -1, F},    {WONT, 1, T, DONT, F}, {WONT, 1, N, -1, F},   {WONT, 3, T, DONT, F},
        {WONT, 3, N, -1, F},    {WONT, 24, F, -1, F},  {DO, 0, F, WILL, T},   {DO, 0, N, -1, T},
        {DO, 1, F, WONT, F},    {DO, 1, T, WONT, T},   {DO, 3, F, WONT, F},   {DO, 3, T, WILL, T},
        {DO, 3, N, -1, T},      {DO, 24, F, WILL, F},  {DO, 5, F, WONT, F},   {DONT, 0, T, WONT, F},
        {DONT, 0, N, -1, F},    {DONT, 1, T, -1, T},   {DONT, 3, T, WONT, F}, {DONT, 3, N, -1, F},
        {DONT, 24, F, -1, F},   {DONT, 200, F, -1, F},
    };
    for (const Case& c : cases) {
        TTelnetCodec codec;
        TTelnetOpt& state = c.Option == 0   ? codec.FOptBinary
                            : c.Option == 1 ? codec.FOptEcho
                                            : codec.FOptSupga;
        state = c.Before;
        TTelnetTrace trace;
        codec.HandleCommand(c.Verb, c.Option, trace);
        const Bytes expected =
            c.Reply < 0 ? Bytes{} : Bytes{255, static_cast<std::uint8_t>(c.Reply), c.Option};
        SCOPED_TRACE(::testing::Message()
                     << int(c.Verb) << " " << int(c.Option) << " from " << int(c.Before));
        EXPECT_EQ(trace.Sent, expected);
        EXPECT_EQ(trace.Sends, c.Reply < 0 ? 0 : 1);
        const bool hasState = c.Option == 0 || c.Option == 1 || c.Option == 3;
        if (hasState) {
            EXPECT_EQ(state, c.After);
        }
        // Only the option named changes.
        for (TTelnetOpt* other : {&codec.FOptBinary, &codec.FOptEcho, &codec.FOptSupga}) {
            if (other != &state || !hasState) {
                EXPECT_EQ(*other, tnoFalse);
            }
        }
        ASSERT_FALSE(trace.Events.empty());
        EXPECT_EQ(trace.Events[0].first, static_cast<TTelnetEvent>(teRWill + (c.Verb - WILL)));
    }
}

// A peer that answers every request with its opposite number (WONT with DONT,
// DO with WILL, ...) and the reverse: each exchange must die out at once,
// while every request that changes something is still answered.
TEST(TelnetNegotiation, NoExchangeLoopsAndEveryChangeIsAnswered) {
    const std::uint8_t WILL = 251, WONT = 252, DO = 253, DONT = 254;
    const auto mirrored = [=](std::uint8_t verb) -> std::uint8_t {
        return verb == WILL ? DO : verb == DO ? WILL : verb == WONT ? DONT : WONT;
    };
    for (const std::uint8_t opening : {WILL, WONT, DO, DONT}) {
        for (const std::uint8_t option : {0, 1, 3, 5, 24}) {
            SCOPED_TRACE(::testing::Message() << int(opening) << " " << int(option));
            TTelnetCodec codec;
            TTelnetTrace trace;
            std::uint8_t verb = opening;
            int exchanges = 0;
            while (exchanges < 50) {
                const std::size_t before = trace.Sent.size();
                codec.HandleCommand(verb, option, trace);
                if (trace.Sent.size() == before)
                    break;
                verb = mirrored(trace.Sent[trace.Sent.size() - 2]);
                ++exchanges;
            }
            EXPECT_LE(exchanges, 2);
        }
    }

    // Changes are answered, repeats of the present state are not, and a new
    // peer starts with nothing agreed.
    TTelnetCodec codec;
    TTelnetTrace trace;
    const auto reply = [&](std::uint8_t verb, std::uint8_t option) {
        trace.Sent.clear();
        codec.HandleCommand(verb, option, trace);
        return trace.Sent;
    };
    EXPECT_EQ(reply(WONT, 1), Bytes{});
    EXPECT_EQ(reply(WILL, 1), (Bytes{255, DO, 1}));
    EXPECT_EQ(reply(WILL, 1), Bytes{});
    EXPECT_EQ(reply(WONT, 1), (Bytes{255, DONT, 1}));
    EXPECT_EQ(reply(WONT, 1), Bytes{});
    EXPECT_EQ(reply(DONT, 24), Bytes{});
    EXPECT_EQ(reply(DO, 24), (Bytes{255, WILL, 24}));
    EXPECT_EQ(reply(DONT, 24), (Bytes{255, WONT, 24}));
    EXPECT_EQ(reply(DO, 5), (Bytes{255, WONT, 5}));
    EXPECT_EQ(reply(DO, 5), (Bytes{255, WONT, 5})); // each new request is refused again
    EXPECT_EQ(reply(DONT, 5), Bytes{});
    EXPECT_EQ(reply(WILL, 1), (Bytes{255, DO, 1}));
    codec.ResetPeer();
    EXPECT_EQ(reply(WILL, 1), (Bytes{255, DO, 1}));
}

TEST(TelnetNegotiation, BinarySwitchesCarriageReturnHandlingBothWays) {
    TTelnetCodec codec;
    TTelnetTrace trace;
    Bytes out(32);
    auto feed = [&](const Bytes& in) {
        const TTelnetDecodeResult r = codec.Decode(in.data(), in.size(), out.data(), out.size(), trace);
        return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.Produced));
    };
    const Bytes crNul = {13, 0};
    EXPECT_EQ(feed(crNul), (Bytes{13}));
    EXPECT_EQ(EncodeAll(codec, {13}), crNul);

    // The peer asks for binary and we agree: CR NUL now passes through as data.
    EXPECT_EQ(feed({255, 253, 0, 13, 0}), crNul);
    EXPECT_EQ(trace.Sent, (Bytes{255, 251, 0}));
    EXPECT_EQ(codec.FOptBinary, tnoTrue);
    EXPECT_EQ(EncodeAll(codec, {13}), (Bytes{13}));

    // The peer leaves binary: back to text rules in both directions.
    EXPECT_EQ(feed({255, 252, 0, 13, 0}), (Bytes{13}));
    EXPECT_EQ(codec.FOptBinary, tnoFalse);
    EXPECT_EQ(EncodeAll(codec, {13}), crNul);

    // The CR seen in text mode drops its NUL even when it arrives alone.
    EXPECT_EQ(feed({13}), (Bytes{13}));
    EXPECT_EQ(feed({0, 'a'}), (Bytes{'a'}));
}

TEST(TelnetCodec, EveryByteValueAndPairSurvivesEncodeThenDecode) {
    for (const TTelnetOpt binary : {tnoFalse, tnoTrue}) {
        TTelnetCodec codec;
        codec.FOptBinary = binary;
        Bytes all;
        for (int v = 0; v < 256; ++v)
            all.push_back(static_cast<std::uint8_t>(v));
        const TDecoded single = DecodeWhole(EncodeAll(codec, all), binary);
        EXPECT_EQ(single.Data, all);
        EXPECT_TRUE(single.Sent.empty());

        // Every ordered pair, so each byte is seen after each other byte
        // (CR before NUL, LF, IAC ...), in one block.
        Bytes pairs;
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b) {
                pairs.push_back(static_cast<std::uint8_t>(a));
                pairs.push_back(static_cast<std::uint8_t>(b));
            }
        const TDecoded both = DecodeWhole(EncodeAll(codec, pairs), binary);
        EXPECT_EQ(both.Data, pairs);
        EXPECT_TRUE(both.Events.empty());
    }
}

TEST(TelnetCodec, StoredCorpusKeepsEveryInvariant) {
    const std::filesystem::path dir = DRAVANE_TELNET_CORPUS;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        const Bytes data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(TelnetFuzzOne(data.data(), data.size()), "") << entry.path();
        ++files;
    }
    EXPECT_GE(files, 8);
}
