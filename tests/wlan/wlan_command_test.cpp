// The SAR device-service command: payloads word for word, how a reply is
// judged, how a read-back is parsed, and the merge of every WLAN channel.
#include "wlan_fixture.h"

namespace wlan_test {
namespace {

using CommandTest = WlanTest;

std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), words.size() * 4);
    return words;
}

// Without an initialisation thread: the channel registers and finds the
// interface itself, and its payload has the device's entry slots all the same.
TEST_F(CommandTest, AChannelsOwnSettingIsSentWholeAndReadBackBeforeAnyInitialisation) {
    struct Case {
        ULONG antennas, mask, state;
        int index;
        std::vector<std::uint32_t> words;
    };
    const Case cases[] = {
        {1, 1, 0, 3, {0, 0, 0, 0, 0}},
        {1, 1, 1, 3, {1, 0, 1, 1, 3}},
        {2, 3, 1, 2, {1, 0, 1, 3, 2, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.size());
        FreshMachine();
        Build(c.antennas, {WlanChannel(0, 5, c.mask, c.index, c.index)}, false);
        sim::ArmFault("CreateThread", sim::FaultSpec::Once());
        EXPECT_FALSE(Notifier(0).Start()); // the antenna mask is filled all the same
        LONG index = c.index;
        EXPECT_TRUE(Notifier(0).Notify(c.state, &index));
        auto commands = sim::wlan::Commands();
        ASSERT_EQ(commands.size(), 2u);
        EXPECT_EQ(Words(commands[0].payload), c.words);
        EXPECT_EQ(commands[1].opcode, sim::wlan::kOpQuery);
        EXPECT_FALSE(sim::TraceContains("Read-back mismatch"));
    }
}

TEST_F(CommandTest, OnlyAZeroReplyByteIsAcceptanceAndFailuresSpendFiveResendsInARow) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* trace;
    };
    const Case cases[] = {
        {"reply 0", [] {}, nullptr},
        {"reply 1", [] { sim::wlan::Reply(1); }, "refused the SAR setting (1)"},
        {"no reply byte", [] { sim::wlan::Reply(std::nullopt); }, "without a reply byte"},
        {"call failed",
         [] { sim::ArmFault("WlanDeviceServiceCommand.Set", sim::FaultSpec::Once(5)); },
         "SAR set command failed with 5"},
    };
    Build(1, {WlanChannel(0, 5, 1, 2, 4)}, false);
    WlanDataNotifier& notifier = Notifier(0);
    LONG index = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ClearTrace();
        c.arrange();
        notifier.mRetryCount = 3;
        bool accepted = c.trace == nullptr;
        EXPECT_EQ(notifier.Notify(1, &index), accepted);
        EXPECT_EQ(notifier.mRetryCount, accepted ? 5 : 2);
        EXPECT_EQ(ResendRequested(notifier), !accepted);
        if (!accepted) {
            EXPECT_TRUE(sim::TraceContains(c.trace, TRACE_LEVEL_ERROR));
        }
    }

    notifier.mRetryCount = 5;
    sim::wlan::Reply(1, /*always=*/true);
    for (int failure = 1; failure <= 6; ++failure) {
        EXPECT_FALSE(notifier.Notify(1, &index));
        EXPECT_EQ(ResendRequested(notifier), failure < 6) << failure;
        EXPECT_EQ(notifier.mRetryCount, failure < 6 ? 5 - failure : 5);
    }
}

TEST_F(CommandTest, TheReadBackIsTheEntryForTheChannelsAntennas) {
    struct Case {
        std::vector<std::uint32_t> reply;
        std::size_t channel;
        int enabled, index;
    };
    const Case cases[] = {
        {{2, 0, 0, 0, 0, 0, 0}, 0, 0, -1},
        {{1, 0, 2, 1, 4, 2, 6}, 0, 1, 6},
        {{1, 0, 2, 1, 4, 2, 6}, 1, 1, -1},
    };
    Build(2, {WlanChannel(0, 5, 2, 1, 2), WlanChannel(1, 6, 3, 1, 2)}, false);
    Notifier(0).Start();
    Notifier(1).Start();
    ASSERT_TRUE(sim::Settle());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply[0] * 10 + c.channel);
        std::vector<std::uint8_t> bytes(c.reply.size() * 4);
        std::memcpy(bytes.data(), c.reply.data(), bytes.size());
        sim::wlan::ReadBackBytes(bytes);
        int enabled = 0, index = -1;
        EXPECT_EQ(Notifier(c.channel).QueryBackoff(&enabled, &index), STATUS_SUCCESS);
        EXPECT_EQ(enabled, c.enabled);
        EXPECT_EQ(index, c.index);
    }
}

