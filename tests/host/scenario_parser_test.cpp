#include "host/cli/Limits.h"
#include "host/scenario/Scenario.h"
#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace host {
namespace {

Scenario Parse(const std::string& text) {
    ParseResult result = ParseScenario(text, "t.scn", "/base");
    EXPECT_FALSE(result.error) << result.error->ToString();
    return result.scenario.value_or(Scenario{});
}

SyntaxError ParseError(const std::string& text) {
    ParseResult result = ParseScenario(text, "t.scn", "/base");
    EXPECT_FALSE(result.scenario) << "parsed: " << ::testing::PrintToString(text);
    return result.error.value_or(SyntaxError{});
}

// A number as a table row writes it: codes and SUIDs in hex.
std::string Number(std::uint64_t v) {
    std::ostringstream out;
    out << (v < 0x10000 ? "" : "0x") << (v < 0x10000 ? std::dec : std::hex) << v;
    return out.str();
}

// The fields a command sets, as a table row states them.
std::string Fields(const Command& c) {
    std::ostringstream out;
    out << (c.a != 0 ? " a=" + Number(c.a) : "") << (c.b != 0 ? " b=" + Number(c.b) : "")
        << (c.outLen ? " outlen=" + Number(*c.outLen) : "") << (c.bytes.empty() ? "" : " bytes=");
    for (int byte : c.bytes) {
        out << "0123456789abcdef"[byte >> 4] << "0123456789abcdef"[byte & 15];
    }
    for (std::size_t i = 0; i < c.indexes.size(); ++i) {
        out << (i == 0 ? " indexes=" : ",") << c.indexes[i];
    }
    for (std::size_t i = 0; i < c.suids.size(); ++i) {
        out << (i == 0 ? " suids=" : ",") << Number(c.suids[i]);
    }
    out << (c.word.empty() ? "" : " word=" + c.word) << (c.how.empty() ? "" : " how=" + c.how)
        << (c.path.empty() ? "" : " path=" + c.path) << (c.flag ? " flag" : "");
    if (c.scale != 1.0) {
        out << " scale=" << c.scale;
    }
    if (c.value != 0.0) {
        out << " value=" << c.value;
    }
    return out.str().empty() ? "" : out.str().substr(1);
}

TEST(ScenarioParser, ReadsEachCommandsArguments) {
    const std::pair<std::string, std::string> rows[] = {
        {"d0-entry D3Final hibernate", "a=5 b=3"},
        {"d0-exit D3 sleep", "a=4 b=2"},
        {"ioctl set-state 0x10 1", "a=16 b=1"},
        {"ioctl get-info", ""},
        {"ioctl get-info 4", "outlen=4"},
        {"ioctl raw 0x81290804 in 01,00,00,00 outlen 16", "a=0x81290804 outlen=16 bytes=01000000"},
        {"display dimmed", "a=2 word=dimmed"},
        {"wwan add", "a=243"},
        {"wwan remove 244", "a=244"},
        {"modem antennas 3 index 2", "a=3 b=2"},
        {"modem fail set notsupported always", "word=set how=notsupported flag"},
        {"modem fail config timeout", "word=config how=timeout"},
        {"wait 10000", "a=10000"},
        {"time-scale 0.001", "scale=0.001"},
        {"hub sar 0x0123456789ABCDEF:0xFEDCBA9876543210 1:2",
         "suids=0x123456789abcdef,0xfedcba9876543210,1,2"},
        {"hub report 0.5 from 3:0x4", "suids=3,4 value=0.5"},
        {"hub fail onchange -5", "a=0xfffffffb word=onchange"},
        {"hub raw 01,02", "bytes=0102"},
        {"boot-time 200", "a=200"},
        {"partition query-remove veto", "flag"},
        {"partition file TSRL\\A.BIN 00 09 0a,0b", "bytes=00090a0b path=TSRL\\A.BIN"},
        {"partition period 10000 big-endian", "a=10000 flag"},
        {"partition fail read buffer-overflow always", "a=0x80000005 word=read flag"},
        {"config one.reg", "path=/base/one.reg"},
        {"config /abs/two.reg", "path=/abs/two.reg"},
        {"expect status buffer-too-small", "a=0xc0000023"},
        {"expect status 0xC0000001", "a=0xc0000001"},
        {"expect output 0100000001000000", "bytes=0100000001000000"},
        {"expect add success", ""},
        {"expect modem 3,-1,0", "indexes=3,-1,0"},
        {"expect modem-enabled no", ""},
        {"expect modem-enabled yes", "flag"},
        {"expect trace \"No channels configured properly in registry\"",
         "word=No channels configured properly in registry"},
        {"expect no-trace \"say \\\"hi\\\" # not a comment\"", "word=say \"hi\" # not a comment"},
        {"expect hub-requests attr 2", "a=2 word=attr"},
    };
    for (const auto& [line, fields] : rows) {
        Scenario s = Parse(line + "\n");
        ASSERT_EQ(s.commands.size(), 1u) << line;
        EXPECT_EQ(Fields(s.commands[0]), fields) << line;
        EXPECT_EQ(IsCheck(s.commands[0].op), line.starts_with("expect")) << line;
    }
}

TEST(ScenarioParser, KeepsLineNumbersTextAndTheCommentAboveACommand) {
    Scenario s = Parse("\n# The modem's interface\n#  arrives.\n  wwan add   # not this\n\tstart\n"
                       "# dropped\n\nunload\n");
    ASSERT_EQ(s.commands.size(), 3u);
    EXPECT_EQ(s.commands[0].op, Op::WwanAdd);
    EXPECT_EQ(s.commands[0].line, 4);
    EXPECT_EQ(s.commands[0].text, "wwan add");
    EXPECT_EQ(s.commands[0].comment, "The modem's interface arrives.");
    EXPECT_EQ(s.commands[1].op, Op::Start);
    EXPECT_EQ(s.commands[1].line, 5);
    EXPECT_EQ(s.commands[1].comment, "");
    EXPECT_EQ(s.commands[2].op, Op::Unload);
    EXPECT_EQ(s.commands[2].comment, "");
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
        {"d0-entry D4 none\n", "expected the previous power state (D1, D2, D3, D3Final)"},
        {"d0-entry D0 none\n", "expected the previous power state (D1, D2, D3, D3Final)"},
        {"d0-exit D0 sleep\n", "expected the target power state (D1, D2, D3, D3Final)"},
        {"ioctl raw 1 outlen 4 outlen 8\n", "expected in and outlen once each at most, found"},
        {"ioctl raw 1 in 00 outlen 4 in 01\n", "expected in and outlen once each at most"},
        {"wlan readback 2 1:3\n", "expected Enable (0 or 1), found '2'"},
        {"expect wlan 2\n", "expected Enable (0 or 1), found '2'"},
        {"\xFF\xFEw\0a\0", "the file is UTF-16 little-endian text"},
        {"\xFE\xFF\0w\0a", "the file is UTF-16 big-endian text"},
        {std::string("w\0a\0i\0t\0", 8), "UTF-16 little-endian (without a byte-order mark)"},
        {std::string("\xFF\xFE\0\0w\0\0\0", 8), "the file is UTF-32 little-endian text"},
        {std::string("\0\0\xFE\xFF\0\0\0w", 8), "the file is UTF-32 big-endian text"},
        {std::string("w\0\0\0a\0\0\0", 8), "UTF-32 little-endian (without a byte-order mark)"},
        // What is not UTF-8 is quoted byte by byte, an overlong form as well.
        {"display T\xC1\xB9pe \xED\xA0\x80\n", "found 'T\\xc1\\xb9pe'"},
        {"display \xED\xA0\x80 \xC3\xA9\n", "found '\\xed\\xa0\\x80'"},
        {"display \xC2\x9B"
         "2J \xC3\xA9\n",
         "found '\\xc2\\x9b2J'"},
        {"d0-exit D3 reboot\n", "expected a system power action"},
        {"display bright\n", "expected a display state (off, on, dimmed)"},
        {"hub sar 0x1\n", "expected a SUID (HIGH:LOW"},
        {"hub report near\n", "expected a sensor value"},
        {"hub fail attr 0\n", "expected a non-zero result"},
        {"expect hub-requests all 1\n", "expected a kind of request (lookup, attr, onchange)"},
        {"modem fail set crash\n", "expected how the step fails (timeout, error, notsupported)"},
        {"modem fail send timeout\n", "expected a modem step (config, enable, set)"},
        {"time-scale 1e-9\n", "from 0.0005 to 1000 (below 0.0005 the simulated devices cannot"},
        {"ioctl get-info 0xffffffff\n", "expected an output length of at most 1048576 bytes"},
        {std::string("display \x1b[2J\0x\n", 15),
         "display state (off, on, dimmed), found '\\x1b[2J\\0x'"},
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
        EXPECT_EQ(e.line, 1) << ::testing::PrintToString(c.text);
        EXPECT_NE(e.message.find(c.expected), std::string::npos)
            << ::testing::PrintToString(c.text) << " gave: " << ::testing::PrintToString(e.message);
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
    // Together, at the scale in force where each stands: what the fault
    // runner gives a clean run.
    EXPECT_NEAR(RealWaitTime(s, 1.0).count(), 600 + 600 + 600.001, 1e-6);
    EXPECT_NEAR(RealWaitTime(s, 0.5).count(), 300 + 600 + 600.001, 1e-6);
}

// A file is read whole only up to the limit: what is not a file, or is far
// larger than any scenario, is refused by name instead of filling the memory.
TEST(ScenarioParser, ReadsAFileUpToTheLimitAndRefusesWhatIsNoFileOrLarger) {
    const std::string dir = halvex::testing::ProcessTempPath("scenario_files");
    std::filesystem::create_directories(dir);
    auto write = [&](const std::string& name, std::size_t bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary)
            << "#" << std::string(bytes - 2, 'x') << "\n";
        return dir + "/" + name;
    };
    struct Row {
        std::string path;
        const char* error; // empty: parsed
    };
    for (const Row& row : {Row{write("limit.scn", kMaxInputFile), ""},
                           Row{write("larger.scn", kMaxInputFile + 1), "larger than 4194304 bytes"},
                           Row{"/dev/zero", "it is a character device, not a regular file"},
                           Row{dir, "it is a directory, not a regular file"},
                           Row{dir + "/missing.scn", "cannot read the file (No such file"}}) {
        ParseResult result = ParseScenarioFile(row.path);
        if (*row.error == '\0') {
            EXPECT_TRUE(result.scenario) << row.path;
            continue;
        }
        ASSERT_TRUE(result.error) << row.path;
        EXPECT_EQ(result.error->file, row.path);
        EXPECT_NE(result.error->message.find(row.error), std::string::npos)
            << row.path << " gave: " << result.error->message;
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace host
