// The removal setting: once the adapter has accepted it, it stays the
// adapter's last setting until the removal is over, whatever the channels'
// workers, the readings, the refresh timer and the adapter's notifications do
// while the channels are stopped one after the other.
#include "wlan_fixture.h"

#include <thread>

namespace wlan_test {
namespace {

using RemovalTest = WlanTest;

constexpr char kSet[] = "WlanDeviceServiceCommand.Set";
constexpr char kOpen[] = "WlanOpenHandle";

const std::vector<std::string>& kChannels = ThreeChannels();
const Setting kRemovalSetting{1, {{1, 4}, {2, 5}}};

// In the first channel's stop, after the removal setting was sent and before
// the registrations end and the next channel stops.
constexpr char kAfterTheRemovalSetting[] = "Waiting for the WLAN initialisation thread";

TEST_F(RemovalTest, NothingReplacesTheRemovalSettingWhileTheChannelsStop) {
    struct Case {
        const char* what;
        std::function<void()> during;
    };
    const Case cases[] = {
        {"a reading", [] { Reading(6, 0); }},
        {"a reading, then a refresh",
         [] {
             Reading(6, 0);
             std::size_t runs = sim::TraceCount("WlanRefreshTimerFunc Exit");
             ASSERT_TRUE(
                 WaitUntil([&] { return sim::TraceCount("WlanRefreshTimerFunc Exit") > runs; }));
         }},
        {"a reading, then a SAR notification",
         [] {
             Reading(6, 0);
             std::size_t delivered = sim::wlan::DeliveredCount();
             sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
             ASSERT_TRUE(WaitUntil([&] { return sim::wlan::DeliveredCount() > delivered; }));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        Provision(10000); // a refresh every 9 ms of real time
        Build(2, kChannels);
        // Counted once the removal setting is out: a refresh may still go out
        // before it.
        std::size_t sets = 0;
        Setting accepted;
        {
            TraceHooks hooks;
            hooks.At(kAfterTheRemovalSetting, [&] {
                sets = sim::wlan::SetCount();
                accepted = LastSet();
                c.during();
            });
            ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
        }
        EXPECT_EQ(accepted, kRemovalSetting);
        EXPECT_EQ(LastSet(), kRemovalSetting);
        EXPECT_EQ(sim::wlan::SetCount(), sets) << "nothing went out after the removal setting";
        EXPECT_TRUE(sim::TraceContains("The removal setting stays"));
    }
}

// The removal setting refused, unanswered or failed at the first WLAN
// channel's stop, or not sent for want of a client handle: a later channel's
// stop opens the client handle again, finds the interface and sends it
// again, and the adapter is left with it. Every attempt goes out as the
// removal setting, none after the one accepted, and no handle stays open.
// When every attempt fails the adapter keeps what it had.
TEST_F(RemovalTest, ARemovalSettingThatDidNotGetThroughIsSentAgainByTheNextStop) {
    struct Case {
        const char* what;
        std::size_t channels;
        std::function<void()> beforeAdd, beforeRemoval;
        // Attempts that failed; settings the adapter received (a call that
        // fails reaches no adapter).
        std::size_t failures, sets;
    };
    const auto none = [] {};
    const Case cases[] = {
        {"refused, two channels", 2, none, [] { sim::wlan::Reply(1); }, 1, 2},
        {"refused, three channels", 3, none, [] { sim::wlan::ReplyTo(kRemovalSetting, 1); }, 1, 2},
        {"no reply byte, two channels", 2, none, [] { sim::wlan::Reply(std::nullopt); }, 1, 2},
        {"no reply byte, three channels", 3, none, [] { sim::wlan::Reply(std::nullopt); }, 1, 2},
        {"the set fails, two channels", 2, none,
         [] { sim::ArmFault(kSet, sim::FaultSpec::Once(5)); }, 1, 1},
        {"the set fails, three channels", 3, none,
         [] { sim::ArmFault(kSet, sim::FaultSpec::Once(5)); }, 1, 1},
        {"the set fails, then it is refused", 3, none,
         [] {
             sim::ArmFault(kSet, sim::FaultSpec::Once(5));
             sim::wlan::Reply(1);
         },
         2, 2},
        {"no client handle yet", 2, [] { sim::ArmFault(kOpen, sim::FaultSpec::Always()); },
         [] { sim::ArmFault(kOpen, sim::FaultSpec::Once()); }, 1, 1},
        {"refused every time", 3, none, [] { sim::wlan::Reply(1, /*always=*/true); }, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        c.beforeAdd();
        Build(2, std::vector<std::string>(kChannels.begin(), kChannels.begin() + c.channels));
        Sense(6, 0);
        const Setting removal = c.channels == 2 ? Setting{1, {{1, 3}, {2, 5}}} : kRemovalSetting;
        const Setting held = sim::wlan::Current();
        ASSERT_NE(held, removal);
        c.beforeRemoval();
        const std::size_t from = sim::wlan::Commands().size();
        ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
        const bool lastAccepted = c.failures < c.channels;
        EXPECT_EQ(SetsFrom(from), std::vector<Setting>(c.sets, removal));
        EXPECT_EQ(sim::wlan::Current(), lastAccepted ? removal : held);
        EXPECT_EQ(sim::TraceCount("Sending the removal setting failed", TRACE_LEVEL_ERROR),
                  c.failures);
        EXPECT_EQ(sim::wlan::OpenHandles(), 0u);
    }
}

// A merged setting built from the states before the removal, held on its way
// to the adapter: the removal setting waits for it and lands after it.
TEST_F(RemovalTest, AMergedSettingInFlightLandsBeforeTheRemovalSetting) {
    struct Case {
        const char* what;
        std::optional<ULONG> period;
        std::function<void()> send;
    };
    const Case cases[] = {
        {"a refresh", 10000, [] {}},
        {"a SAR notification", std::nullopt,
         [] { sim::wlan::NotifyDeviceService(sim::wlan::kSarService); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        Provision(c.period);
        Build(2, kChannels);
        Sense(6, 0);
        sim::ArmFault(kSet, sim::FaultSpec::Hold());
        c.send();
        ASSERT_TRUE(sim::WaitForHeldCall(kSet));
        std::size_t sets = sim::wlan::SetCount();
        NTSTATUS removal = STATUS_UNSUCCESSFUL;
        std::thread removing([&] { removal = host->Remove(); });
        EXPECT_FALSE(WaitUntil([&] { return sim::wlan::SetCount() > sets; },
                               std::chrono::milliseconds(100)));
        sim::LetHeldCallGo(kSet);
        removing.join();
        EXPECT_EQ(removal, STATUS_SUCCESS);
        EXPECT_EQ(sim::wlan::SetCount(), sets + 2);
        EXPECT_EQ(LastSet(), kRemovalSetting);
    }
}

// A D0 exit to D3Final without a power action, and the device back in D0:
// once the channels have started, each sends again, and the next removal
// sends its setting again.
TEST_F(RemovalTest, ADeviceNotRemovedAfterAllStartsClean) {
    Build(2, kChannels);
    ASSERT_EQ(host->D0Exit(WdfPowerDeviceD3Final, PowerActionNone), STATUS_SUCCESS);
    EXPECT_EQ(LastSet(), kRemovalSetting);
    const std::size_t removalSets = sim::wlan::SetCount();
    ASSERT_EQ(host->D0Entry(WdfPowerDeviceD3Final, PowerActionNone), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_GE(sim::wlan::SetCount(), removalSets + kChannels.size());
    EXPECT_FALSE(sim::TraceContains("The removal setting stays"));
    Sense(6, 0);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 4}, {2, 4}}}));
    std::size_t sets = sim::wlan::SetCount();
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wlan::SetCount(), sets + 1);
    EXPECT_EQ(LastSet(), kRemovalSetting);
}

// The initialisation thread of the D0 entry before the removal runs only
// once the removal setting was sent: it leaves the setting in place.
TEST_F(RemovalTest, AnInitialisationThreadThatRunsLateLeavesTheRemovalSettingAlone) {
    Build(2, kChannels, false);
    TraceHooks hooks;
    hooks.At("WlanInitThreadProc Entry",
             [] { ASSERT_TRUE(WaitUntil([] { return gWlanSentOnRemoval.load() == 1; })); });
    hooks.At(kAfterTheRemovalSetting, [] {
        ASSERT_TRUE(WaitUntil([] { return sim::TraceContains("WlanInitThreadProc Exit"); }));
        Reading(6, 0);
    });
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([] { return NotifyExits() == 3; })); // every channel's first pass
    std::size_t sets = sim::wlan::SetCount();
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wlan::SetCount(), sets + 1);
    EXPECT_EQ(LastSet(), kRemovalSetting);
}

} // namespace
} // namespace wlan_test