TEST_F(CommandTest, TheMergedSettingFollowsEveryChannel) {
    struct Case {
        const char* what;
        ULONG antennas;
        std::vector<ULONG> masks, states;
        std::vector<int> indexes;
        Setting merged;
    };
    const Case cases[] = {
        {"own bits, both active", 2, {1, 2}, {1, 1}, {3, 5}, {1, {{1, 3}, {2, 5}}}},
        {"own bits, one active", 2, {1, 2}, {1, 0}, {3, 5}, {1, {{1, 3}}}},
        // A holder that is not active has no say: the only active one gives
        // the entry, even with the lower index.
        {"shared bits, lower active", 2, {3, 3}, {1, 0}, {2, 6}, {1, {{1, 2}, {2, 2}}}},
        {"shared bits, both active", 2, {3, 3}, {1, 1}, {2, 6}, {1, {{1, 6}, {2, 6}}}},
        {"all inactive", 2, {1, 2}, {0, 0}, {3, 5}, {0, {}}},
        {"three holders, one slot", 1, {1, 1, 1}, {1, 1, 1}, {2, 5, 3}, {1, {{1, 5}}}},
        // Three channels: only the active holders of a bit have a say in its entry.
        {"1/2/3, all active", 2, {1, 2, 3}, {1, 1, 1}, {3, 5, 4}, {1, {{1, 4}, {2, 5}}}},
        {"1/2/3, the third inactive", 2, {1, 2, 3}, {1, 1, 0}, {3, 5, 4}, {1, {{1, 3}, {2, 5}}}},
        {"1/2/3, only the third active", 2, {1, 2, 3}, {0, 0, 1}, {3, 5, 4}, {1, {{1, 4}, {2, 4}}}},
        {"1/2/3, all inactive", 2, {1, 2, 3}, {0, 0, 0}, {3, 5, 4}, {0, {}}},
        {"3/3/1, all active", 2, {3, 3, 1}, {1, 1, 1}, {2, 6, 7}, {1, {{1, 7}, {2, 6}}}},
        {"3/3/1, the second inactive", 2, {3, 3, 1}, {1, 0, 1}, {2, 6, 7}, {1, {{1, 7}, {2, 2}}}},
        {"3/3/1, ties", 2, {3, 3, 1}, {1, 1, 1}, {6, 6, 6}, {1, {{1, 6}, {2, 6}}}},
        {"1/1/1, ties, the first inactive", 1, {1, 1, 1}, {0, 1, 1}, {5, 5, 5}, {1, {{1, 5}}}},
        {"1/1/1, the highest inactive", 1, {1, 1, 1}, {1, 0, 1}, {3, 5, 3}, {1, {{1, 3}}}},
        // A channel without antennas gives no entry, but enables back-off.
        {"0/1, only the maskless one active", 2, {0, 1}, {1, 0}, {7, 3}, {1, {}}},
        {"0/1/2, all active", 2, {0, 1, 2}, {1, 1, 1}, {7, 3, 5}, {1, {{1, 3}, {2, 5}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        std::vector<std::string> channels;
        for (std::size_t i = 0; i < c.masks.size(); ++i) {
            channels.push_back(WlanChannel(static_cast<int>(i), 5, c.masks[i], 0, 0));
        }
        Build(c.antennas, channels, false);
        for (std::size_t i = 0; i < c.masks.size(); ++i) {
            Notifier(i).Start();
            ASSERT_TRUE(sim::Settle());
            LONG index = c.indexes[i];
            Notifier(i).Notify(c.states[i], &index);
        }
        EXPECT_EQ(WlanDataNotifier::SendMergedWlanBackoff(), STATUS_SUCCESS);
        EXPECT_EQ(LastSet(), c.merged);
    }
}

} // namespace
} // namespace wlan_test
