// The command line: the usual forms, and whatever else still reaches the
// parser's own answers.

#include "platform/CommandLine.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using dravane::platform::ParseCommandLine;
using dravane::platform::TCommandLine;

namespace {

struct TParsed {
    std::optional<int> Exit;
    TCommandLine Options;
};

TParsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "dravane-server");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    TParsed p;
    p.Exit = ParseCommandLine(static_cast<int>(args.size()), argv.data(), "test", p.Options);
    return p;
}

} // namespace

TEST(CommandLine, UsualFormsAreReadAndEverythingElseGetsTheParsersAnswer) {
    TParsed p = Parse({});
    EXPECT_FALSE(p.Exit);
    EXPECT_TRUE(p.Options.ConfigFile.empty());
    EXPECT_FALSE(p.Options.Verbose);

    p = Parse({"--config", "/etc/dravane/dravane.ini", "-v"});
    EXPECT_FALSE(p.Exit);
    EXPECT_EQ(p.Options.ConfigFile, "/etc/dravane/dravane.ini");
    EXPECT_TRUE(p.Options.Verbose);
    p = Parse({"--verbose", "--config=a b.ini", "--config", "last.ini"});
    EXPECT_FALSE(p.Exit);
    EXPECT_EQ(p.Options.ConfigFile, "last.ini") << "the last one counts";

    // A value that looks like an option is the parser's to judge.
    p = Parse({"--config", "-v"});
    EXPECT_FALSE(p.Exit);
    EXPECT_EQ(p.Options.ConfigFile, "-v");
    EXPECT_FALSE(p.Options.Verbose);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--config"}, {"--config="}, {"--bogus"}, {"stray"}, {"-v", "-x"}})
        EXPECT_EQ(Parse(bad).Exit, 2) << bad.back();
    EXPECT_EQ(Parse({"--version"}).Exit, 0);
}
