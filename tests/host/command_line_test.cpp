#include "host/cli/CommandLine.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace host {
namespace {

CommandLineResult Parse(std::vector<std::string> args) {
    return ParseCommandLine(args);
}

TEST(CommandLine, ReadsEveryOptionAndMode) {
    auto walk = Parse({});
    ASSERT_TRUE(walk.options);
    EXPECT_EQ(walk.options->mode, Mode::Run);
    EXPECT_TRUE(walk.options->scenarios.empty());
    EXPECT_EQ(walk.options->traceLevel, 0);
    EXPECT_FALSE(walk.options->json);

    auto r = Parse({"--driver", "/d.so", "--config", "c.reg", "--trace", "flow", "--json",
                    "--time-scale", "0.01", "a.scn", "b.scn"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->driverPath, "/d.so");
    EXPECT_EQ(r.options->configPath, "c.reg");
    EXPECT_EQ(r.options->traceLevel, 4);
    EXPECT_TRUE(r.options->json);
    EXPECT_DOUBLE_EQ(r.options->timeScale.value_or(0), 0.01);
    EXPECT_EQ(r.options->scenarios, (std::vector<std::string>{"a.scn", "b.scn"}));
    EXPECT_EQ(Parse({"--trace", "error"}).options->traceLevel, 2);
    EXPECT_EQ(Parse({"--trace", "verbose"}).options->traceLevel, 5);

    auto check = Parse({"--check-config", "x.reg"});
    ASSERT_TRUE(check.options);
    EXPECT_EQ(check.options->mode, Mode::CheckConfig);
    EXPECT_EQ(check.options->configPath, "x.reg");
    EXPECT_EQ(Parse({"--bench"}).options->mode, Mode::Bench);
    EXPECT_EQ(Parse({"--help"}).options->mode, Mode::Help);

    auto soak = Parse({"--soak", "--minutes", "0.5", "--seed", "18446744073709551615"});
    ASSERT_TRUE(soak.options) << soak.error;
    EXPECT_EQ(soak.options->mode, Mode::Soak);
    EXPECT_DOUBLE_EQ(soak.options->soakMinutes, 0.5);
    EXPECT_EQ(soak.options->soakSeed, 18446744073709551615ull);
    EXPECT_DOUBLE_EQ(Parse({"--soak"}).options->soakMinutes, 2.0);
    EXPECT_FALSE(Parse({"--soak"}).options->soakSeed);
}

TEST(CommandLine, RefusesWhatItCannotUse) {
    const std::vector<std::vector<std::string>> bad = {
        {"--trace", "loud"},
        {"--trace"},
        {"--driver"},
        {"--frobnicate"},
        {"--time-scale", "-1"},
        {"--time-scale", "x"},
        {"--time-scale", "1e-300"},
        {"--check-config"},
        {"--check-config", "x.reg", "a.scn"},
        {"--bench", "--check-config", "x.reg"},
        {"--soak", "--bench"},
        {"--soak", "a.scn"},
        {"--soak", "--minutes", "0"},
        {"--soak", "--minutes", "1441"},
        {"--soak", "--minutes"},
        {"--soak", "--seed", "18446744073709551616"},
        {"--soak", "--seed", "-1"},
        {"--seed", "1"},
        // Options the mode would not read, and files given twice.
        {"--soak", "--config", "x.reg"},
        {"--check-config", "x.reg", "--trace", "flow"},
        {"--bench", "--json"},
        {"--faults", "--json"},
        {"--faults", "--trace", "error"},
        {"--soak", "--time-scale", "0.01"},
        {"--check-config", "x.reg", "--fault", "CoInitializeEx:1"},
        {"--faults", "--fault-record", "r.txt"},
        {"--check-config", "x.reg", "--config", "y.reg"},
        {"--config", "x.reg", "--config", "y.reg"},
        {"--driver", "a.so", "--driver", "b.so"},
        // A file option followed by options takes no option as its file.
        {"--config", "--json"},
        {"--check-config", "--json"},
        {"--driver", "--json"},
        // POINT:CALL, CALL counted from 1 in 32 bits.
        {"--fault", "CoInitializeEx"},
        {"--fault", ":1"},
        {"--fault", "CoInitializeEx:0"},
        {"--fault", "CoInitializeEx:abc"},
        {"--fault", "CoInitializeEx:-1"},
        {"--fault", "CoInitializeEx:4294967296"},
        {"--fault", "CoInitializeEx:18446744073709551617"},
        {"--faults", "--jobs", std::to_string(MaxJobs() + 1)},
    };
    for (const auto& args : bad) {
        auto r = Parse(args);
        EXPECT_FALSE(r.options) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(r.error.empty()) << args[0];
    }
    EXPECT_NE(Parse({"--trace", "loud"}).error.find("'loud'"), std::string::npos);
    EXPECT_EQ(Parse({"--soak", "--config", "x.reg"}).error,
              "--config does not go with --soak: it goes with a scenario run, --faults "
              "(--check-config takes its file itself; the soak and the bench build "
              "configurations of their own)");
    EXPECT_NE(Parse({"--fault", "X:0"}).error.find("found 'X:0'"), std::string::npos);
    // A number past the most says what the most is, however far past it.
    const std::string jobs = "--jobs needs a number of runs at once from 1 to " +
                             std::to_string(MaxJobs()) + " (at most 4 runs at once per core";
    for (const char* n : {"0", "100000", "10000000", "2.5"}) {
        EXPECT_NE(Parse({"--faults", "--jobs", n}).error.find(jobs), std::string::npos) << n;
    }
    for (const char* n : {"0.5", "1000001", "1e9", "x"}) {
        EXPECT_EQ(Parse({"--faults", "--budget", n}).error,
                  "--budget needs a number of seconds from 1 to 1000000")
            << n;
    }
    EXPECT_DOUBLE_EQ(Parse({"--faults", "--budget", "1000000"}).options->budgetSeconds, 1e6);
}

TEST(CommandLine, TakesAFileBeforeOrAfterTheOptionsThatFollowItsOption) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--check-config", "--json", "x.reg"},
                                               {"--json", "--check-config", "x.reg"},
                                               {"--check-config", "x.reg", "--json"}}) {
        auto r = Parse(args);
        ASSERT_TRUE(r.options) << r.error;
        EXPECT_EQ(r.options->mode, Mode::CheckConfig);
        EXPECT_EQ(r.options->configPath, "x.reg");
        EXPECT_TRUE(r.options->json);
        EXPECT_TRUE(r.options->scenarios.empty());
    }
    auto run = Parse({"--config", "--json", "c.reg", "a.scn"});
    ASSERT_TRUE(run.options) << run.error;
    EXPECT_EQ(run.options->configPath, "c.reg");
    EXPECT_EQ(run.options->scenarios, std::vector<std::string>{"a.scn"});
}

