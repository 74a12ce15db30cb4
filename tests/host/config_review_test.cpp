// The configuration as the reader will take it, named by subkey: each case a
// configuration and what the review must say about it.
#include "host/ConfigReview.h"

#include "platform/sim/registry.h"

#include <gtest/gtest.h>

namespace host {
namespace {

constexpr const char* kChannel = "\"ChannelType\"=\"MODEM\"\n\"SarMappingCount\"=dword:2\n"
                                 "\"0\"=dword:1\n\"1\"=dword:3\n";
constexpr const char* kApps = "\"Type\"=\"APPS\"\n\"ID\"=dword:7\n";

// Every default and finding of the review, one a line.
std::string Said(const std::string& body) {
    sim::registry::Reset();
    auto imported = sim::registry::ImportRegText("Windows Registry Editor Version 5.00\n" + body);
    EXPECT_TRUE(imported) << imported.error;
    ConfigReview review = ReviewConfiguration();
    std::string said;
    auto add = [&](const std::vector<std::string>& lines) {
        for (const auto& line : lines) {
            said += line + "\n";
        }
    };
    add(review.defaults);
    add(review.findings);
    for (const auto& channel : review.channels) {
        add(channel.defaults);
        add(channel.findings);
        for (const auto& sensor : channel.sensors) {
            add(sensor.defaults);
            add(sensor.findings);
        }
    }
    return said;
}

TEST(ConfigReview, NamesWhatTheReaderSkipsOrNeverUses) {
    const std::string one = "[Device Parameters]\n\"NumberOfChannels\"=dword:1\n";
    struct Case {
        std::string body;
        const char* said;
    };
    const Case cases[] = {
        {one + "[Device Parameters\\Channel0]\n",
         "subkey \"Channel0\" is not taken as a channel: a channel subkey's name must start with "
         "the lower-case letters \"channe\""},
        {one + "[Device Parameters\\Channel0]\n", "NumberOfChannels=1 but 0 channel subkey(s)"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps + "[Device Parameters\\channel0\\00]\n" + kApps,
         "shares slot 0 with subkey \"0\""},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "\"SarMappingCount\"=dword:3\n" +
             "\"2\"=dword:5\n[Device Parameters\\channel0\\0]\n" + kApps,
         "mapping value \"2\" (state mask 2) never takes effect: the state mask is only ever 0"},
        {one + "\"WlanAntCount\"=dword:1\n[Device Parameters\\channel0]\n" + kChannel +
             "\"ChannelType\"=\"WLAN\"\n[Device Parameters\\channel0\\0]\n" + kApps +
             "\"WlanAntMask\"=dword:4\n",
         "WlanAntMask=4 is outside 1 to 3"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps + "[Device Parameters\\channel0\\2]\n" + kApps,
         "slot 1 is filled by no subkey"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps,
         "WlanAntCount=0\nSUID_HIGH_H=0\nSUID_HIGH_L=0\nSUID_LOW_H=0\nSUID_LOW_L=0\n"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "\"1\"=hex:01,02,03,04,05\n" +
             "[Device Parameters\\channel0\\0]\n\"Type\"=\"APPS\"\n",
         "\"1\" is longer than a 4-byte number: read as absent, -1 taken"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             "\"Type\"=\"APPS\"\n",
         "ID=-1\n"},
    };
    for (const Case& c : cases) {
        std::string said = Said(c.body);
        EXPECT_NE(said.find(c.said), std::string::npos) << c.body << "\nsaid:\n" << said;
    }
}

TEST(ConfigReview, RecordsFollowTheRegistryOrderOfChannelSubkeys) {
    std::string body = "[Device Parameters]\n\"NumberOfChannels\"=dword:3\n";
    for (const char* name : {"channel2", "channel10", "channelX"}) {
        body += std::string("[Device Parameters\\") + name + "]\n" + kChannel +
                "[Device Parameters\\" + name + "\\0]\n" + kApps;
    }
    Said(body);
    EXPECT_EQ(ReviewConfiguration().recordSubkeys,
              (std::vector<std::string>{"channel10", "channel2", "channelX"}));
}

} // namespace
} // namespace host
