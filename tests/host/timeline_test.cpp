#include "host/Timeline.h"

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
    t.Begin("walk", 0);
    t.Command(1.5, "w.scn", 3, "ioctl set-state 1 1", "0x00000000 (success), 0 bytes");
    t.Modem(2.0, {3, 3}, 1);
    t.Trace(2.5, 2, "Device.cpp", "hidden", false);
    t.Trace(2.5, 4, "Device.cpp", "shown", true);
    t.CheckFailed(3.0, "w.scn", 4, "expect modem 1,1", "modem antennas at 1,1",
                  "modem antennas at 3,3");
    t.End(4.0, 1);
    std::string text = out.Text();
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
    EXPECT_NE(text.find("walk: FAILED"), std::string::npos);
    EXPECT_NE(text.find("1 error trace(s)"), std::string::npos);
    EXPECT_EQ(t.Summary().modemSettings, 1);
}

TEST(Timeline, JsonLinesAreOneEscapedObjectPerLine) {
    Captured out;
    Timeline t(out.File(), true);
    t.Begin("a \"quoted\" walk", 0);
    t.Trace(1, 2, "x.cpp", "tab\there\nnewline \\ back", true);
    t.Modem(2, {0, -1}, 7);
    t.End(3, 0);
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
    EXPECT_EQ(JsonEscape(std::string("\x01", 1)), "\\u0001");
}

} // namespace
} // namespace host
