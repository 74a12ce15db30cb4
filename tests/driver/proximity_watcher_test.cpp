// The proximity-sensor watcher: which operating-system sensor stands for which
// configured sensor, when its readings reach the channels, what its failures
// leave, and how its handlers end with the device.
#include "driver_core_fixture.h"

#include "halvex/provider/ProximitySensorWatcher.h"
#include "tests/support/MachineTest.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace driver_test {
namespace {

using halvex::testing::WaitUntil;
using sim::display::State;
using sim::proximity::HoldPoint;

constexpr char16_t kSensor[] = u"\\\\?\\ACPI#PROX0001#1a2b#{7e5f1c2a-0b1d-4c1e-9a3f-5d6e7f8a9b0c}";

std::string AppsWithSuid(ULONG id, unsigned high, unsigned low) {
    char suid[64];
    std::snprintf(suid, sizeof suid, "\"SUID_HIGH_L\"=dword:%x\n\"SUID_LOW_L\"=dword:%x\n", high,
                  low);
    return Apps(id) + suid;
}

class ProximityTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        Prepare();
    }

    // Channel 0 follows sensor 7 (SUID 1a:2b; its second sensor, 9, is never
    // matched, and is set clear once running); channel 1's first sensor, 8,
    // has the SUID 0:5 and channel 2's, 3, none: neither channel moves the
    // modem.
    void Prepare() {
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
        Configure(DeviceKey(3) +
                  Channel("channel0", {AppsWithSuid(7, 0x1a, 0x2b), AppsWithSuid(9, 0xc0, 0xde)}) +
                  Channel("channel1", {AppsWithSuid(8, 0, 5)}, 0, 0) +
                  Channel("channel2", {Apps(3)}, 0, 0));
    }

    void Run() {
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        ASSERT_EQ(SetSensorState(9, 0).status, STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
    }

    static void Arrives(const char16_t* deviceId = kSensor) {
        ASSERT_TRUE(sim::proximity::AddSensor(deviceId));
        ASSERT_TRUE(sim::Settle());
    }
    static std::vector<std::int32_t> Modem() {
        EXPECT_TRUE(sim::Settle());
        return sim::modem::BackoffIndexes();
    }
    static std::vector<std::int32_t> Reads(bool near) {
        EXPECT_TRUE(sim::proximity::Reading(kSensor, near));
        return Modem();
    }
};

TEST_F(ProximityTest, MatchingIgnoresSeparatorsAndCaseAndLooksOnlyAtEachChannelsFirstSensor) {
    ASSERT_NO_FATAL_FAILURE(Run());
    struct Case {
        const char16_t* deviceId;
        NTSTATUS status;
        uint32_t sensorId;
    };
    const Case cases[] = {
        {kSensor, STATUS_SUCCESS, 7},
        {u"ACPI#PROX0001#1A2B", STATUS_SUCCESS, 7},
        {u"1-a{2}b", STATUS_SUCCESS, 7},
        {u"ACPI#PROX0001#c0de", STATUS_UNSUCCESSFUL, 0},
        {u"ACPI#PROX0001#05", STATUS_SUCCESS, 8},
        // Ids that hold "00" belong to no channel without a SUID.
        {u"ACPI#PROX0002#ffff", STATUS_UNSUCCESSFUL, 0},
        {u"", STATUS_UNSUCCESSFUL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(NarrowString(c.deviceId));
        uint32_t sensorId = 99;
        EXPECT_EQ(Context()->ProximityWatcher->GetSensorIdFromDeviceId(c.deviceId, &sensorId),
                  c.status);
        EXPECT_EQ(sensorId, c.sensorId);
    }
    EXPECT_EQ(sim::TraceCount("No proximity sensor is taken for channel 2"), 1u);
}

// What readings, the display and a removal do to the modem is the proximity
// scenarios' to show; here, the subscriptions behind them.
TEST_F(ProximityTest, OnlyAMatchedSensorHoldsASubscriptionOnceOnItsLatestArrivalWhileItIsThere) {
    constexpr char16_t kUnmatched[] = u"ACPI#PROX0002#ffff";
    ASSERT_NO_FATAL_FAILURE(Run());
    ASSERT_NO_FATAL_FAILURE(Arrives(kUnmatched));
    ASSERT_NO_FATAL_FAILURE(Arrives());
    // Reported again by a watcher started again; then gone and back while the
    // watcher was stopped, so that only its new object reads.
    for (bool cameBack : {false, true}) {
        SCOPED_TRACE(cameBack);
        ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::proximity::WatcherStatus(), DeviceWatcherStatus::Stopped);
        if (cameBack) {
            ASSERT_TRUE(sim::proximity::Remove(kSensor));
            ASSERT_TRUE(sim::proximity::AddSensor(kSensor));
        }
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(Reads(cameBack), Indexes(cameBack ? 7 : 2));
        EXPECT_EQ(sim::proximity::ReadingSubscriptions(kSensor), 1u);
    }
    EXPECT_EQ(sim::proximity::ReadingSubscriptions(kUnmatched), 0u);
    EXPECT_EQ(Reads(false), Indexes(2));
    ASSERT_TRUE(sim::proximity::Remove(kSensor));
    EXPECT_EQ(Modem(), Indexes(7));
    EXPECT_EQ(sim::proximity::ReadingSubscriptions(kSensor), 0u);
}