TEST(CommandLine, ReadsAFaultCallAndBoundsTheJobs) {
    auto r = Parse({"--fault", "WdfMemoryCreate:Hvx0:4294967295", "--fault-record", "r.txt"});
    ASSERT_TRUE(r.options) << r.error;
    EXPECT_EQ(r.options->faultPoint, "WdfMemoryCreate:Hvx0");
    EXPECT_EQ(r.options->faultCall, 4294967295u);
    EXPECT_EQ(r.options->faultRecord, "r.txt");
    auto most = Parse({"--faults", "--jobs", std::to_string(MaxJobs())});
    ASSERT_TRUE(most.options) << most.error;
    EXPECT_EQ(most.options->jobs, MaxJobs());
    EXPECT_GE(MaxJobs(), 4u);
}

// Each synopsis line of --help shows every option its mode takes, and none
// that it refuses.
TEST(CommandLine, TheHelpShowsEachModeWithTheOptionsItTakes) {
    std::map<std::string, std::string> synopsis; // mode word -> its line(s)
    std::istringstream usage(UsageText());
    std::string mode;
    for (std::string line; std::getline(usage, line);) {
        if (line.find("halvex-host ") == 7) {
            std::string rest = line.substr(19);
            mode = rest.starts_with("--check-config") ? "--check-config"
                   : rest.starts_with("--bench")      ? "--bench"
                   : rest.starts_with("--soak")       ? "--soak"
                   : rest.starts_with("--faults")     ? "--faults"
                   : rest.starts_with("--help")       ? "--help"
                                                      : "";
        } else if (!line.starts_with("                   [")) {
            break; // the synopsis is over
        }
        synopsis[mode] += line + " ";
    }
    const std::map<std::string, std::vector<std::string>> modes = {
        {"", {}},
        {"--check-config", {"--check-config", "x.reg"}},
        {"--bench", {"--bench"}},
        {"--soak", {"--soak"}},
        {"--faults", {"--faults"}}};
    const std::vector<std::vector<std::string>> options = {{"--driver", "d.so"},
                                                           {"--config", "c.reg"},
                                                           {"--trace", "flow"},
                                                           {"--json"},
                                                           {"--time-scale", "1"},
                                                           {"--minutes", "1"},
                                                           {"--seed", "1"},
                                                           {"--budget", "1"},
                                                           {"--all-calls"},
                                                           {"--jobs", "1"},
                                                           {"--fault", "CoInitializeEx:1"},
                                                           {"--fault-record", "r.txt"}};
    for (const auto& [word, modeArgs] : modes) {
        ASSERT_TRUE(synopsis.count(word)) << "no synopsis line for '" << word << "'";
        for (const auto& option : options) {
            std::vector<std::string> args = modeArgs;
            args.insert(args.end(), option.begin(), option.end());
            const bool shown = synopsis[word].find("[" + option[0] + " ") != std::string::npos ||
                               synopsis[word].find("[" + option[0] + "]") != std::string::npos;
            EXPECT_EQ(Parse(args).options.has_value(), shown)
                << option[0] << " with '" << word << "': " << Parse(args).error << "\n"
                << synopsis[word];
        }
    }
}

} // namespace
} // namespace host
