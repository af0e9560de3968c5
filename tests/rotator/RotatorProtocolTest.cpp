#include "rotator/RotatorProtocol.h"

#include <gtest/gtest.h>

namespace dravane::test {
namespace {

using namespace rotator;

std::vector<TRotatorRequest> feed(TRotatorParser& parser, std::string_view bytes) {
    std::vector<TRotatorRequest> out;
    parser.Feed(bytes, out);
    return out;
}

TEST(RotatorProtocol, ParsesWhatClientsSendAndAnswersInTheirForm) {
    {
        SCOPED_TRACE("several commands in one write, short and long names, each form");
        TRotatorParser parser;
        const auto r =
            feed(parser, "P 200 0\r\np\n+\\get_pos\n;\\set_pos 135 22.5\n|_\n,S\n\\dump_state\nK\nq\n"
                         "\n\\chk_vfo\nM 8 1\n");
        const std::vector<TRotatorRequest> expected = {
            {rcSetPos, 0, "set_pos", "200 0"},
            {rcGetPos, 0, "get_pos", ""},
            {rcGetPos, '\n', "get_pos", ""},
            {rcSetPos, ';', "set_pos", "135 22.5"},
            {rcGetInfo, '|', "get_info", ""},
            {rcStop, ',', "stop", ""},
            {rcDumpState, 0, "dump_state", ""},
            {rcPark, 0, "park", ""},
            {rcQuit, 0, "quit", ""},
            {rcChkVfo, 0, "chk_vfo", ""},
            {rcUnknown, 0, "M", "8 1"},
        };
        EXPECT_EQ(r, expected);
    }
    {
        SCOPED_TRACE("a command split over writes parses as the whole");
        TRotatorParser parser;
        EXPECT_TRUE(feed(parser, "+\\se").empty());
        EXPECT_TRUE(feed(parser, "t_pos 20").empty());
        EXPECT_EQ(feed(parser, "0,5 0\np"),
                  (std::vector<TRotatorRequest>{{rcSetPos, '\n', "set_pos", "200,5 0"}}));
        EXPECT_EQ(feed(parser, "\n"), (std::vector<TRotatorRequest>{{rcGetPos, 0, "get_pos", ""}}));
    }
    {
        SCOPED_TRACE("an overlong line is dropped whole with one error, the next line stands");
        TRotatorParser parser;
        const std::string atBound = "P " + std::string(TRotatorParser::MaxLine - 2, '1');
        EXPECT_EQ(feed(parser, atBound + "\n").at(0).Command, rcSetPos);
        const auto r = feed(parser, "P " + std::string(TRotatorParser::MaxLine, '1'));
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].Command, rcOverlong);
        EXPECT_LE(parser.Held(), TRotatorParser::MaxLine);
        EXPECT_EQ(feed(parser, std::string(5000, '9') + "\np\n"),
                  (std::vector<TRotatorRequest>{{rcGetPos, 0, "get_pos", ""}}));
        EXPECT_EQ(FormatReply(r.at(0), rprtInvalid), "RPRT -1\n");
    }
    {
        SCOPED_TRACE("decimal comma or point; anything else is not a number");
        EXPECT_EQ(ParseSetPosAzimuth("200,5 0"), 200.5);
        EXPECT_EQ(ParseSetPosAzimuth("135.25 22,5"), 135.25);
        EXPECT_EQ(ParseSetPosAzimuth("90"), 90.0);
        for (const char* bad : {"", "abc 0", "200 x", "200 0 7", "nan 0", "inf 0", "1,2,3 0", "200deg 0"})
            EXPECT_EQ(ParseSetPosAzimuth(bad), std::nullopt) << bad;
    }
    {
        SCOPED_TRACE(
            "replies: values alone or RPRT in the default form; echo, records, RPRT in the extended");
        const TRotatorValues position = {{"Azimuth", FormatDecimal(225)}, {"Elevation", FormatDecimal(0)}};
        EXPECT_EQ(FormatReply({rcGetPos, 0, "get_pos", ""}, rprtOk, position), "225.000000\n0.000000\n");
        EXPECT_EQ(FormatReply({rcGetPos, 0, "get_pos", ""}, rprtNotAvailable, position), "RPRT -11\n");
        EXPECT_EQ(FormatReply({rcSetPos, 0, "set_pos", "200 0"}, rprtOk), "RPRT 0\n");
        EXPECT_EQ(FormatReply({rcGetPos, '\n', "get_pos", ""}, rprtOk, position),
                  "get_pos:\nAzimuth: 225.000000\nElevation: 0.000000\nRPRT 0\n");
        EXPECT_EQ(FormatReply({rcGetPos, ';', "get_pos", ""}, rprtOk, position),
                  "get_pos:;Azimuth: 225.000000;Elevation: 0.000000;RPRT 0\n");
        EXPECT_EQ(FormatReply({rcSetPos, '|', "set_pos", "135 22.5"}, rprtRejected),
                  "set_pos: 135 22.5|RPRT -9\n");
        EXPECT_EQ(FormatDumpState({rcDumpState, 0, "dump_state", ""}),
                  "1\n2\nmin_az=0.000000\nmax_az=360.000000\nmin_el=0.000000\nmax_el=0.000000\nsouth_zero=0\n"
                  "done\n");
        const std::string extended = FormatDumpState({rcDumpState, ',', "dump_state", ""});
        EXPECT_EQ(extended.find("dump_state:,"), 0u);
        EXPECT_NE(extended.find(",Minimum Azimuth: 0.000000,Maximum Azimuth: 360.000000,"),
                  std::string::npos);
        EXPECT_TRUE(extended.ends_with(",RPRT 0\n"));
    }
}

TEST(RotatorProtocol, AnAzimuthPicksTheNearestDirection) {
    EXPECT_EQ(DirectionBearing(0, 0), 45.0);
    EXPECT_EQ(DirectionBearing(7, 0), 0.0);
    EXPECT_EQ(DirectionBearing(3, -10), 170.0);
    EXPECT_EQ(DirectionBearing(7, 10), 10.0);
    EXPECT_EQ(DirectionBearing(0, -50), 355.0);
    EXPECT_EQ(NearestDirection(200, 0), 3);   // south
    EXPECT_EQ(NearestDirection(202.5, 0), 3); // a boundary goes to the lower index
    EXPECT_EQ(NearestDirection(202.6, 0), 4);
    EXPECT_EQ(NearestDirection(22.5, 0), 0); // between north (7) and north-east (0)
    EXPECT_EQ(NearestDirection(22.4, 0), 7);
    EXPECT_EQ(NearestDirection(359.9, 0), 7);
    EXPECT_EQ(NearestDirection(-90, 0), 5); // west
    EXPECT_EQ(NearestDirection(720 + 135, 0), 2);
    EXPECT_EQ(NearestDirection(170, -10), 3); // an offset array
    EXPECT_EQ(NearestDirection(190, 22.5), 3);
}

} // namespace
} // namespace dravane::test