// While the display is off its forcing covers the channel, and the latest
// reading of each sensor is kept: once the display is on, the channel follows
// it although the sensor says nothing more. A sensor that goes meanwhile
// counts as detected, and its kept reading goes with it.
TEST_F(ProximityTest, TheLatestReadingWhileTheDisplayIsOffCountsOnceItComesOn) {
    struct Row {
        const char* name;
        std::vector<bool> readings; // near or far, while the display is off
        bool leaves;
        std::int32_t index; // once the display is on
    } rows[] = {
        {"near", {true}, false, 7},
        {"far, then near", {false, true}, false, 7},
        {"near, then far", {true, false}, false, 2},
        {"near, then far, then gone", {true, false}, true, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FreshMachine();
        Prepare();
        ASSERT_NO_FATAL_FAILURE(Run());
        ASSERT_NO_FATAL_FAILURE(Arrives());
        EXPECT_EQ(Reads(false), Indexes(2));
        sim::display::SetState(State::Off);
        EXPECT_EQ(Modem(), Indexes(7));
        for (bool near : row.readings) {
            EXPECT_EQ(Reads(near), Indexes(7));
        }
        EXPECT_EQ(sim::TraceCount("kept until it comes on", TRACE_LEVEL_ERROR),
                  row.readings.size());
        if (row.leaves) {
            ASSERT_TRUE(sim::proximity::Remove(kSensor));
            EXPECT_EQ(Modem(), Indexes(7));
        }
        sim::display::SetState(State::On);
        EXPECT_EQ(Modem(), Indexes(row.index));
    }
}

// A reading that comes as the display comes on wins over the one kept while
// it was off: caught before it looked at the gate, it holds the watcher until
// it has gone on, and the kept one is not passed on after it.
TEST_F(ProximityTest, AReadingAsTheDisplayComesOnWinsOverTheOneKeptBeforeIt) {
    ASSERT_NO_FATAL_FAILURE(Run());
    ASSERT_NO_FATAL_FAILURE(Arrives());
    EXPECT_EQ(Reads(false), Indexes(2));
    sim::display::SetState(State::Off);
    EXPECT_EQ(Reads(true), Indexes(7));
    sim::proximity::Hold(HoldPoint::IsDetected);
    ASSERT_TRUE(sim::proximity::Reading(kSensor, false));
    const bool held = WaitUntil([] { return sim::proximity::Held(HoldPoint::IsDetected) == 1; });
    sim::display::SetState(State::On);
    const bool opened =
        held && WaitUntil([this] { return Context()->ProximityWatcher->mDisplayOn.load() == 1; });
    sim::proximity::Release(HoldPoint::IsDetected);
    ASSERT_TRUE(opened);
    EXPECT_EQ(Modem(), Indexes(2));
    EXPECT_EQ(sim::TraceCount("kept while it was off goes on"), 0u);
}

// A reading goes on when it differs from what the sensor's providers hold
// now, whoever set them last (the client's IOCTL too), and only then.
TEST_F(ProximityTest, AReadingGoesOnWhenItDiffersFromWhatTheSensorHoldsNow) {
    ASSERT_NO_FATAL_FAILURE(Run());
    ASSERT_NO_FATAL_FAILURE(Arrives());
    EXPECT_EQ(Reads(false), Indexes(2));
    EXPECT_EQ(Reads(true), Indexes(7));
    EXPECT_EQ(ModemAfter(7, 0), Indexes(2));
    EXPECT_EQ(Reads(true), Indexes(7));
    EXPECT_EQ(Reads(true), Indexes(7));
    EXPECT_EQ(sim::TraceCount("reads near: sensor 7 set to 1"), 2u);
}

// Display off, a hibernation, the display dimmed, the resume: the first state
// the resume delivers is not off, so the watcher's gate opens as the forcing
// ends, and a near reading reaches the modem. A dimmed state delivered later
// changes nothing: the gate that display off closed stays closed.
TEST_F(ProximityTest, AFirstDimmedDeliveryOpensTheGateAndALaterOneChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(Run());
    ASSERT_NO_FATAL_FAILURE(Arrives());
    EXPECT_EQ(Reads(false), Indexes(2));
    sim::display::SetState(State::Off);
    EXPECT_EQ(Modem(), Indexes(7));
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    sim::display::SetState(State::Dimmed);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(Modem(), Indexes(2));
    EXPECT_EQ(Reads(true), Indexes(7));
    EXPECT_EQ(Reads(false), Indexes(2));
    for (State state : {State::Off, State::Dimmed}) {
        sim::display::SetState(state);
        EXPECT_EQ(Modem(), Indexes(7));
    }
    EXPECT_EQ(Reads(false), Indexes(7));
    EXPECT_EQ(sim::TraceCount("kept until it comes on", TRACE_LEVEL_ERROR), 1u);
    sim::display::SetState(State::On);
    EXPECT_EQ(Modem(), Indexes(2));
}

TEST_F(ProximityTest, WatcherFailuresLeaveADeviceThatRunsWithoutProximityReadings) {
    struct Case {
        const char* point;
        sim::FaultSpec fault;
        const char* traced;
        bool watcherStarts;
        bool displayRegistered;
    };
    const Case cases[] = {
        {"ProximitySensor.GetDeviceSelector", sim::FaultSpec::Once(1), "an empty selector", false,
         true},
        {"ProximitySensor.GetDeviceSelector", sim::FaultSpec::Once(E_ACCESSDENIED),
         "HRESULT 0x80070005", false, true},
        {"DeviceInformation.CreateWatcher", sim::FaultSpec::Once(1), "returned no watcher", false,
         true},
        {"DeviceInformation.CreateWatcher", sim::FaultSpec::Once(E_OUTOFMEMORY), "bad_alloc", false,
         true},
        {"Proximity.Subscribe", sim::FaultSpec::OnCall(3), "RegisterEventHandlers failed", true,
         true},
        {"DeviceWatcher.Start", sim::FaultSpec::Once(E_ACCESSDENIED), "HRESULT 0x80070005", false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.traced);
        FreshMachine();
        Prepare();
        sim::ArmFault(c.point, c.fault);
        ASSERT_NO_FATAL_FAILURE(Run());
        EXPECT_TRUE(sim::TraceContains(c.traced, TRACE_LEVEL_ERROR));
        EXPECT_EQ(ChannelCount(), 3u);
        EXPECT_EQ(sim::proximity::WatcherStatus() == DeviceWatcherStatus::EnumerationCompleted,
                  c.watcherStarts);
        EXPECT_EQ(Context()->PowerNotifyHandle != nullptr, c.displayRegistered);
        ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::proximity::WatcherSubscriptions(), 0u);
        EXPECT_FALSE(sim::proximity::WatcherStatus());
    }
}

