// The configuration as the reader will take it, named by subkey: each case a
// configuration and what the review must say about it.
#include "host/config/ConfigReview.h"

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
        // Something near sends nothing.
        {one + "[Device Parameters\\channel0]\n" + kChannel + "\"1\"=dword:ffffffff\n" +
             "[Device Parameters\\channel0\\0]\n" + kApps,
         "warning: no back-off is sent when a sensor is near"},
        {one + "[Device Parameters\\channel0]\n\"ChannelType\"=\"MODEM\"\n" +
             "\"SarMappingCount\"=dword:2\n\"0\"=dword:1\n[Device Parameters\\channel0\\0]\n" +
             kApps,
         "warning: no back-off is sent when a sensor is near"},
        // Values of the wrong type are read as their bytes.
        {"[Device Parameters]\n\"NumberOfChannels\"=\"1\"\n",
         "\"NumberOfChannels\" read as REG_DWORD from a REG_SZ value: 49"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             "\"Type\"=\"APPS\"\n\"ID\"=\"1\"\n",
         "\"ID\" read as REG_DWORD from a REG_SZ value: 49"},
        {one + "[Device Parameters\\channel0]\n\"ChannelType\"=dword:1\n",
         "\"ChannelType\" read as REG_SZ from a REG_DWORD value: \"\x01\""},
        // Values nobody reads.
        {one + "\"Typo\"=dword:1\n",
         "unused: \"Typo\" is never read (the driver reads no value of that name here)"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "\"5\"=dword:1\n" +
             "[Device Parameters\\channel0\\0]\n" + kApps + "\"Typ\"=\"APPS\"\n",
         "unused: \"5\" is never read: the driver reads the mapping values \"0\" to \"1\" "
         "(SarMappingCount 2)"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps + "\"Typ\"=\"APPS\"\n",
         "unused: \"Typ\" is never read (the driver"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps + "\"WlanAntMask\"=dword:1\n",
         "unused: \"WlanAntMask\" is never read: the driver reads it for WLAN channels only"},
        // Sensor subkeys named otherwise than by a decimal number.
        {one + "[Device Parameters\\channel0]\n" + kChannel +
             "[Device Parameters\\channel0\\abc]\n" + kApps,
         "its name \"abc\" is not a decimal number: the driver reads it as 0 (a name without "
         "leading digits reads as 0), so it takes slot 0"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps + "[Device Parameters\\channel0\\1e3]\n" + kApps,
         "its name \"1e3\" is not a decimal number: the driver reads it as 1 (the digits it "
         "begins with), so it takes slot 1"},
        {one + "[Device Parameters\\channel0]\n" + kChannel + "[Device Parameters\\channel0\\0]\n" +
             kApps + "[Device Parameters\\channel0\\0x4]\n" + kApps +
             "[Device Parameters\\channel0\\0y]\n" + kApps,
         "\"0y\" is not a decimal number: the driver reads it as 0 (the digits it begins with), "
         "so it takes slot 0\nshares slot 0 with subkey \"0x4\""},
        {one + "[Device Parameters\\channel0]\n" + kChannel +
             "[Device Parameters\\channel0\\\xd9\xa3]\n" + kApps,
         "reads it as 0 (a name without leading digits reads as 0), so it takes slot 0"},
    };
    for (const Case& c : cases) {
        std::string said = Said(c.body);
        EXPECT_NE(said.find(c.said), std::string::npos) << c.body << "\nsaid:\n" << said;
    }
}

// The last sensor subkey read sets a WLAN channel's antenna mask.
TEST(ConfigReview, NamesWhereAWlanChannelsMaskComesFrom) {
    const std::string wlan = "[Device Parameters]\n\"NumberOfChannels\"=dword:1\n"
                             "\"WlanAntCount\"=dword:2\n[Device Parameters\\channel0]\n" +
                             std::string(kChannel) + "\"ChannelType\"=\"WLAN\"\n";
    auto sensor = [](const char* name, const char* mask) {
        return std::string("[Device Parameters\\channel0\\") + name + "]\n" + kApps + mask;
    };
    struct Case {
        std::string body;
        const char* said;
    };
    const Case cases[] = {
        {wlan + sensor("0", "\"WlanAntMask\"=dword:1\n") + sensor("1", ""),
         "error: the channel's WLAN antenna mask ends as 0, which drives no antenna: the last "
         "sensor subkey read, \"1\", has WlanAntMask 0 or none"},
        {wlan + sensor("0", "\"WlanAntMask\"=dword:1\n") + sensor("1", "\"WlanAntMask\"=dword:2\n"),
         "WlanAntMask differs between the sensor subkeys (\"0\" 1, \"1\" 2): the last one read, "
         "\"1\", sets the channel's mask to 2"},
        {wlan + "\"WlanAntMask\"=dword:3\n" + sensor("0", ""),
         "unused: \"WlanAntMask\" is never read: the driver reads WlanAntMask from each sensor "
         "subkey, and the last sensor subkey read sets the channel's mask"},
        {wlan + "\"WlanAntMask\"=dword:3\n" + sensor("0", ""), "error: the channel's WLAN"},
    };
    for (const Case& c : cases) {
        std::string said = Said(c.body);
        EXPECT_NE(said.find(c.said), std::string::npos) << c.body << "\nsaid:\n" << said;
    }
    std::string sound = Said(wlan + sensor("0", "\"WlanAntMask\"=dword:1\n") +
                             sensor("1", "\"WlanAntMask\"=dword:1\n"));
    EXPECT_EQ(sound.find("WlanAntMask differs"), std::string::npos) << sound;
    EXPECT_EQ(sound.find("error"), std::string::npos) << sound;
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
