// The SLPI provider's client and worker through start, stop, the display,
// the loss of the sensor service and removal.
#include "tests/slpi/slpi_fixture.h"

#include "tests/support/MachineTest.h"

#include <thread>

namespace slpi_test {
namespace {

using SlpiLifecycle = SlpiTest;

TEST_F(SlpiLifecycle, TheFirstLookupWaitsUntilASecondAfterBoot) {
    AddDevice({}, false);
    sim::SetTimeScale(0.1);
    sim::SetUptimeMs(0);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    auto requests = sim::hub::Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_GE(requests[0].uptimeMs, 1000u);
}

TEST_F(SlpiLifecycle, AServiceNotUpAtTheStartIsWaitedForByTheWorkerNotTheStart) {
    sim::hub::SetPresent(false);
    AddDevice({}, false);
    const std::uint64_t before = sim::NowMs();
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_LT(sim::NowMs() - before, kPromptMs);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 0u);
    EXPECT_NE(Provider()->mThread, nullptr);
    // Not reported yet: detected.
    EXPECT_EQ(sim::modem::BackoffIndexes(), driver_test::Indexes(3));
    sim::hub::SetPresent(true);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::Clients(), 1u);
    EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), 1u);
}

// The display-state registration fails in every row, so that only the start
// itself can have told the channel of the sensor.
TEST_F(SlpiLifecycle, AStartThatCannotOpenTheClientStillSetsTheRadioAndStopsCleanlyTwice) {
    struct Row {
        const char* name;
        std::function<void()> arrange;
        const char* trace;
        bool worker;         // the worker runs, and re-opens at a service restart
        std::size_t clients; // left open by the start
    } rows[] = {
        {"lookup refused", [] { sim::hub::FailNext(Kind::Lookup, 5); }, "initSensorChannel failed",
         true, 1},
        {"no event", [] { sim::ArmFault("CreateEventW", sim::FaultSpec::Once()); },
         "CreateEvent failed", false, 0},
        {"no thread", [] { sim::ArmFault("CreateThread", sim::FaultSpec::OnCall(2)); },
         "CreateThread for the SLPI worker failed", false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Fresh();
        AddDevice({}, false);
        row.arrange();
        sim::ArmFault("PowerSettingRegisterNotification", sim::FaultSpec::Once());
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_TRUE(sim::TraceContains(row.trace, TRACE_LEVEL_ERROR));
        EXPECT_EQ(Provider()->mThread != nullptr, row.worker);
        EXPECT_EQ(sim::hub::Clients(), row.clients);
        EXPECT_TRUE(sim::TraceContains("State mask 1 -> back-off index 3"));
        EXPECT_EQ(sim::modem::BackoffIndexes(), driver_test::Indexes(3));
        if (row.worker) {
            sim::hub::Restart();
            ASSERT_TRUE(sim::Settle());
            EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), 1u);
            sim::hub::Report(0.0f);
            ASSERT_TRUE(sim::Settle());
            EXPECT_EQ(sim::modem::BackoffIndexes(), driver_test::Indexes(1));
        }
        EXPECT_TRUE(Provider()->Stop());
        EXPECT_TRUE(Provider()->Stop());
        EXPECT_EQ(sim::hub::Clients(), 0u);
    }
}

// The provider's start tells the channel before the modem channel's own
// start has looked for the WWAN interface. The channel computes only once
// every channel has started, with the interface known, so with no
// display-state delivery to follow the index still reaches the modem, once.
TEST_F(SlpiLifecycle, TheStartsSignalIsComputedOnceTheModemChannelHasFoundItsInterface) {
    AddDevice({}, false);
    sim::ArmFault("PowerSettingRegisterNotification", sim::FaultSpec::Once());
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(TracedBefore("ScanForWwanInterface returned", "State mask 1 -> back-off index 3"));
    EXPECT_FALSE(sim::TraceContains("kept for later"));
    EXPECT_EQ(sim::modem::BackoffIndexes(), driver_test::Indexes(3));
    EXPECT_EQ(sim::modem::SetCount(), 1u);
}