TEST_F(ProximityTest, ASensorThatWentWhileTheWatcherWasStoppedIsGoneOnceTheStartHasEnumerated) {
    constexpr char16_t kStays[] = u"ACPI#PROX0003#05";
    struct Case {
        const char* name;
        WDF_POWER_DEVICE_STATE exitTo, entryFrom;
        POWER_ACTION exitAction, entryAction;
    };
    const Case cases[] = {
        {"hibernation", WdfPowerDeviceD3, WdfPowerDeviceD3, PowerActionHibernate,
         PowerActionHibernate},
        {"shutdown", WdfPowerDeviceD3Final, WdfPowerDeviceD3Final, PowerActionShutdown,
         PowerActionNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshMachine();
        Prepare();
        ASSERT_NO_FATAL_FAILURE(Run());
        ASSERT_NO_FATAL_FAILURE(Arrives());
        ASSERT_NO_FATAL_FAILURE(Arrives(kStays));
        EXPECT_EQ(Reads(false), Indexes(2));
        ASSERT_EQ(host->D0Exit(c.exitTo, c.exitAction), STATUS_SUCCESS);
        ASSERT_TRUE(sim::proximity::Remove(kSensor));
        ASSERT_TRUE(sim::Settle());
        ASSERT_EQ(host->D0Entry(c.entryFrom, c.entryAction), STATUS_SUCCESS);
        // Its last reading was "far": only its being gone makes it detected.
        EXPECT_EQ(Modem(), Indexes(7));
        EXPECT_EQ(sim::TraceCount("was not reported again"), 1u);
        EXPECT_TRUE(TracedBefore("Proximity sensor enumeration completed",
                                 "ACPI#PROX0001#1a2b#{7e5f1c2a-0b1d-4c1e-9a3f-5d6e7f8a9b0c} "
                                 "removed: sensor 7 set to 1"));
        EXPECT_EQ(sim::proximity::ReadingSubscriptions(kSensor), 0u);
        EXPECT_EQ(sim::proximity::ReadingSubscriptions(kStays), 1u);
        // Back under the same id, it starts afresh: its first "far" counts.
        ASSERT_NO_FATAL_FAILURE(Arrives());
        EXPECT_EQ(Reads(false), Indexes(2));
    }
}

// A watcher whose stop failed still runs at the resume; one whose stop has
// not finished is still stopping. Neither costs the resume its display-state
// registration, and each is left to come to what a resume asks.
TEST_F(ProximityTest, AWatcherStillRunningOrStoppingAtResumeIsNotStartedAgain) {
    ASSERT_NO_FATAL_FAILURE(Run());
    ASSERT_NO_FATAL_FAILURE(Arrives());
    EXPECT_EQ(Reads(false), Indexes(2));

    sim::ArmFault("DeviceWatcher.Stop", sim::FaultSpec::Once());
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("HRESULT 0x80004005", TRACE_LEVEL_ERROR));
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("still runs: not started again"));
    EXPECT_FALSE(sim::TraceContains("HRESULT 0x8000000E"));
    EXPECT_NE(Context()->PowerNotifyHandle, nullptr);
    sim::display::SetState(State::Off);
    EXPECT_EQ(Modem(), Indexes(7));
    sim::display::SetState(State::On);
    EXPECT_EQ(Modem(), Indexes(2));

    // The arrival's handler is caught subscribing when the device hibernates,
    // so the watcher is owed its delivery and stops only after it.
    sim::proximity::Hold(HoldPoint::Subscribe);
    ASSERT_TRUE(sim::proximity::AddSensor(u"ACPI#PROX0002#1a2b"));
    ASSERT_TRUE(WaitUntil([] { return sim::proximity::Held(HoldPoint::Subscribe) == 1; }));
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    EXPECT_EQ(sim::proximity::WatcherStatus(), DeviceWatcherStatus::Stopping);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("still stopping: started once it has stopped"));
    EXPECT_NE(Context()->PowerNotifyHandle, nullptr);
    sim::proximity::Release(HoldPoint::Subscribe);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::proximity::WatcherStatus(), DeviceWatcherStatus::EnumerationCompleted);
    EXPECT_FALSE(sim::TraceContains("was not reported again"));
    ASSERT_TRUE(sim::proximity::Remove(kSensor));
    EXPECT_EQ(Modem(), Indexes(7));
}

