// A WLAN channel's own sends against the adapter's state, its
// registrations and what the adapter's notifications make it do.
#include "wlan_fixture.h"

#include <algorithm>
#include <thread>

namespace wlan_test {
namespace {

using ChannelTest = WlanTest;

TEST_F(ChannelTest, NotificationsAnswerOnlyTheSarServiceWithTheMergedSetting) {
    struct Case {
        const char* what;
        std::optional<GUID> service;
        std::optional<std::size_t> blockSize;
        bool sends;
    };
    const Case cases[] = {
        {"SAR service", sim::wlan::kSarService, std::nullopt, true},
        {"no data block", std::nullopt, std::nullopt, false},
        {"a block said to be shorter than a GUID", sim::wlan::kSarService, 15, false},
    };
    Build(1, {WlanChannel(0, 5, 1, 2, 4)});
    Sense(5, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t sets = sim::wlan::SetCount();
        sim::wlan::NotifyDeviceService(c.service, c.blockSize);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::wlan::SetCount(), sets + (c.sends ? 1 : 0));
    }
    EXPECT_EQ(LastSet(), (Setting{0, {}}));
}

// A first channel configured without antennas (its state-1 index 0 as
// well) is filled once like the others, and the later channels get theirs.
// It names no antenna, but while it alone is near back-off stays enabled, in
// every setting: its own sends, the merged ones and the removal's.
TEST_F(ChannelTest, AChannelWithoutAntennasLeavesTheOthersTheirs) {
    Build(2, {WlanChannel(0, 4, 0, 0, 0), WlanChannel(1, 5, 1, 1, 3), WlanChannel(2, 6, 2, 2, 5)});
    EXPECT_EQ(Notifier(1).AntennaMask(), 1u);
    EXPECT_EQ(Notifier(2).AntennaMask(), 2u);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 3}, {2, 5}}}));
    Sense(5, 0);
    Sense(6, 0);
    EXPECT_EQ(LastSet(), (Setting{1, {}}));
    sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(LastSet(), (Setting{1, {}}));
    Sense(5, 1);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 3}}}));
    EXPECT_FALSE(sim::TraceContains("Read-back mismatch"));
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 3}, {2, 5}}}));
}

// Several WLAN channels, one sensor changing (or a SAR notification) at a
// time: every setting the adapter receives from then on, a channel's own
// send, each refresh and the notification's, gives each antenna the highest
// index its near holders ask for, and enables back-off while one channel is
// near. A refresh may still send the setting of before the change ahead of
// the channel's own send, never after it.
TEST_F(ChannelTest, EverySettingGivesEachAntennaItsNearHoldersBackoff) {
    struct Step {
        ULONG sensor; // 0: a SAR notification
        ULONG state;
        Setting want;
    };
    struct Case {
        const char* what;
        std::vector<std::string> channels;
        Setting atStart; // every sensor near until it reports
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"masks 1, 2 and 3",
         ThreeChannels(),
         {1, {{1, 4}, {2, 5}}},
         {{6, 0, {1, {{1, 4}, {2, 4}}}},
          {7, 0, {1, {{1, 3}}}},
          {0, 0, {1, {{1, 3}}}},
          {5, 0, {0, {}}},
          {6, 1, {1, {{2, 5}}}},
          {7, 1, {1, {{1, 4}, {2, 5}}}}}},
        // The far channel's index is the higher one: it must not veto the near one's.
        {"masks 3 and 1",
         {WlanChannel(0, 5, 3, 6, 8), WlanChannel(1, 6, 1, 1, 2)},
         {1, {{1, 8}, {2, 8}}},
         {{5, 0, {1, {{1, 2}}}},
          {0, 0, {1, {{1, 2}}}},
          {6, 0, {0, {}}},
          {6, 1, {1, {{1, 2}}}},
          {5, 1, {1, {{1, 8}, {2, 8}}}}}},
        {"masks 0 and 1",
         {WlanChannel(0, 4, 0, 0, 0), WlanChannel(1, 5, 1, 1, 3)},
         {1, {{1, 3}}},
         {{5, 0, {1, {}}}, {0, 0, {1, {}}}, {4, 0, {0, {}}}, {4, 1, {1, {}}}}},
    };
    for (const Case& c : cases) {
        for (bool provisioned : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (provisioned ? ", refreshed" : ""));
            FreshMachine();
            Provision(provisioned ? std::optional<ULONG>(10000) : std::nullopt);
            Build(2, c.channels);
            EXPECT_EQ(LastSet(), c.atStart);
            Setting before = c.atStart;
            for (const Step& step : c.steps) {
                SCOPED_TRACE(sim::wlan::SettingText(step.want));
                std::size_t from = sim::wlan::Commands().size();
                std::size_t runs = sim::TraceCount("WlanRefreshTimerFunc Exit");
                if (step.sensor == 0) {
                    sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
                } else {
                    EXPECT_EQ(SetSensorState(step.sensor, step.state).status, STATUS_SUCCESS);
                }
                if (provisioned) {
                    ASSERT_TRUE(WaitUntil(
                        [&] { return sim::TraceCount("WlanRefreshTimerFunc Exit") > runs; }));
                }
                ASSERT_TRUE(sim::Settle());
                std::vector<Setting> sets = SetsFrom(from);
                auto changed = std::find_if(sets.begin(), sets.end(),
                                            [&](const Setting& set) { return set != before; });
                if (step.want == before) {
                    changed = sets.begin();
                }
                ASSERT_NE(changed, sets.end());
                EXPECT_EQ(std::vector<Setting>(changed, sets.end()),
                          std::vector<Setting>(sets.end() - changed, step.want));
                before = step.want;
            }
        }
    }
}

