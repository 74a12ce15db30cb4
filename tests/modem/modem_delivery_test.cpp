// What reaches the modem's antennas, and when nothing does.
#include "modem_fixture.h"

namespace modem_test {
namespace {

using DeliveryTest = ModemTest;

std::vector<Antenna> AllAt(int count, std::int32_t index) {
    std::vector<Antenna> antennas;
    for (int i = 0; i < count; ++i) {
        antennas.push_back({i, index});
    }
    return antennas;
}

TEST_F(DeliveryTest, FirstNotifyEnablesBackoffAndSetsEveryAntenna) {
    ModemWithWwan(3, 0);
    auto& channel = AddNotifier();

    EXPECT_TRUE(Send(channel, 4));

    EXPECT_TRUE(sim::modem::BackoffEnabled());
    EXPECT_EQ(gBackoffEnabled.load(), 1);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{4, 4, 4}));
    EXPECT_EQ(sim::modem::SetPayloads(), (std::vector<std::vector<Antenna>>{AllAt(3, 4)}));
    EXPECT_FALSE(ResendRequested());

    // Enabled once: a further change goes straight to the set step.
    EXPECT_TRUE(Send(channel, 2));
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 1u);
    EXPECT_EQ(sim::modem::Calls(Step::Enable), 1u);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{2, 2, 2}));
}

TEST_F(DeliveryTest, WithoutWwanInterfaceTheIndexWaitsForTheFirstNotifyAfterArrival) {
    sim::modem::Install(2, 0);
    auto& channel = AddNotifier();
    channel.Start();

    EXPECT_TRUE(Send(channel, 6));
    EXPECT_EQ(channel.GetLastBackoffIndex(), 6);
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 0u);
    EXPECT_FALSE(ResendRequested());

    // The arrival only marks the interface present; it sends nothing itself.
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    EXPECT_EQ(sim::modem::SetCount(), 0u);
    EXPECT_FALSE(sim::modem::BackoffEnabled());

    EXPECT_TRUE(Send(channel, 6));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{6, 6}));
}

TEST_F(DeliveryTest, MissingModemPartsAreNotFailuresAndTheNextNotifyTriesAgain) {
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    auto& channel = AddNotifier();
    channel.Start();
    channel.mRetryCount = 2;

    // No default modem.
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(channel.mRetryCount, 5);
    EXPECT_FALSE(ResendRequested());
    EXPECT_EQ(gBackoffEnabled.load(), 0);

    // A modem whose configuration is missing.
    sim::modem::Install(2, 0);
    sim::modem::SetConfigurationMissing(true);
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_FALSE(ResendRequested());
    EXPECT_EQ(sim::modem::Calls(Step::Enable), 0u);

    // A configuration without a SAR manager.
    sim::modem::SetConfigurationMissing(false);
    sim::modem::SetSarManagerMissing(true);
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_FALSE(ResendRequested());
    EXPECT_EQ(sim::modem::Calls(Step::Configuration), 2u);
    EXPECT_EQ(sim::modem::Calls(Step::Enable), 0u);
    EXPECT_EQ(sim::modem::SetCount(), 0u);

    sim::modem::SetSarManagerMissing(false);
    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));
}

TEST_F(DeliveryTest, NothingIsSentWhenNoAntennaDiffersOrThereAreNone) {
    ModemWithWwan(2, 5);
    auto& channel = AddNotifier();
    EXPECT_TRUE(Send(channel, 5));
    EXPECT_TRUE(sim::modem::BackoffEnabled());
    EXPECT_EQ(sim::modem::SetCount(), 0u);

    sim::modem::InstallAntennas({});
    ResetModemState(); // a fresh modem is enabled from scratch
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(Send(channel, 5));
    EXPECT_TRUE(sim::modem::BackoffEnabled());
    EXPECT_EQ(sim::modem::SetCount(), 0u);
}

TEST_F(DeliveryTest, OneDifferingAntennaGetsAllAntennasSet) {
    sim::modem::InstallAntennas({{0, 3}, {2, 5}});
    sim::ip::AddInterface(IF_TYPE_WWANPP2);
    ASSERT_TRUE(sim::Settle());
    auto& channel = AddNotifier();
    channel.Start();

    EXPECT_TRUE(Send(channel, 3));
    EXPECT_EQ(sim::modem::SetPayloads(), (std::vector<std::vector<Antenna>>{{{0, 3}, {2, 3}}}));
}

TEST_F(DeliveryTest, TargetIsTheHighestLastRequestOfAllModemChannels) {
    ModemWithWwan(2, 5);
    auto& a = AddNotifier();
    auto& b = AddNotifier();

    EXPECT_TRUE(Send(a, 3));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));

    EXPECT_TRUE(Send(b, 1)); // A's 3 still wins: the antennas are there already
    EXPECT_EQ(sim::modem::SetCount(), 1u);

    EXPECT_TRUE(Send(b, 7));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{7, 7}));

    EXPECT_TRUE(Send(a, 0)); // B's 7 holds
    EXPECT_TRUE(Send(b, 2)); // now A's 0 and B's 2
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{2, 2}));
    EXPECT_EQ(sim::modem::SetCount(), 3u);
}

TEST_F(DeliveryTest, NegativeRequestsGiveTargetZero) {
    ModemWithWwan(2, 4);
    auto& a = AddNotifier();
    auto& b = AddNotifier();
    EXPECT_TRUE(Send(a, -3));
    EXPECT_TRUE(Send(b, -1));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(sim::modem::SetCount(), 1u);
}

TEST_F(DeliveryTest, AChannelReleasedAloneKeepsTheOthersRequestsAndTheRegistration) {
    ModemWithWwan(2, 0);
    auto& a = AddNotifier();
    auto& b = AddNotifier();
    EXPECT_TRUE(Send(a, 6));
    EXPECT_EQ(sim::ip::RegistrationCount(), 1u);

    mNotifiers.pop_back(); // b goes, as after a failed channel construction
    (void)b;
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

TEST_F(DeliveryTest, SensorChangesOnARunningChannelReachTheModem) {
    sim::modem::Install(2, 0);
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    {
        Channel channel(1, 8);
        ASSERT_TRUE(channel.handler->Start()); // the scan finds the interface
        channel.SetActive(true);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{8, 8}));
        channel.SetActive(false);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{1, 1}));
    }
    // Stop reset the state: nothing is present or enabled any more.
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_EQ(gBackoffEnabled.load(), 0);
}

} // namespace
} // namespace modem_test
