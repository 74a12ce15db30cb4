// What reaches the modem's antennas, and when nothing does.
#include "modem_fixture.h"

#include <functional>

namespace modem_test {
namespace {

using DeliveryTest = ModemTest;

TEST_F(DeliveryTest, BackoffIsEnabledOnceAndEveryAntennaSetWhenOneDiffersFromTheTarget) {
    struct Case {
        const char* what;
        std::vector<Antenna> antennas;
        std::vector<LONG> requests; // one notifier each, in order
        std::vector<std::vector<Antenna>> payloads;
    };
    const Case cases[] = {
        {"all differ", {{0, 0}, {1, 0}, {2, 0}}, {4}, {{{0, 4}, {1, 4}, {2, 4}}}},
        {"one differs", {{0, 3}, {2, 5}}, {3}, {{{0, 3}, {2, 3}}}},
        {"none differs", {{0, 5}, {1, 5}}, {5}, {}},
        {"no antennas", {}, {5}, {}},
        {"negative requests give target 0", {{0, 4}, {1, 4}}, {-3, -1}, {{{0, 0}, {1, 0}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        sim::modem::InstallAntennas(c.antennas);
        sim::ip::AddInterface(IF_TYPE_WWANPP);
        ASSERT_TRUE(sim::Settle());
        for (LONG request : c.requests) {
            auto& channel = AddNotifier();
            channel.Start();
            EXPECT_TRUE(Send(channel, request));
        }
        // Enabled once: a further notification goes straight to the set step.
        EXPECT_TRUE(Send(*mNotifiers.back(), c.requests.back()));
        EXPECT_TRUE(sim::modem::BackoffEnabled());
        EXPECT_EQ(gBackoffEnabled.load(), 1);
        EXPECT_EQ(sim::modem::Calls(Step::Configuration), 1u);
        EXPECT_EQ(sim::modem::Calls(Step::Enable), 1u);
        EXPECT_EQ(sim::modem::SetPayloads(), c.payloads);
        EXPECT_FALSE(ResendRequested());
    }
}

TEST_F(DeliveryTest, MissingModemPartsAreNotFailuresAndTheNextNotifyTriesAgain) {
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    auto& channel = AddNotifier();
    channel.Start();
    channel.mRetryCount = 2;
    const std::function<void()> missing[] = {
        [] {}, // no default modem
        [] {
            sim::modem::Install(2, 0);
            sim::modem::SetConfigurationMissing(true);
        },
        [] {
            sim::modem::SetConfigurationMissing(false);
            sim::modem::SetSarManagerMissing(true);
        },
    };
    for (const auto& setUp : missing) {
        setUp();
        EXPECT_TRUE(Send(channel, 3));
        EXPECT_EQ(channel.mRetryCount, 5);
        EXPECT_FALSE(ResendRequested());
        EXPECT_EQ(gBackoffEnabled.load(), 0);
        EXPECT_EQ(sim::modem::Calls(Step::Enable), 0u);
    }
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 2u);

    sim::modem::SetSarManagerMissing(false);
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));
}

// Until a channel has read its sensors since its start, they count as
// detected: another channel that computes first does not lower the modem.
TEST_F(DeliveryTest, AChannelThatHasNotComputedSinceItsStartAsksForTheDetectedIndex) {
    ModemWithWwan(2, 0);
    auto& first = AddNotifier();
    auto& second = AddNotifier();
    second.SetIndexUntilComputed(7);
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE(cycle);
        first.Start();
        second.Start();
        EXPECT_TRUE(Send(first, 3));
        EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{7, 7}));
        EXPECT_TRUE(Send(second, 2));
        EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));
        first.Stop();
        second.Stop();
    }
    // A table without an index for a detected sensor: the channel asks for
    // what it asked for last, as once it has computed.
    second.SetIndexUntilComputed(ModemDataNotifier::kNoIndex);
    first.Start();
    second.Start();
    EXPECT_TRUE(Send(first, 1));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{2, 2}));
    EXPECT_EQ(sim::modem::SetCount(), 5u);
}

TEST_F(DeliveryTest, AChannelReleasedAloneKeepsTheOthersRequestsAndTheRegistration) {
    ModemWithWwan(2, 0);
    auto& a = AddNotifier();
    AddNotifier();
    EXPECT_TRUE(Send(a, 6));
    EXPECT_EQ(sim::ip::RegistrationCount(), 1u);

    mNotifiers.pop_back(); // b goes, as after a failed channel construction
    EXPECT_EQ(gModemNotifiers.size(), 1u);
    EXPECT_EQ(sim::ip::RegistrationCount(), 1u);
    EXPECT_NE(gIpInterfaceChangeHandle, nullptr);

    EXPECT_TRUE(Send(a, 6));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{6, 6}));
    EXPECT_EQ(sim::modem::SetCount(), 1u);

    // The last one ends the registration and lets the SAR manager go.
    mNotifiers.clear();
    EXPECT_EQ(sim::ip::RegistrationCount(), 0u);
    EXPECT_EQ(gIpInterfaceChangeHandle, nullptr);
    EXPECT_FALSE(gSarManager);
    EXPECT_EQ(gBackoffEnabled.load(), 0);
}

} // namespace
} // namespace modem_test
