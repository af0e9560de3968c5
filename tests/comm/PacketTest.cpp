#include "comm/Packet.h"
#include "comm/LineAssembler.h"
#include "comm/StrFunct.h"

#include <gtest/gtest.h>
#include <vector>

using namespace dravane::comm;

namespace {
std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

TNetPacket parse(std::string_view line, bool* complete = nullptr) {
    TNetPacket p{1, 2, 3, 4, "junk"};
    const bool ok = ParsePacketLine(line, p);
    if (complete)
        *complete = ok;
    return p;
}

std::vector<std::string> feedAll(TLineAssembler& a, std::string_view input) {
    std::vector<std::string> lines;
    std::string line;
    for (const char c : input) {
        if (a.Feed(static_cast<std::uint8_t>(c), line))
            lines.push_back(line);
    }
    return lines;
}
} // namespace

TEST(FormatPacket, RightArrowCommandIsTheDocumentedBytes) {
    EXPECT_EQ(FormatPacket(0x98, 0x4A, bytes({2})),
              bytes({0x5B, 0x52, 0x39, 0x38, 0x54, 0x34, 0x41, 0x48, 0x30, 0x32, 0x5D, 0x0D}));
}

TEST(FormatPacket, EmptyPayloadAndTwoDigitUpperCaseBytes) {
    EXPECT_EQ(FormatPacket(0x01, 0x08, ""), "[R01T08H]\r");
    EXPECT_EQ(FormatPacket(0xFA, 0x00, bytes({0x0A, 0xFF, 0x00})), "[RFAT00H0AFF00]\r");
}

TEST(HexToByte, UpperCaseOnlyAndMissingDigitsReadAsZero) {
    EXPECT_EQ(HexToByte("4B"), 0x4B);
    EXPECT_EQ(HexToByte("4b"), 0x40);
    EXPECT_EQ(HexToByte("F"), 0xF0);
    EXPECT_EQ(HexToByte(""), 0);
    EXPECT_EQ(HexToByte("]0"), 0x00);
    EXPECT_EQ(HexToByte("FFx"), 0xFF);
    EXPECT_EQ(GetValue('a'), 0);
    EXPECT_EQ(GetValue('G'), 0);
}

TEST(ParsePacketLine, StatusReplyDecodesEveryField) {
    bool complete = false;
    const auto p = parse("[T4BR0198H00M0103]", &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(p, (TNetPacket{0x4B, 0x01, 0x98, 0x00, bytes({1, 3})}));
}

TEST(ParsePacketLine, PayloadEdgeCases) {
    EXPECT_EQ(parse("[T4BR0198H00M010]").Data, bytes({1, 0}));  // odd digit count: "0]" reads as 0
    EXPECT_EQ(parse("[T4BR0198H00M0103").Data, bytes({1, 3}));  // no "]"
    EXPECT_EQ(parse("[T4BR0198H00M01030").Data, bytes({1, 3})); // last character never starts a pair
    EXPECT_EQ(parse("[T4BR0198H00M]").Data, "");
    EXPECT_EQ(parse("[T4BR0198H00M").Data, "");
    EXPECT_EQ(parse("[T4BR0198H00MFFx0]").Data, bytes({0xFF})); // stops at the non-hex "x"
    EXPECT_EQ(parse("[T4BR0198H00Mff]").Data, "");              // lower case ends the payload
    EXPECT_EQ(parse("[T4bR0198H00M01]").Cmd, 0x40);
}

TEST(ParsePacketLine, MarkerMismatchesStopAndLeaveThePacketPartlyFilled) {
    bool complete = true;
    EXPECT_EQ(parse("[", &complete), TNetPacket{});
    EXPECT_FALSE(complete);
    EXPECT_EQ(parse("", &complete), TNetPacket{});
    EXPECT_EQ(parse("[LINKOK]", &complete), TNetPacket{});
    EXPECT_FALSE(complete);
    EXPECT_EQ(parse("[T4BX", &complete), (TNetPacket{0x4B, 0, 0, 0, ""}));
    EXPECT_EQ(parse("[T4BR0198X", &complete), (TNetPacket{0x4B, 0x01, 0x98, 0, ""}));
    EXPECT_EQ(parse("[T4BR0198H07X0103]", &complete), (TNetPacket{0x4B, 0x01, 0x98, 0x07, ""}));
    EXPECT_FALSE(complete);
    EXPECT_EQ(parse("[T4", &complete), (TNetPacket{0x40, 0, 0, 0, ""})); // cut-short field
    EXPECT_FALSE(complete);
}

TEST(ValidInteger, DigitsOnlyWithinSigned64Bits) {
    EXPECT_TRUE(ValidInteger("54902"));
    EXPECT_TRUE(ValidInteger("9223372036854775807"));
    for (const char* bad : {"", "-1", " 5", "5.0", "5a", "+5", "9223372036854775808", "12345678901234567890"})
        EXPECT_FALSE(ValidInteger(bad)) << bad;
}

TEST(LineAssembler, CrEndsLinesAndControlCharactersAreDropped) {
    TLineAssembler a;
    EXPECT_EQ(feedAll(a, "[LINKOK]\r\n[T4BR0198H00M0103]\r"),
              (std::vector<std::string>{"[LINKOK]", "[T4BR0198H00M0103]"}));
    EXPECT_EQ(feedAll(a, "\r\r\n\n"), std::vector<std::string>{}); // empty lines are not handed on
    EXPECT_EQ(feedAll(a, bytes({'A', 0, 9, 27, 'B', 0x7F, 0xC8, 13})),
              (std::vector<std::string>{bytes({'A', 'B', 0x7F, 0xC8})}));
}

TEST(LineAssembler, LineSplitOverSeveralDeliveriesAtEveryPoint) {
    const std::string input = "[T4BR0198H00M0103]\r\n";
    for (std::size_t cut = 0; cut <= input.size(); ++cut) {
        TLineAssembler a;
        auto lines = feedAll(a, input.substr(0, cut));
        const auto rest = feedAll(a, input.substr(cut));
        lines.insert(lines.end(), rest.begin(), rest.end());
        EXPECT_EQ(lines, std::vector<std::string>{"[T4BR0198H00M0103]"}) << "cut at " << cut;
    }
}

TEST(LineAssembler, OverlongLineIsDiscardedUpToTheNextCr) {
    TLineAssembler a;
    const std::string longest(TLineAssembler::MaxLine, 'A');
    EXPECT_EQ(feedAll(a, longest + "\r"), std::vector<std::string>{longest});
    const auto lines = feedAll(a, std::string(TLineAssembler::MaxLine + 1, 'B') + "[LINKOK]\r[LINKOK]\r");
    EXPECT_EQ(lines, std::vector<std::string>{"[LINKOK]"}); // the tail of the long line is not a line
    EXPECT_FALSE(a.Overflowed());
    feedAll(a, std::string(5000, 'C'));
    EXPECT_TRUE(a.Overflowed());
    EXPECT_LE(a.Pending().size(), TLineAssembler::MaxLine);
}
