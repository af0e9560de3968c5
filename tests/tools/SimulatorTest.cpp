// The simulator core in-process, its clock driven by the test.
#include "sim/Simulator.h"
#include "comm/NetDefs.h"
#include "comm/Packet.h"

#include <gtest/gtest.h>

#include <array>

namespace dravane::sim {
namespace {

using namespace std::literals;

const TClock::time_point t0{};

std::string command(std::uint8_t button) {
    return comm::FormatPacket(comm::baseDravane, comm::cmd485_SetDravane,
                              std::string(1, static_cast<char>(button)));
}

std::string status(int mode, int direction) {
    return "[T4BR0198H00M0" + std::to_string(mode) + "0" + std::to_string(direction) + "]\r";
}

// Feeds bytes at t0 and takes what is due then.
std::string talk(TSimulator& sim, std::string_view bytes) {
    sim.Receive(bytes, t0);
    return sim.TakeDue(t0);
}

TEST(Simulator, EveryButtonFromEveryStateAnswersWithTheNewState) {
    // Expected direction after left, right and FLIP from direction 0..7.
    constexpr std::array<int, 8> left{7, 0, 1, 2, 3, 4, 5, 6};
    constexpr std::array<int, 8> right{1, 2, 3, 4, 5, 6, 7, 0};
    constexpr std::array<int, 8> flip{4, 5, 6, 7, 0, 1, 2, 3};
    for (int mode = amUni; mode <= amOmni; ++mode)
        for (int d = 0; d < 8; ++d)
            for (int button = btLeft; button <= btOmni; ++button) {
                TSimulator sim(
                    {.Mode = static_cast<TAntennaMode>(mode), .Direction = static_cast<std::uint8_t>(d)}, t0,
                    1);
                const int wantMode = button == btUni ? 1 : button == btBi ? 2 : button == btOmni ? 3 : mode;
                const int wantDir = button == btLeft    ? left[d]
                                    : button == btRight ? right[d]
                                    : button == btFlip  ? flip[d]
                                                        : d;
                const std::string answer = talk(sim, command(static_cast<std::uint8_t>(button)));
                ASSERT_EQ(answer, status(wantMode, wantDir))
                    << "mode " << mode << " dir " << d << " button " << button;
                // What the program's own parser makes of it.
                comm::TNetPacket p;
                ASSERT_TRUE(comm::ParsePacketLine(std::string_view(answer).substr(0, answer.size() - 1), p));
                EXPECT_EQ(p, (comm::TNetPacket{comm::cmd485_DravaneStatus,
                                               0x01,
                                               comm::baseDravane,
                                               0x00,
                                               {char(wantMode), char(wantDir)}}));
            }
}

TEST(Simulator, StateCarriesOverFromCommandToCommand) {
    TSimulator sim({}, t0, 1);
    EXPECT_EQ(talk(sim, command(btLeft)), status(1, 7));
    EXPECT_EQ(talk(sim, command(btFlip)), status(1, 3));
    EXPECT_EQ(talk(sim, command(btOmni)), status(3, 3));
    EXPECT_EQ(talk(sim, command(btRight) + command(btRight)), status(3, 4) + status(3, 5));
    EXPECT_EQ(talk(sim, "[LINK]\r"), "[LINKOK]\r");
    EXPECT_EQ(sim.Mode(), amOmni);
    EXPECT_EQ(sim.Direction(), 5);
}

TEST(Simulator, LinesThatAreNotItsCommandsGetNoAnswerAndChangeNothing) {
    TSimulator sim({.Mode = amBi, .Direction = 6}, t0, 1);
    for (const char* line : {"[REMOTE]", "Link test", "", "[LINKOK]", " [LINK]", "[LINK] ",
                             "[R98T4BH02]",   // another command byte
                             "[R01T4AH02]",   // another address
                             "[R98T4AH00]",   // no such button
                             "[R98T4AH07]",   // no such button
                             "[R98T4AH]",     // no payload
                             "[R98T4AH0202]", // two payload bytes
                             "[R98T4AH2]",    // half a payload byte
                             "[R98T4Ah02]",   // lower case
                             "[R98T4AH02",    // no closing bracket
                             "[R98T4AH02]]",  // trailing text
                             "R98T4AH02]"}) { // no opening bracket
        EXPECT_EQ(talk(sim, std::string(line) + "\r"), "") << line;
    }
    EXPECT_EQ(sim.Mode(), amBi);
    EXPECT_EQ(sim.Direction(), 6);
    EXPECT_EQ(talk(sim, command(btRight)), status(2, 7));
}

TEST(Simulator, LinesArriveInAnyPiecesAndOverlongOnesAreDropped) {
    TSimulator sim({}, t0, 1);
    const std::string input = "\n\0[LINK]\r\n"s
                              "[R98T4AH02]\r\0"s;
    const std::string want = "[LINKOK]\r" + status(1, 1);
    for (std::size_t piece : {1u, 2u, 3u, 7u}) {
        TSimulator split({}, t0, 1);
        std::string got;
        for (std::size_t i = 0; i < input.size(); i += piece)
            got += talk(split, std::string_view(input).substr(i, piece));
        EXPECT_EQ(got, want) << "pieces of " << piece;
    }
    // A line over 1024 bytes is dropped whole, up to the next CR, even when
    // it ends like a command; the line after it counts.
    EXPECT_EQ(talk(sim, std::string(1024, 'x') + "[LINK]\r"), "");
    EXPECT_EQ(talk(sim, std::string(1 << 20, 'x')), "");
    EXPECT_EQ(talk(sim, "[R98T4AH02]\r[LINK]\r"), "[LINKOK]\r");
    EXPECT_EQ(sim.Direction(), 0);
}

TEST(Simulator, FaultOptionsWithholdAnswersAndWithheldCommandsAreNotCarriedOut) {
    struct Case {
        TSimOptions options;
        std::string want;
    };
    // Each case gets "[LINK]", then right, right, right, FLIP.
    const Case cases[] = {
        {{.Silent = true}, ""},
        {{.LinkOkOnly = true}, "[LINKOK]\r"},
        {{.AnswerEvery = 2}, "[LINKOK]\r" + status(1, 1) + status(1, 5)},
        {{.AnswerEvery = 3}, "[LINKOK]\r" + status(1, 1)},
        {{.Silent = true, .LinkOkOnly = true}, ""},
    };
    for (const auto& c : cases) {
        TSimulator sim(c.options, t0, 1);
        EXPECT_EQ(
            talk(sim, "[LINK]\r" + command(btRight) + command(btRight) + command(btRight) + command(btFlip)),
            c.want)
            << c.want;
    }
}

TEST(Simulator, DelayedAnswersFallDueInOrderAndTheQueueIsBounded) {
    TSimulator sim({.Delay = 300ms}, t0, 1);
    sim.Receive("[LINK]\r", t0);
    sim.Receive(command(btRight), t0 + 100ms);
    EXPECT_EQ(sim.NextDue(), t0 + 300ms);
    EXPECT_EQ(sim.TakeDue(t0 + 299ms), "");
    EXPECT_EQ(sim.TakeDue(t0 + 300ms), "[LINKOK]\r");
    EXPECT_EQ(sim.NextDue(), t0 + 400ms);
    EXPECT_EQ(sim.TakeDue(t0 + 500ms), status(1, 1));
    EXPECT_EQ(sim.NextDue(), std::nullopt);

    std::string flood;
    for (std::size_t i = 0; i < 2 * TSimulator::MaxPending; ++i)
        flood += "[LINK]\r";
    sim.Receive(flood, t0 + 1s);
    std::string got = sim.TakeDue(t0 + 2s);
    EXPECT_EQ(std::count(got.begin(), got.end(), '\r'), TSimulator::MaxPending);
}

TEST(Simulator, UnrequestedStatusAndNoiseKeepTheirTimes) {
    TSimulator sim({.Direction = 7, .StatusEvery = 5s}, t0, 1);
    EXPECT_EQ(sim.NextDue(), t0 + 5s);
    EXPECT_EQ(sim.TakeDue(t0 + 4s), "");
    EXPECT_EQ(sim.TakeDue(t0 + 5s), status(1, 0)); // turned by hand, wrapping round
    EXPECT_EQ(sim.NextDue(), t0 + 10s);
    EXPECT_EQ(sim.TakeDue(t0 + 33s), status(1, 1)); // missed beats are not made up
    EXPECT_EQ(sim.NextDue(), t0 + 38s);

    // Noise: bursts of 1..8 bytes, never a CR, half a second to four apart;
    // the same seed gives the same noise.
    TSimulator a({.Noise = true}, t0, 42), b({.Noise = true}, t0, 42);
    std::string noiseA, noiseB;
    auto now = t0;
    for (int i = 0; i < 200; ++i) {
        const auto due = a.NextDue();
        ASSERT_TRUE(due);
        EXPECT_GE(*due - now, 500ms);
        EXPECT_LE(*due - now, 4000ms);
        now = *due;
        const std::string burst = a.TakeDue(now);
        EXPECT_GE(burst.size(), 1u);
        EXPECT_LE(burst.size(), 8u);
        noiseA += burst;
        noiseB += b.TakeDue(now);
    }
    EXPECT_EQ(noiseA.find('\r'), std::string::npos);
    EXPECT_EQ(noiseA, noiseB);
}

} // namespace
} // namespace dravane::sim
