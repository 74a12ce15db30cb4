// The WLAN channels across power transitions and the device's life: the
// initialisation thread, the removal setting, a device added again.
#include "wlan_fixture.h"

#include "hmx/hmx_cci_startup.h"
#include "tests/slpi/slpi_fixture.h"

#include <algorithm>

namespace wlan_test {
namespace {

using LifecycleTest = WlanTest;

constexpr char kOpen[] = "WlanOpenHandle";

TEST_F(LifecycleTest, RemovalLeavesEveryChannelAtItsActiveIndexOnce) {
    // Channel 1's active state sends nothing: it keeps the state it has.
    Build(2, {WlanChannel(0, 5, 1, 1, 3), WlanChannel(1, 6, 2, 2, -1)});
    Sense(5, 0);
    Sense(6, 0);
    std::size_t sets = sim::wlan::SetCount();
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wlan::SetCount(), sets + 1);
    EXPECT_EQ(LastSet(), (Setting{1, {{1, 3}}}));
    EXPECT_TRUE(sim::TraceContains("Removal setting sent already")); // by channel 1's stop
}

// A change while the channels start, an APPS reading or the start of an
// SLPI sensor (which counts as near until it reports), sends nothing before
// the channel's notifier has started: the channels compute once all have
// started, and every setting names the channel's antennas; also when an
// earlier channel never started.
TEST_F(LifecycleTest, NoSettingGoesOutBeforeTheChannelsAntennasAreKnown) {
    ASSERT_EQ(hmx_cci_library_start(), 0);
    struct Case {
        const char* what;
        std::vector<std::string> channels;
        ULONG reading; // the APPS sensor read near; 0: the SLPI sensor's start
        sim::wlan::Entry entry;
        bool firstWorkerFails;
    };
    const std::string slpi = slpi_test::Slpi(sim::hub::kDefaultSarSuid);
    // The SLPI rows first: the sensor hub's client writes its traffic to the
    // debugger, and the next row's fresh machine clears it.
    const Case cases[] = {
        {"an SLPI sensor's start", {WlanChannelOf(0, slpi, 1, 2, 4)}, 0, {1, 4}, false},
        {"an SLPI sensor's start, two channels",
         {WlanChannelOf(0, slpi, 1, 2, 4), WlanChannel(1, 6, 2, 1, 3)},
         0,
         {1, 4},
         false},
        {"an SLPI sensor's start, the first channel without a worker",
         {WlanChannel(0, 5, 1, 2, 4), WlanChannelOf(1, slpi, 2, 1, 3)},
         0,
         {2, 3},
         true},
        {"an APPS reading", {WlanChannel(0, 5, 1, 2, 4)}, 5, {1, 4}, false},
        {"an APPS reading, two channels",
         {WlanChannel(0, 5, 1, 2, 4), WlanChannel(1, 6, 2, 1, 3)},
         5,
         {1, 4},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        sim::hub::Reset();
        Build(2, c.channels, false);
        // Far first, so that the reading is a change; that pass may come
        // before the notifier's start too.
        ASSERT_TRUE(c.reading == 0 || UpdateSensorState(c.reading, 0));
        std::size_t sentBeforeStart = 0;
        {
            TraceHooks hooks;
            if (c.firstWorkerFails) {
                hooks.At(
                    "Starting channel 0",
                    [] { sim::ArmFault("CreateThread", sim::FaultSpec::Once()); }, "Power.cpp");
            }
            hooks.At("Start Entry", [&] {
                ASSERT_TRUE(c.reading == 0 || UpdateSensorState(c.reading, 1));
                sentBeforeStart = SetsFrom(0).size();
            });
            ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        }
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::TraceContains("Failed to create EventHandlerThread!"), c.firstWorkerFails);
        // Every setting that enables back-off gives the channel's antenna its
        // index (a channel that never started counts as detected beside it).
        std::vector<Setting> sets = SetsFrom(0);
        EXPECT_EQ(sentBeforeStart, 0u);
        EXPECT_GE(sets.size(), 1u);
        for (const Setting& set : sets) {
            if (set.enable == 1) {
                EXPECT_NE(std::find(set.entries.begin(), set.entries.end(), c.entry),
                          set.entries.end())
                    << sim::wlan::SettingText(set);
            }
        }
    }
}

TEST_F(LifecycleTest, StopWaitsForASlowInitialisationThreadBeforeUnregistering) {
    Build(1, {WlanChannel(0, 5, 1, 2, 4)}, false);
    sim::SetTimeScale(1.0); // the thread ends well within the 15 s wait
    sim::wlan::Hold(kOpen);
    ASSERT_TRUE(Notifier(0).Start());
    ASSERT_TRUE(WaitUntil([] { return sim::wlan::Held(kOpen) == 1; }));
    std::thread stopping([] { Notifier(0).Stop(); });
    // The wait begins while the thread is still opening its handle.
    EXPECT_TRUE(
        WaitUntil([] { return sim::TraceContains("Waiting for the WLAN initialisation"); }));
    sim::wlan::Release(kOpen);
    stopping.join();
    EXPECT_EQ(sim::wlan::OpenHandles(), 0u);
}

TEST_F(LifecycleTest, AnInitialisationThreadThatOutlastsStopIsWaitedForByTheNextStart) {
    Provision(10000);
    Build(1, {WlanChannel(0, 5, 1, 2, 4)}, false);
    // The thread registers, then waits for the file it reads (5 s: scale 1).
    sim::partition::Hang(sim::partition::Kind::Read);
    sim::SetTimeScale(1.0);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([] { return sim::partition::WithheldCount() == 1; }));
    sim::SetTimeScale(0.001); // Stop's and Start's 15 s waits end first
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    EXPECT_EQ(sim::wlan::OpenHandles(), 0u);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    EXPECT_EQ(sim::TraceCount("WLAN initialisation thread still running"), 3u);
    EXPECT_EQ(sim::TraceCount("WlanInitThreadProc Entry"), 1u);
    // Once it has ended, the next start makes a thread of its own.
    sim::partition::ReleaseWithheld();
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("WlanInitThreadProc Entry"), 2u);
}

TEST_F(LifecycleTest, ADeviceAddedAgainStartsClean) {
    Build(1, {WlanChannel(0, 5, 2, 1, 4)});
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    for (const sim::wdf::ObjectInfo& object : sim::wdf::LiveObjects()) {
        EXPECT_NE(object.kind, "WDFWAITLOCK"); // the notifiers' lock went with them
    }
    host->Unload();
    host = std::make_unique<sim::DriverHost>();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    Sense(5, 0);
    Sense(5, 1);
    EXPECT_EQ(LastSet(), (Setting{1, {{2, 4}}}));
    EXPECT_FALSE(sim::TraceContains("Device Context is NULL"));
}

} // namespace
} // namespace wlan_test