TEST_F(ProximityTest, ReadingsDuringAndAfterRemovalReachNothingThatIsGone) {
    constexpr char16_t kOther[] = u"ACPI#PROX0002#1a2b";
    ASSERT_NO_FATAL_FAILURE(Run());
    ASSERT_NO_FATAL_FAILURE(Arrives());
    ASSERT_NO_FATAL_FAILURE(Arrives(kOther));
    EXPECT_EQ(Reads(false), Indexes(2));
    // Kept as a delivery in flight would keep it.
    auto deviceWatcher = Context()->ProximityWatcher->mDeviceWatcher;

    // When the device goes, one handler is in the middle of its run and one
    // delivery has taken its handler without calling it yet; the stop at D0
    // exit fails, so the cleanup stops the device watcher itself.
    sim::proximity::Hold(HoldPoint::IsDetected);
    ASSERT_TRUE(sim::proximity::Reading(kSensor, true));
    ASSERT_TRUE(WaitUntil([] { return sim::proximity::Held(HoldPoint::IsDetected) == 1; }));
    sim::proximity::Hold(HoldPoint::Delivery);
    ASSERT_TRUE(sim::proximity::Reading(kOther, true));
    ASSERT_TRUE(WaitUntil([] { return sim::proximity::Held(HoldPoint::Delivery) == 1; }));
    sim::ArmFault("DeviceWatcher.Stop", sim::FaultSpec::Once());
    std::atomic<bool> removed{false};
    std::thread releaser([&] {
        WaitUntil(
            [&] { return removed.load() || sim::TraceContains("running proximity handlers"); });
        sim::proximity::Release(HoldPoint::IsDetected);
    });
    EXPECT_EQ(host->Remove(), STATUS_SUCCESS);
    removed = true;
    releaser.join();
    sim::proximity::Release(HoldPoint::Delivery);
    ASSERT_TRUE(sim::Settle());

    // The running handler finished while the providers were still there.
    EXPECT_EQ(sim::TraceCount("reads near: sensor 7 set to 1"), 1u);
    EXPECT_EQ(deviceWatcher.Status(), DeviceWatcherStatus::Stopped);
    EXPECT_EQ(sim::proximity::WatcherSubscriptions(), 0u);
    EXPECT_EQ(sim::proximity::ReadingSubscriptions(kSensor), 0u);
    ASSERT_TRUE(sim::proximity::Reading(kSensor, false));
    EXPECT_TRUE(sim::Settle());
}

