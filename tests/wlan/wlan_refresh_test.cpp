// The refresh timer: made from the provisioning file's period, once, and
// pushed a whole period away by every send of a channel and every SAR
// notification; each run re-sends the merged setting.
#include "wlan_fixture.h"

#include <algorithm>

namespace wlan_test {
namespace {

using RefreshTest = WlanTest;

// When traces holding `text` were made, in machine milliseconds, oldest first.
std::vector<std::uint64_t> TraceTimes(std::string_view text) {
    std::vector<std::uint64_t> times;
    for (const sim::TraceRecord& record : sim::TraceSnapshot()) {
        if (record.message.find(text) != std::string::npos) {
            times.push_back(record.timeMs);
        }
    }
    return times;
}

std::vector<std::uint64_t> Refreshes() {
    return TraceTimes("WlanRefreshTimerFunc Entry");
}

TEST_F(RefreshTest, TheProvisionedPeriodDecidesTheTimer) {
    struct Case {
        std::optional<ULONG> filePeriod;
        ULONG timerPeriod; // 0: no timer
        const char* trace;
    };
    const Case cases[] = {
        {kWlanNoRefresh, 0, "No refresh period provisioned"},
        {2999, 0, "Refresh period 2999 ms is below 3000 ms"},
        {3000, 2700, "Refresh timer every 2700 ms"},
        // -10000 x 216000 needs more than 32 bits.
        {240000, 216000, "Refresh timer every 216000 ms"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        FreshMachine();
        Provision(c.filePeriod);
        Build(1, {WlanChannel(0, 5, 1, 2, 4)}); // settled: past the first run of a timer
        EXPECT_TRUE(sim::TraceContains(c.trace));
        EXPECT_EQ(gWlanRefreshTimer.load() != nullptr, c.timerPeriod != 0);
        if (c.timerPeriod != 0) {
            // The first run comes a whole period after the timer was made.
            ASSERT_FALSE(Refreshes().empty());
            EXPECT_GE(Refreshes().front(), TraceTimes("Refresh timer every")[0] + c.timerPeriod);
        }
    }
}

TEST_F(RefreshTest, TheTimerIsMadeOnceFromTheFilesOwnPeriod) {
    Provision(10000);
    Build(2, {WlanChannel(0, 5, 1, 2, 4), WlanChannel(1, 6, 2, 1, 3)}, false);
    sim::ArmFault("WdfTimerCreate", sim::FaultSpec::Once());
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("WdfTimerCreate failed"));
    // The file is gone by the next D0 entry: the period read before stands.
    sim::partition::DeleteFile(std::u16string(sim::partition::kProvisioningPath));
    for (int entry = 2; entry <= 3; ++entry) {
        ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
    }
    // One thread for each D0 entry; the third finds the timer and looks for no file.
    EXPECT_EQ(sim::TraceCount("WlanInitThreadProc Entry"), 3u);
    EXPECT_EQ(sim::TraceCount("Refresh timer every 9000 ms"), 1u);
    EXPECT_EQ(sim::partition::RequestCount(sim::partition::Kind::List), 3u);
}

TEST_F(RefreshTest, SendsAndSarNotificationsPostponeARefreshOfTheMergedSetting) {
    sim::SetTimeScale(0.01); // a run every 90 ms: room for a send in between
    Provision(10000);
    Build(2, {WlanChannel(0, 5, 3, 2, 4)});
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 4}, {2, 4}}})); // by the first run
    const std::function<void()> postpone[] = {
        [] { sim::wlan::NotifyDeviceService(sim::wlan::kSarService); },
        [] {
            sim::wlan::Leave(); // a refused send postpones the refresh too
            ASSERT_TRUE(sim::Settle());
            LONG index = 4;
            Notifier(0).Notify(1, &index);
        },
    };
    for (const auto& action : postpone) {
        std::size_t runs = Refreshes().size();
        ASSERT_TRUE(WaitUntil([&] { return Refreshes().size() > runs; })); // it restarts itself
        std::uint64_t last = Refreshes().back();
        ASSERT_TRUE(WaitUntil([&] { return sim::NowMs() >= last + 2000; }));
        std::uint64_t begin = sim::NowMs();
        action();
        ASSERT_TRUE(sim::Settle());
        std::uint64_t end = sim::NowMs();
        ASSERT_TRUE(WaitUntil([&] { return Refreshes().back() > end; }));
        std::vector<std::uint64_t> runsNow = Refreshes();
        EXPECT_GE(*std::upper_bound(runsNow.begin(), runsNow.end(), end), begin + 9000);
    }
}

// A channel with no index for its state (no row for something near) has
// never sent: the refresh has nothing of it to send, never an index 0 that
// no row gives.
TEST_F(RefreshTest, AChannelWithoutAnIndexYetTakesNoPartInTheRefresh) {
    Provision(10000);
    Build(1, {WlanChannel(0, 5, 1, 2, -1)});
    ASSERT_TRUE(WaitUntil([] { return !Refreshes().empty(); }));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::wlan::SetCount(), 0u) << "sent " << LastSet().entries.size() << " entries";
    EXPECT_TRUE(sim::TraceContains("No WLAN channel has a back-off index yet"));
    Sense(5, 0);
    EXPECT_EQ(LastSet(), (Setting{0, {}}));
}

} // namespace
} // namespace wlan_test
