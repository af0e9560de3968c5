// dravane-sim as a program, over its pseudo-terminal.
#include "support/SimProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

namespace dravane::test {
namespace {

// "HH:MM:SS.mmm" followed by text.
bool stampedAs(const std::string& line, const std::string& text) {
    const std::string shape = "00:00:00.000";
    if (line.size() != shape.size() + text.size() || line.compare(shape.size(), text.size(), text) != 0)
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return false;
    return true;
}

// Log lines until one ends with `tail`; all of them, or empty when it does not come.
std::vector<std::string> logUntil(SimProcess& sim, const std::string& tail) {
    std::vector<std::string> lines;
    for (std::string line = sim.ReadLine(); !line.empty(); line = sim.ReadLine()) {
        lines.push_back(line);
        if (line.ends_with(tail))
            return lines;
    }
    return {};
}

TEST(SimProgram, AnswersOnItsTerminalThroughThePeersCloseAndReopen) {
    TempDir dir;
    const std::string link = dir.File("controller");
    SimProcess sim({"--link", link, "--log", "--delay", "20"});
    const std::string path = sim.ReadLine();
    ASSERT_TRUE(path.starts_with("/dev/pts/")) << path << sim.Err();
    EXPECT_EQ(std::filesystem::read_symlink(link), path);

    SimPeer peer(link);
    peer.Write("[LINK]\r\n[R98T4AH02]\r");
    EXPECT_EQ(peer.ReadLines(2), "[LINKOK]\r[T4BR0198H00M0101]\r");
    const auto log = logUntil(sim, "> [T4BR0198H00M0101]");
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(stampedAs(log[0], " < [LINK]")) << log[0];

    // The operator switches ports away and back. The answer due while the
    // port is closed goes out then (the log shows it) and waits in the
    // terminal; the simulator and the antenna's state stay.
    for (int turn = 2; turn <= 3; ++turn) {
        const std::string answer = "[T4BR0198H00M010" + std::to_string(turn) + "]";
        peer.Write("[R98T4AH02]\r");
        peer.Close();
        ASSERT_FALSE(logUntil(sim, "> " + answer).empty()) << sim.Err();
        peer.Open(path);
        EXPECT_EQ(peer.ReadLines(1), answer + "\r");
    }
    peer.Write("[R98T4AH01]\r");
    EXPECT_EQ(peer.ReadLines(1), "[T4BR0198H00M0102]\r");

    EXPECT_EQ(sim.Stop(SIGTERM), 0) << sim.Err();
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(SimProgram, DelayedAndThinnedAnswersStillArriveAndSigintEndsIt) {
    SimProcess sim({"--delay", "50", "--answer-every=2", "--mode", "omni", "--direction", "7"});
    SimPeer peer(sim.ReadLine());
    // The first right is withheld and not carried out; the second is answered.
    peer.Write("[R98T4AH02]\r[LINK]\r[R98T4AH02]\r");
    EXPECT_EQ(peer.ReadLines(2), "[LINKOK]\r[T4BR0198H00M0300]\r");
    EXPECT_EQ(sim.Stop(SIGINT), 0) << sim.Err();
}

TEST(SimProgram, SilentSimulatorSendsOnlyItsUnrequestedStatus) {
    SimProcess sim({"--silent", "--status-every", "1"});
    SimPeer peer(sim.ReadLine());
    peer.Write("[LINK]\r[R98T4AH05]\r");
    // Turned one step by hand; the FLIP was not carried out.
    EXPECT_EQ(peer.ReadLines(1), "[T4BR0198H00M0101]\r");
    EXPECT_EQ(sim.Stop(), 0) << sim.Err();
}

TEST(SimProgram, HelpVersionAndBadOptionsOneLineStatus2) {
    const std::vector<std::vector<std::string>> bad{{"--bogus"},
                                                    {"--delay"},
                                                    {"--delay", "-5"},
                                                    {"--delay", "1.5"},
                                                    {"--direction", "8"},
                                                    {"--mode", "SIDEWAYS"},
                                                    {"--answer-every", "0"},
                                                    {"--silent=yes"},
                                                    {"--status-every", "99999999999999999999"},
                                                    {"extra"}};
    for (const auto& args : bad) {
        SimProcess sim(args);
        EXPECT_EQ(sim.Wait(), 2) << args[0];
        EXPECT_EQ(sim.Out(), "") << args[0];
        const std::string err = sim.Err();
        EXPECT_TRUE(err.rfind("dravane-sim: ", 0) == 0 && err.size() > 14 && err.find('\n') == err.size() - 1)
            << err;
    }
    for (const char* asked : {"--help", "-h"}) {
        SimProcess help({asked});
        EXPECT_EQ(help.Wait(), 0) << asked;
        for (const char* option :
             {"--device", "--link", "--delay", "--answer-every", "--noise", "--status-every", "--mode",
              "--direction", "--silent", "--linkok-only", "--log", "--version"})
            EXPECT_NE(help.Out().find(option), std::string::npos) << asked << " " << option;
    }
    SimProcess version({"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.Out(), "dravane-sim " DRAVANE_VERSION "\n");
}

} // namespace
} // namespace dravane::test