TEST_F(ProximityTest, ArrivalsReadingsRemovalsAndDisplayChangesMayRunAtOnce) {
    ASSERT_NO_FATAL_FAILURE(Run());
    auto id = [](char16_t group, std::size_t n) {
        return u"ACPI#PROX" + std::u16string{group, static_cast<char16_t>(u'A' + n)} + u"#1a2b";
    };
    constexpr std::size_t kCount = 12;
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(sim::proximity::AddSensor(id(u'P', i)));
    }
    ASSERT_TRUE(sim::Settle());
    // Readings of the present sensors meet the arrival of others, their own
    // removal and display changes.
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(sim::proximity::AddSensor(id(u'Q', i)));
        for (std::size_t j = i; j < kCount; ++j) {
            ASSERT_TRUE(sim::proximity::Reading(id(u'P', j), (i + j) % 2 == 0));
        }
        ASSERT_TRUE(sim::proximity::Remove(id(u'P', i)));
        sim::display::SetState(i % 4 == 0 ? State::Off : State::On);
    }
    sim::display::SetState(State::On);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("added as sensor 7"), 2 * kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(sim::proximity::Remove(id(u'Q', i)));
    }
    // Every sensor went, and the last one to go left its sensor detected.
    EXPECT_EQ(Modem(), Indexes(7));

    for (std::size_t i = 0; i < kCount; ++i) {
        EXPECT_EQ(sim::proximity::ReadingSubscriptions(id(u'P', i)), 0u);
        EXPECT_EQ(sim::proximity::ReadingSubscriptions(id(u'Q', i)), 0u);
    }
}

} // namespace
} // namespace driver_test