// The display's main road (off releases and forces active, on looks up again,
// on with the SUID held changes nothing) is the scenarios'.
TEST_F(SlpiLifecycle, RequestsRefusedAfterTheStartLeaveNothingBehind) {
    sim::hub::FailNext(Kind::Attribute, 5);
    AddDevice();
    EXPECT_TRUE(sim::TraceContains("Request 1 to SUID", TRACE_LEVEL_ERROR));
    sim::hub::Report(0.0f);
    EXPECT_EQ(ValueAfter(Provider()), 0.0f);
    // A lookup refused at a display-on leaves its client open until the next
    // display-on replaces it.
    sim::hub::FailNext(Kind::Lookup, 5);
    using sim::display::State;
    for (State state : {State::Off, State::On, State::Dimmed, State::On}) {
        sim::display::SetState(state);
        ASSERT_TRUE(sim::Settle());
    }
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 3u);
    EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), 2u);
    EXPECT_EQ(sim::hub::Clients(), 1u);
    host->Remove();
    host->Unload();
    EXPECT_TRUE(host->LeakReport().Empty()) << host->LeakReport().ToString();
}

// A release the library refuses (no wait event) keeps the client, which goes
// on serving, for the next release to close: the removal's here.
TEST_F(SlpiLifecycle, AClientWhoseReleaseFailsIsReleasedByTheNextOne) {
    AddDevice();
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    sim::display::SetState(sim::display::State::Off);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("hmx_client_release failed: -20", TRACE_LEVEL_ERROR));
    sim::display::SetState(sim::display::State::On);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::Clients(), 1u);
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 1u);
    // The same at a display-on that replaces a client whose lookup was refused.
    sim::hub::FailNext(Kind::Lookup, 5);
    for (auto state : {sim::display::State::Off, sim::display::State::On}) {
        sim::display::SetState(state);
        ASSERT_TRUE(sim::Settle());
    }
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once());
    sim::display::SetState(sim::display::State::On);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::Clients(), 1u);
    host->Remove();
    host->Unload();
    EXPECT_EQ(sim::hub::Clients(), 0u);
    EXPECT_TRUE(host->LeakReport().Empty()) << host->LeakReport().ToString();
    sim::ClearTrace(); // the failed release was this test's
}

// A service restart re-opening the client is the scenarios'.
TEST_F(SlpiLifecycle, AServiceErrorIsIgnoredWhileHibernatingAndElseEveryDisplayOnReopens) {
    AddDevice();
    Context()->InHibernate = 1;
    SlpiDataProvider::ServiceErrorCallback(1, -2, Provider());
    Context()->InHibernate = 0;
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 1u);
    EXPECT_TRUE(sim::TraceContains("ignored while hibernating"));
    SlpiDataProvider::ServiceErrorCallback(1, -2, Provider());
    ASSERT_TRUE(sim::Settle());
    sim::display::SetState(sim::display::State::On);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::RequestCount(Kind::Lookup), 3u);
    EXPECT_EQ(sim::hub::Clients(), 1u);
}

// A worker waiting for the service ends within a slice of the stop; one held
// up inside a slice is one the stop must give up on, and keep.
TEST_F(SlpiLifecycle, AWorkerGivenUpOnAtStopIsWaitedForAndLeavesNoClient) {
    AddDevice();
    sim::hub::SetPresent(false);
    ASSERT_TRUE(sim::Settle());
    HoldTheWorkerInItsWait();
    sim::SetTimeScale(0.01);
    EXPECT_TRUE(Provider()->Stop());
    EXPECT_TRUE(sim::TraceContains("SLPI worker did not end within 15000 ms", TRACE_LEVEL_ERROR));
    // Back while the worker is held: it opens a client after the stop. The
    // next start waits for that worker and runs one of its own, which
    // follows the display.
    sim::SetTimeScale(1.0);
    sim::hub::SetPresent(true);
    sim::LetHeldCallGo("SensorHub.Open");
    // Ended before the start, so the start's own stop finds nobody to end.
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(Provider()->Start());
    sim::display::SetState(sim::display::State::Off);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::hub::Clients(), 0u);
    host->Remove();
    host->Unload();
    EXPECT_TRUE(host->LeakReport().Empty()) << host->LeakReport().ToString();
    EXPECT_FALSE(sim::TraceContains("SLPI worker wait failed"));
}

