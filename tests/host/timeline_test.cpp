#include "host/scenario/ExpectedTraces.h"
#include "host/scenario/Timeline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace host {
namespace {

// Captures what a timeline prints.
class Captured {
public:
    Captured() : mFile(std::tmpfile()) {}
    ~Captured() { std::fclose(mFile); }
    std::FILE* File() { return mFile; }
    std::string Text() {
        std::fflush(mFile);
        std::rewind(mFile);
        std::string text;
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, mFile)) > 0) {
            text.append(buf, n);
        }
        return text;
    }

private:
    std::FILE* mFile;
};

TEST(Timeline, TextShowsTimeWhatHappenedAndWhatReachedTheModem) {
    Captured out;
    Timeline t(out.File(), false);
    t.Begin("walk", 0, 0.001);
    t.Command(1.5, "w.scn", 3, "ioctl set-state 1 1", "0x00000000 (success), 0 bytes");
    t.Completion(1.7, "w.scn", 2, "ioctl get-info", "0x00000000 (success), 8 bytes");
    t.Modem(2.0, {3, 3}, 1);
    t.Trace(2.5, 2, "Device.cpp", "hidden", false, {1, ExpectedKind::NoWlanChannel});
    t.Trace(2.5, 2, "Device.cpp", "hidden", false);
    t.Note(2.6, std::string("escape \x1b[2J and \0 NUL", 21));
    t.Trace(2.5, 4, "Device.cpp", "shown", true);
    t.CheckFailed(3.0, "w.scn", 4, "expect modem 1,1", "modem antennas at 1,1",
                  "modem antennas at 3,3");
    t.End(4.0, 2.5, 1);
    std::string text = out.Text();
    EXPECT_NE(text.find("(times in machine ms; time scale 0.001)"), std::string::npos) << text;
    EXPECT_NE(text.find("done    ioctl get-info (line 2)  -> 0x00000000"), std::string::npos);
    EXPECT_NE(text.find("escape \\x1b[2J and \\0 NUL"), std::string::npos) << text;
    EXPECT_NE(text.find("1.5 ms  do      ioctl set-state 1 1  -> 0x00000000 (success)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("modem   antenna back-off indexes 3,3  (set #1)"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("I Device.cpp: shown"), std::string::npos);
    EXPECT_NE(text.find("w.scn:4: check failed: expect modem 1,1"), std::string::npos);
    EXPECT_NE(text.find("expected: modem antennas at 1,1"), std::string::npos);
    EXPECT_NE(text.find("seen:     modem antennas at 3,3"), std::string::npos);
    EXPECT_NE(text.find("walk: FAILED in 4.0 machine ms (2.5 ms real)"), std::string::npos);
    EXPECT_NE(text.find("2 error trace(s): 1 other (--trace error shows them), 1 that a sound "
                        "setup draws too: 1 for WlanAntCount 0"),
              std::string::npos)
        << text;
    EXPECT_EQ(t.Summary().modemSettings, 1);
}

TEST(Timeline, JsonLinesAreOneEscapedObjectPerLine) {
    Captured out;
    Timeline t(out.File(), true);
    t.Begin("a \"quoted\" walk", 0, 1);
    t.Trace(1, 2, "x.cpp", "tab\there\nnewline \\ back", true);
    t.Modem(2, {0, -1}, 7);
    t.End(3, 2, 0);
    std::string text = out.Text();
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 4u);
    EXPECT_NE(text.find("\"scenario\":\"a \\\"quoted\\\" walk\""), std::string::npos) << text;
    EXPECT_NE(text.find("tab\\there\\nnewline \\\\ back"), std::string::npos) << text;
    EXPECT_NE(text.find("\"antennas\":[0,-1],\"set\":7"), std::string::npos) << text;
    EXPECT_NE(text.find("\"kind\":\"summary\""), std::string::npos);
    EXPECT_NE(text.find("\"modem\":[0,-1]"), std::string::npos);
    EXPECT_NE(text.find("\"verdict\":\"no-checks\""), std::string::npos) << text;
    EXPECT_EQ(JsonEscape(std::string("\x01", 1)), "\\u0001");
    // Bytes that are not UTF-8 have no character to stand for: each becomes
    // the replacement character; control characters (DEL and C1 too) are escaped.
    EXPECT_EQ(JsonEscape("caf\xE9 T\xC1\xB9pe \xED\xA0\x80 \xE2\x82"),
              "caf\\ufffd T\\ufffd\\ufffdpe \\ufffd\\ufffd\\ufffd \\ufffd\\ufffd");
    EXPECT_EQ(JsonEscape("\x7F\xC2\x85 \xC3\xA9 \xF0\x9F\x98\x80"),
              "\\u007f\\u0085 \xC3\xA9 \xF0\x9F\x98\x80");
}

TEST(ExpectedTraces, CountsWhatASoundSetupDrawsByKind) {
    struct Trace {
        std::uint32_t thread;
        const char* file;
        const char* message;
        int expected;
        ExpectedKind kind = ExpectedKind::ConfigurationRead;
    };
    const Trace traces[] = {
        {1, "Dmf_Registry.cpp", "Buffer too small: needed=12 given=0", 1},
        {1, "Dmf_Registry.cpp", "WdfRegistryQueryValue fails: ntStatus=0xC0000034", 0},
        {2, "Other.cpp", "on another thread, between the steps", 0},
        {1, "RegistryConfig.cpp", "RegistryReadUlong: Registry query failed! ntStatus=0xC0000034",
         0},
        {1, "RegistryConfig.cpp", "ReadUlongOrDefault: RegistryReadUlong() failed", 3},
        // A required string that is absent: its chain ends otherwise.
        {1, "Dmf_Registry.cpp", "WdfRegistryQueryValue fails: ntStatus=0xC0000034", 0},
        {1, "RegistryConfig.cpp", "ReadRegistryString:  String length returned is zero!", 0},
        {1, "RegistryConfig.cpp", "ReadUlongOrDefault: RegistryReadUlong() failed", 0},
        // A value of the wrong size is no absent value.
        {1, "Dmf_Registry.cpp", "WdfRegistryQueryValue fails: ntStatus=0xC0000023", 0},
        {1, "RegistryConfig.cpp", "RegistryReadUlong: Registry query failed! ntStatus=0xC0000023",
         0},
        {1, "RegistryConfig.cpp", "ReadUlongOrDefault: RegistryReadUlong() failed", 0},
        // No WLAN channel, and no provisioning file; a count written wrong is no such thing.
        {1, "RegistryConfig.cpp", "WlanAntCount=0 is not 1 or 2: WLAN channels are skipped", 1,
         ExpectedKind::NoWlanChannel},
        {1, "RegistryConfig.cpp", "WlanAntCount=3 is not 1 or 2: WLAN channels are skipped", 0},
        {3, "SarProvisioningFile.cpp", "there are no files in TSRL folder (last error 0)", 1,
         ExpectedKind::NoProvisioningFile},
        {3, "SarProvisioningFile.cpp", "Refusing to read 2000000 bytes", 0},
        // The watcher holds a reading back while the display is off, by design.
        {4, "ProximitySensorWatcher.cpp",
         "Display is off: reading of ACPI#PROX#1a2b kept until it comes on", 1,
         ExpectedKind::ReadingWhileDisplayOff},
        {4, "Other.cpp", "Display is off: reading of ACPI#PROX#1a2b kept until it comes on", 0},
    };
    ExpectedTraces expected;
    for (const Trace& t : traces) {
        ExpectedMatch match = expected.Observe(t.thread, t.file, t.message);
        EXPECT_EQ(match.count, t.expected) << t.message;
        EXPECT_TRUE(match.count == 0 || match.kind == t.kind) << t.message;
    }
}

TEST(Timeline, ARunWithoutChecksDoesNotSayPassed) {
    Captured out;
    Timeline t(out.File(), false);
    t.Begin("walk", 0, 1);
    t.End(1, 1, 0);
    std::string text = out.Text();
    EXPECT_EQ(text.find("passed"), std::string::npos) << text;
    EXPECT_NE(text.find("ran without checks"), std::string::npos) << text;
}

} // namespace
} // namespace host
