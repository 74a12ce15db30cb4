#include "host/Scenario.h"

#include <gtest/gtest.h>

namespace host {
namespace {

Scenario Parse(const std::string& text) {
    ParseResult result = ParseScenario(text, "t.scn", "/base");
    EXPECT_FALSE(result.error) << result.error->ToString();
    return result.scenario.value_or(Scenario{});
}

SyntaxError ParseError(const std::string& text) {
    ParseResult result = ParseScenario(text, "t.scn", "/base");
    EXPECT_FALSE(result.scenario) << "parsed: " << text;
    return result.error.value_or(SyntaxError{});
}

TEST(ScenarioParser, SkipsCommentsAndBlankLinesAndKeepsLineNumbers) {
    Scenario s = Parse("# a walk\n\n  add   # device add\n\tstart\n");
    ASSERT_EQ(s.commands.size(), 2u);
    EXPECT_EQ(s.commands[0].op, Op::Add);
    EXPECT_EQ(s.commands[0].line, 3);
    EXPECT_EQ(s.commands[0].text, "add");
    EXPECT_EQ(s.commands[1].op, Op::Start);
    EXPECT_EQ(s.commands[1].line, 4);
}

TEST(ScenarioParser, KeepsTheCommentAboveACommandForTheTimeline) {
    Scenario s = Parse(
        "# The modem's interface\n#  arrives.\nwwan add\nstart\n# dropped\n\nadd # not this\n");
    ASSERT_EQ(s.commands.size(), 3u);
    EXPECT_EQ(s.commands[0].comment, "The modem's interface arrives.");
    EXPECT_EQ(s.commands[1].comment, "");
    EXPECT_EQ(s.commands[2].comment, "");
}

TEST(ScenarioParser, ReadsPowerCommandsWithStatesAndActions) {
    Scenario s =
        Parse("d0-entry D3Final hibernate\nd0-exit D3 sleep\nsleep\nwake\nhibernate\nresume\n"
              "shutdown\nremove\nunload\n");
    ASSERT_EQ(s.commands.size(), 9u);
    EXPECT_EQ(s.commands[0].op, Op::D0Entry);
    EXPECT_EQ(s.commands[0].a, 5u);
    EXPECT_EQ(s.commands[0].b, 3u);
    EXPECT_EQ(s.commands[1].op, Op::D0Exit);
    EXPECT_EQ(s.commands[1].a, 4u);
    EXPECT_EQ(s.commands[1].b, 2u);
    EXPECT_EQ(s.commands[8].op, Op::Unload);
}

TEST(ScenarioParser, ReadsIoctlsWithDecimalAndHexNumbers) {
    Scenario s = Parse("ioctl set-state 0x10 1\nioctl get-info\nioctl get-info 4\n"
                       "ioctl raw 0x81290804 in 01,00,00,00 outlen 16\nioctl raw 0x81290800\n");
    ASSERT_EQ(s.commands.size(), 5u);
    EXPECT_EQ(s.commands[0].op, Op::IoctlSetState);
    EXPECT_EQ(s.commands[0].a, 16u);
    EXPECT_EQ(s.commands[0].b, 1u);
    EXPECT_FALSE(s.commands[1].outLen);
    EXPECT_EQ(s.commands[2].outLen, 4u);
    EXPECT_EQ(s.commands[3].a, 0x81290804u);
    EXPECT_EQ(s.commands[3].bytes, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(s.commands[3].outLen, 16u);
    EXPECT_TRUE(s.commands[4].bytes.empty());
}

TEST(ScenarioParser, ReadsDevicesOfTheMachine) {
    Scenario s = Parse("display dimmed\nwwan add\nwwan remove 244\nmodem antennas 3 index 2\n"
                       "modem none\nmodem fail set notsupported always\nmodem fail config timeout\n"
                       "modem ok\nwait 10000\ntime-scale 0.001\n");
    ASSERT_EQ(s.commands.size(), 10u);
    EXPECT_EQ(s.commands[0].a, 2u);
    EXPECT_EQ(s.commands[1].a, 243u);
    EXPECT_EQ(s.commands[2].op, Op::WwanRemove);
    EXPECT_EQ(s.commands[2].a, 244u);
    EXPECT_EQ(s.commands[3].a, 3u);
    EXPECT_EQ(s.commands[3].b, 2u);
    EXPECT_EQ(s.commands[5].word, "set");
    EXPECT_EQ(s.commands[5].how, "notsupported");
    EXPECT_TRUE(s.commands[5].flag);
    EXPECT_FALSE(s.commands[6].flag);
    EXPECT_EQ(s.commands[8].a, 10000u);
    EXPECT_DOUBLE_EQ(s.commands[9].scale, 0.001);
}

TEST(ScenarioParser, ReadsTheSensorHub) {
    Scenario s = Parse("hub sar 0x0123456789ABCDEF:0xFEDCBA9876543210 1:2\n"
                       "hub report 0.5 from 3:0x4\nhub fail onchange -5\nhub raw 01,02\n"
                       "boot-time 200\nexpect hub-requests attr 2\nexpect hub-clients 1\n");
    ASSERT_EQ(s.commands.size(), 7u);
    EXPECT_EQ(s.commands[0].suids,
              (std::vector<std::uint64_t>{0x0123456789ABCDEFull, 0xFEDCBA9876543210ull, 1, 2}));
    EXPECT_DOUBLE_EQ(s.commands[1].value, 0.5);
    EXPECT_EQ(s.commands[1].suids, (std::vector<std::uint64_t>{3, 4}));
    EXPECT_EQ(s.commands[2].how, "onchange");
    EXPECT_EQ(static_cast<std::int32_t>(s.commands[2].a), -5);
    EXPECT_EQ(s.commands[3].bytes, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(s.commands[4].op, Op::BootTime);
    EXPECT_EQ(s.commands[5].word, "attr");
    EXPECT_TRUE(IsCheck(s.commands[6].op));
}

TEST(ScenarioParser, ReadsPartitionCommandsWithFilesInOneWordOrSeveral) {
    Scenario s =
        Parse("partition query-remove veto\npartition file TSRL\\A.BIN 00 09 0a,0b\n"
              "partition period 10000 big-endian\npartition fail read buffer-overflow always\n");
    ASSERT_EQ(s.commands.size(), 4u);
    EXPECT_TRUE(s.commands[0].flag);
    EXPECT_EQ(s.commands[1].path, "TSRL\\A.BIN");
    EXPECT_EQ(s.commands[1].bytes, (std::vector<std::uint8_t>{0, 9, 10, 11}));
    EXPECT_TRUE(s.commands[2].flag);
    EXPECT_EQ(s.commands[3].a, 0x80000005u);
    EXPECT_TRUE(s.commands[3].flag);
}

TEST(ScenarioParser, ReadsChecks) {
    Scenario s = Parse("expect status buffer-too-small\nexpect status 0xC0000001\nexpect bytes 8\n"
                       "expect output 0100000001000000\nexpect add success\nexpect channels 2\n"
                       "expect modem 3,-1,0\nexpect modem-sets 0\nexpect modem-enabled no\n"
                       "expect trace \"No channels configured properly in registry\"\n"
                       "expect no-trace \"say \\\"hi\\\" # not a comment\"\n");
    ASSERT_EQ(s.commands.size(), 11u);
    EXPECT_EQ(s.commands[0].a, 0xC0000023u);
    EXPECT_EQ(s.commands[1].a, 0xC0000001u);
    EXPECT_EQ(s.commands[3].bytes.size(), 8u);
    EXPECT_EQ(s.commands[4].a, 0u);
    EXPECT_EQ(s.commands[6].indexes, (std::vector<std::int32_t>{3, -1, 0}));
    EXPECT_FALSE(s.commands[8].flag);
    EXPECT_EQ(s.commands[9].word, "No channels configured properly in registry");
    EXPECT_EQ(s.commands[10].op, Op::ExpectNoTrace);
    EXPECT_EQ(s.commands[10].word, "say \"hi\" # not a comment");
    for (const auto& c : s.commands) {
        EXPECT_TRUE(IsCheck(c.op));
    }
}

TEST(ScenarioParser, ResolvesConfigPathsAgainstTheScenarioFolder) {
    Scenario s = Parse("config one.reg\nconfig /abs/two.reg\n");
    EXPECT_EQ(s.commands[0].path, "/base/one.reg");
    EXPECT_EQ(s.commands[1].path, "/abs/two.reg");
}

TEST(ScenarioParser, NamesFileLineAndWhatWasExpected) {
    SyntaxError e = ParseError("add\n\nioctrl set-state 1 1\n");
    EXPECT_EQ(e.file, "t.scn");
    EXPECT_EQ(e.line, 3);
    EXPECT_NE(e.message.find("expected a command"), std::string::npos) << e.message;
    EXPECT_NE(e.message.find("'ioctrl'"), std::string::npos) << e.message;
    EXPECT_EQ(e.ToString().rfind("t.scn:3: expected", 0), 0u) << e.ToString();
}

TEST(ScenarioParser, RefusesMalformedArguments) {
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"ioctl set-state 1\n", "expected a sensor state, found the end of the line"},
        {"ioctl set-state x 1\n", "expected a sensor ID (a decimal or 0x hex number), found 'x'"},
        {"ioctl set-state 1 99999999999\n", "found '99999999999'"},
        {"ioctl raw 0x81290804 in 0g\n", "expected input bytes"},
        {"ioctl raw 0x81290804 out 8\n", "expected an IOCTL option (in, outlen)"},
        {"add now\n", "expected the end of the line, found 'now'"},
        {"d0-entry D4 none\n", "expected the previous power state (D0, D1, D2, D3, D3Final)"},
        {"d0-exit D3 reboot\n", "expected a system power action"},
        {"display bright\n", "expected a display state (off, on, dimmed)"},
        {"hub sar 0x1\n", "expected a SUID (HIGH:LOW"},
        {"hub sar 1:0x\n", "expected a SUID (HIGH:LOW"},
        {"hub report near\n", "expected a sensor value"},
        {"hub fail attr 0\n", "expected a non-zero result"},
        {"expect hub-requests all 1\n", "expected a kind of request (lookup, attr, onchange)"},
        {"modem fail set crash\n", "expected how the step fails (timeout, error, notsupported)"},
        {"modem fail send timeout\n", "expected a modem step (config, enable, set)"},
        {"time-scale 0\n", "expected a time scale"},
        {"time-scale 1e-9\n", "from 0.0005 to 1000 (below 0.0005 the simulated devices cannot"},
        {"ioctl get-info 0xffffffff\n", "expected an output length of at most 1048576 bytes"},
        {"ioctl raw 1 outlen 1048577\n", "found '1048577'"},
        {std::string("ioctl\0 get-info\x1b\n", 17), "found 'ioctl\\0'"},
        {"display \x1b[2J\n", "found '\\x1b[2J'"},
        {"expect modem 1,,2\n", "expected back-off indexes in antenna order"},
        {"expect status maybe\n", "expected an NTSTATUS"},
        {"expect trace unquoted\n", "expected the trace text in double quotes"},
        {"expect trace \"open\n", "expected a closing '\"'"},
        {"expect modem-enabled 1\n", "expected yes or no"},
        {"wlan reply 256\n", "expected a reply byte (0 to 255), or empty"},
        {"wlan fail connect 5\n", "expected a WLAN operation (open, register-service"},
        {"expect wlan 1 1-3\n", "expected an entry MASK:INDEX, such as 1:3, found '1-3'"},
        {"expect\n", "expected what to check"},
        {"partition file TSRL 00\n", "expected a file as FOLDER\\NAME, found 'TSRL'"},
        {"partition fail list maybe\n", "expected an NTSTATUS"},
        {"partition hang write\n", "expected a partition request (list, read)"},
        {"proximity add p1 \"PROX\xc3\xa9\"\n", "expected a device id of printable ASCII"},
        {"proximity fail watch\n", "expected the call that fails (selector, create, start, stop"},
        {"expect proximity-watcher running\n", "expected the device watcher's state"},
    };
    for (const Case& c : cases) {
        SyntaxError e = ParseError(c.text);
        EXPECT_EQ(e.line, 1) << c.text;
        EXPECT_NE(e.message.find(c.expected), std::string::npos)
            << c.text << " gave: " << e.message;
    }
}

TEST(ScenarioParser, RefusesWaitsLongerThanTenMinutesOfRealTimeAtTheScaleInForce) {
    Scenario s = Parse("\xEF\xBB\xBFwait 600000\ntime-scale 0.001\nwait 600000000\n"
                       "time-scale 1\nwait 600001\n");
    EXPECT_EQ(s.commands[0].op, Op::Wait) << "a byte-order mark is not a command";
    EXPECT_FALSE(CheckWaits(Scenario{"", {s.commands[0]}}, 1.0));
    std::optional<SyntaxError> e = CheckWaits(s, 1.0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->line, 5) << e->message;
    EXPECT_NE(e->message.find("at most 10 minutes"), std::string::npos) << e->message;
    EXPECT_TRUE(CheckWaits(Scenario{"", {s.commands[2]}}, 1.0)) << "--time-scale sets the start";
}

TEST(ScenarioParser, ReportsAnUnreadableFile) {
    ParseResult result = ParseScenarioFile("/nonexistent/walk.scn");
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->file, "/nonexistent/walk.scn");
    EXPECT_NE(result.error->message.find("cannot read"), std::string::npos);
}

} // namespace
} // namespace host