TEST_F(SlpiLifecycle, AProviderDeletedWhileItsWorkerIsStuckWaitsForItAndReleasesItsLateClient) {
    AddDevice();
    // The removal gives up on the held worker twice (D0 exit, then the
    // deletion's own stop); the service comes back, and the worker goes on,
    // while the deletion waits.
    sim::hub::SetPresent(false);
    ASSERT_TRUE(sim::Settle());
    HoldTheWorkerInItsWait();
    sim::SetTimeScale(0.01);
    std::thread back([] {
        halvex::testing::WaitUntil(
            [] { return sim::TraceContains("Waiting for the SLPI worker to end"); });
        sim::hub::SetPresent(true);
        sim::LetHeldCallGo("SensorHub.Open");
    });
    host->Remove();
    back.join();
    // The worker's own lookup, after the start's; its client is released.
    EXPECT_EQ(sim::TraceCount("SUID lookup for \"SAR\" sent"), 2u);
    EXPECT_FALSE(sim::TraceContains("SLPI worker wait failed"));
}

TEST_F(SlpiLifecycle, AClientTheWorkerOpensWhileStopWaitsForItIsReleased) {
    AddDevice();
    sim::hub::SetPresent(false);
    ASSERT_TRUE(sim::Settle());
    HoldTheWorkerInItsWait();
    HANDLE stop = halvex::testing::StartStandInThread([this] { return DWORD{Provider()->Stop()}; });
    // The stop has released what it found; the worker opens its client after.
    ASSERT_TRUE(halvex::testing::WaitUntil([this] { return Provider()->mStopRequested.load(); }));
    sim::hub::SetPresent(true);
    sim::LetHeldCallGo("SensorHub.Open");
    ASSERT_EQ(WaitForSingleObject(stop, 10000), WAIT_OBJECT_0);
    CloseHandle(stop);
    EXPECT_EQ(sim::hub::Clients(), 0u);
}

TEST_F(SlpiLifecycle, AWorkerWhoseWaitFailsEndsInsteadOfSpinning) {
    AddDevice();
    sim::ArmFault("WaitForMultipleObjects", sim::FaultSpec::Always());
    SlpiDataProvider::ServiceErrorCallback(1, -2, Provider());
    EXPECT_TRUE(sim::Settle());
    sim::ResetFaults();
    EXPECT_TRUE(sim::TraceContains("SLPI worker wait failed", TRACE_LEVEL_ERROR));
}

TEST_F(SlpiLifecycle, AProviderWithoutAWaitLockSerialisesOnItsOwn) {
    sim::ArmFault("WdfWaitLockCreate", sim::FaultSpec::Once());
    {
        SlpiDataProvider provider(9, nullptr, 0, 0, nullptr);
        EXPECT_EQ(provider.mLock, nullptr);
        EXPECT_TRUE(provider.Start());
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::hub::RequestCount(Kind::OnChange), 1u);
        // Without a device the service error goes nowhere.
        SlpiDataProvider::ServiceErrorCallback(1, -2, &provider);
        EXPECT_TRUE(sim::TraceContains("Device Context is NULL", TRACE_LEVEL_ERROR));
    }
    // The stand-in reports a bad handle to the debugger; the client library
    // writes its message lines there too.
    for (const auto& line : sim::DebuggerOutput()) {
        EXPECT_EQ(line.rfind("HMCI UM", 0), 0u) << line;
    }
}

} // namespace
} // namespace slpi_test