TEST_F(ChannelTest, RegistrationAndEnumerationFailuresAreTriedAgainByTheNextSend) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* trace;
        bool delivered;
    };
    const Case cases[] = {
        {"service registration fails",
         [] { sim::ArmFault("WlanRegisterDeviceServiceNotification", sim::FaultSpec::Once(8)); },
         "WlanRegisterDeviceServiceNotification failed 8", true},
        {"notification registration fails",
         [] { sim::ArmFault("WlanRegisterNotification", sim::FaultSpec::Once(8)); },
         "WlanRegisterNotification failed 8", true},
        {"enumeration fails", [] { sim::ArmFault("WlanEnumInterfaces", sim::FaultSpec::Once()); },
         " WlanEnumInterfaces failed", true},
        {"no interface", [] { sim::wlan::SetInterfaces(0); }, "No WLAN interface listed", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        c.arrange();
        Build(1, {WlanChannel(0, 5, 1, 2, 4)}, false);
        WlanDataNotifier& notifier = Notifier(0);
        ASSERT_TRUE(notifier.Start());
        ASSERT_TRUE(sim::Settle());
        EXPECT_TRUE(sim::TraceContains(c.trace, TRACE_LEVEL_ERROR));

        LONG index = 4;
        EXPECT_EQ(notifier.Notify(1, &index), c.delivered);
        EXPECT_EQ(sim::wlan::SarServiceRegistered(), true);
        EXPECT_EQ(sim::wlan::NotificationRegistrations(), 1u);
        EXPECT_EQ(sim::wlan::SetCount(), c.delivered ? 1u : 0u);
        if (!c.delivered) {
            EXPECT_TRUE(sim::TraceContains(
                " Could not retrieve WLAN interface GUID, not sending backoff index"));
            EXPECT_FALSE(ResendRequested(notifier));
        }
    }
}

TEST_F(ChannelTest, TheMergedSettingFindsTheInterfaceItself) {
    sim::ArmFault("WlanEnumInterfaces", sim::FaultSpec::Once());
    Build(1, {WlanChannel(0, 5, 1, 2, 4)}, false);
    ASSERT_TRUE(Notifier(0).Start());
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(WlanDataNotifier::SendMergedWlanBackoff(), STATUS_SUCCESS);
}

TEST_F(ChannelTest, WithoutAWaitLockFromTheStartTheChannelMakesOneWhenItSends) {
    // The lock the first WLAN notifier makes fails.
    sim::SetTraceSink([](const sim::TraceRecord& record) {
        if (record.message == "WlanDataNotifier Entry") {
            sim::ArmFault("WdfWaitLockCreate", sim::FaultSpec::Once());
        }
    });
    Build(1, {WlanChannel(0, 5, 1, 2, 4)});
    sim::SetTraceSink(nullptr);
    EXPECT_TRUE(sim::TraceContains("WdfWaitLockCreate failed", TRACE_LEVEL_ERROR));
    Sense(5, 0);
    Sense(5, 1);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 4}}}));
}

TEST_F(ChannelTest, UnregisteringWaitsForARegistrationInProgress) {
    Build(1, {WlanChannel(0, 5, 1, 2, 4)}, false);
    constexpr char kRegister[] = "WlanRegisterNotification";
    sim::wlan::Hold(kRegister);
    std::thread registering([] { RegisterWlanNotifications(); });
    ASSERT_TRUE(WaitUntil([&] { return sim::wlan::Held(kRegister) == 1; }));
    std::thread unregistering([] { UnregisterWlanNotifications(); });
    // One that did not wait would be at the adapter now, ending the
    // registration of a handle that is still being registered.
    EXPECT_FALSE(
        WaitUntil([&] { return sim::wlan::Held(kRegister) == 2; }, std::chrono::milliseconds(100)));
    sim::wlan::Release(kRegister);
    registering.join();
    unregistering.join();
    EXPECT_EQ(sim::wlan::OpenHandles(), 0u);
    EXPECT_EQ(gWlanDeviceServiceRegistered.load(), 0u);
}

} // namespace
} // namespace wlan_test
