// Power transitions: when the device's channels, watcher and display-state
// registration start and stop, and the flags the other parts read meanwhile.
#include "driver_core_fixture.h"

#include "halvex/driver/Power.h"
#include "hmx/hmx_cci_startup.h"
#include "platform/sim/sensor_client_service.h"

#include <mutex>
#include <utility>
#include <vector>

namespace driver_test {
namespace {

struct FlagSample {
    LONG inHibernate;
    ULONG isDeviceRemoval;
    bool operator==(const FlagSample&) const = default;
};

class PowerTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
        Configure(DeviceKey(2) + ModemChannel("channel0", 7) + ModemChannel("channel1", 8));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        // Every channel worker's start and stop, with the flags as they were then.
        context = Context();
        sim::SetTraceSink([this](const sim::TraceRecord& record) {
            if (record.file != "EventHandler.cpp" ||
                record.message.find("Entry") == std::string::npos) {
                return;
            }
            std::lock_guard guard(lock);
            if (record.function == "Start" || record.function == "Stop") {
                (record.function == "Start" ? starts : stops).push_back(Flags());
            }
        });
    }

    FlagSample Flags() {
        return {__atomic_load_n(&context->InHibernate, __ATOMIC_SEQ_CST),
                __atomic_load_n(&context->IsDeviceRemoval, __ATOMIC_SEQ_CST)};
    }
    std::vector<FlagSample> Starts() {
        std::lock_guard guard(lock);
        return starts;
    }
    std::vector<FlagSample> Stops() {
        std::lock_guard guard(lock);
        return stops;
    }
    void ClearSamples() {
        std::lock_guard guard(lock);
        starts.clear();
        stops.clear();
    }
    bool Registered() { return Context()->PowerNotifyHandle != nullptr; }
    // Lets the watcher's first enumeration be delivered too, so that a stop
    // right after leaves it stopped rather than stopping.
    void StartSettled() {
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
    }

    PDEVICE_CONTEXT context = nullptr;
    std::mutex lock;
    std::vector<FlagSample> starts, stops;
};

TEST_F(PowerTest, StartRunsEveryChannelAfterTheModulesAndRegistersForTheDisplayState) {
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(TracedBefore("[SocPartition] D0Entry$", "[IoctlHandler] D0Entry$"));
    EXPECT_TRUE(TracedBefore("[IoctlHandler] D0Entry$", "[Registry] D0Entry$"));
    EXPECT_TRUE(TracedBefore("[Registry] D0Entry$", "D0 entry from"));
    EXPECT_EQ(Starts().size(), 2u);
    EXPECT_TRUE(Registered());
    EXPECT_EQ(sim::display::RegistrationCount(), 1u);
    EXPECT_TRUE(TracedBefore("D0 entry from WdfPowerDeviceD3Final, action PowerActionNone",
                             "Starting channel 0 (MODEM)"));
    EXPECT_TRUE(TracedBefore("Starting channel 0 (MODEM)", "Starting channel 1 (MODEM)"));
    // The registration's first delivery (display on) makes each channel report.
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::proximity::WatcherStatus(), DeviceWatcherStatus::EnumerationCompleted);
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(TracedBefore("D0 exit to", "[Registry] D0Exit$"));
    EXPECT_TRUE(TracedBefore("[Registry] D0Exit$", "[IoctlHandler] D0Exit$"));
    EXPECT_TRUE(TracedBefore("[IoctlHandler] D0Exit$", "[SocPartition] D0Exit$"));
}

TEST_F(DriverTest, EachStartedChannelIsTracedWithItsOwnType) {
    Configure(DeviceKey(2) +
              Channel("channel0", {Apps(5) + "\"WlanAntMask\"=dword:1\n"}, 2, 7, "WLAN") +
              ModemChannel("channel1", 7));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(ChannelCount(), 2u);
    // Slot i need not hold record i (a skipped record takes no slot): with the
    // records' types swapped, the trace still names the started channel's own.
    std::swap(Context()->Channels[0].ChannelType, Context()->Channels[1].ChannelType);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("Starting channel 0 (WLAN)"));
    EXPECT_TRUE(sim::TraceContains("Starting channel 1 (MODEM)"));
}

TEST_F(PowerTest, SleepAndWakeLeaveEverythingRunningAndRegistered) {
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ClearSamples();
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_TRUE(Registered());
    EXPECT_EQ(sim::display::RegistrationCount(), 1u);
    ASSERT_EQ(host->Wake(), STATUS_SUCCESS);
    EXPECT_TRUE(Starts().empty());
    EXPECT_TRUE(Stops().empty());
    EXPECT_TRUE(TracedBefore("D0 exit to WdfPowerDeviceD3, action PowerActionSleep",
                             "D0 entry from WdfPowerDeviceD3, action PowerActionSleep"));
}

TEST_F(PowerTest, EachStoppingExitSetsItsFlagBeforeTheChannelsStopAndEntryClearsIt) {
    struct Row {
        WDF_POWER_DEVICE_STATE target;
        POWER_ACTION action;
        FlagSample atStop;
        WDF_POWER_DEVICE_STATE from; // the entry after it
        POWER_ACTION back;
    };
    // A hibernate entry after a shutdown, without the flag, starts everything too.
    constexpr auto kD3 = WdfPowerDeviceD3, kFinal = WdfPowerDeviceD3Final;
    constexpr auto kHibernate = PowerActionHibernate;
    const Row rows[] = {{kD3, kHibernate, {1, 0}, kD3, kHibernate},
                        {kFinal, kHibernate, {1, 0}, kFinal, kHibernate},
                        {kFinal, PowerActionShutdown, {0, 0}, kD3, kHibernate},
                        {kFinal, PowerActionNone, {0, 1}, kFinal, PowerActionNone}};
    ASSERT_NO_FATAL_FAILURE(StartSettled());
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.target << " " << row.action);
        ClearSamples();
        sim::ClearTrace();
        ASSERT_EQ(host->D0Exit(row.target, row.action), STATUS_SUCCESS);
        EXPECT_EQ(Stops(), (std::vector<FlagSample>{row.atStop, row.atStop}));
        EXPECT_FALSE(Registered());
        ASSERT_EQ(host->D0Entry(row.from, row.back), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(Starts(), (std::vector<FlagSample>{{0, 0}, {0, 0}}));
        EXPECT_TRUE(Registered());
        EXPECT_EQ(sim::TraceContains("InHibernate 1 -> 0"), row.atStop.inHibernate == 1);
    }
}

// A hibernating exit followed by an entry the system reports with another
// action, from D3 and from D3Final: what the exit stopped starts again, and
// the hibernation ends with the entry, so a restart of the sensor service is
// heard and the sensor-hub sensor reports through a client opened anew.
TEST_F(DriverTest, AnEntryAfterAHibernatingExitStartsEverythingWhateverItsAction) {
    struct Row {
        WDF_POWER_DEVICE_STATE state; // of the exit and the entry
        POWER_ACTION entryAction;
    };
    const Row rows[] = {{WdfPowerDeviceD3, PowerActionSleep},
                        {WdfPowerDeviceD3, PowerActionNone},
                        {WdfPowerDeviceD3Final, PowerActionNone}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.state << " " << row.entryAction);
        FreshMachine();
        ASSERT_EQ(hmx_cci_library_start(), 0);
        sim::hub::Reset();
        sim::display::SetState(sim::display::State::Dimmed);
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
        Configure(DeviceKey(1) +
                  Channel("channel0", {Apps(7), "\"Type\"=\"SLPI\"\n\"ID\"=dword:9\n"}, 1, 3));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        sim::hub::Report(0.0f);
        EXPECT_EQ(ModemAfter(7, 0), Indexes(1));

        ASSERT_EQ(host->D0Exit(row.state, PowerActionHibernate), STATUS_SUCCESS);
        ASSERT_EQ(host->D0Entry(row.state, row.entryAction), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(Context()->InHibernate, 0);
        EXPECT_NE(Context()->PowerNotifyHandle, nullptr);
        EXPECT_EQ(sim::proximity::WatcherStatus(), DeviceWatcherStatus::EnumerationCompleted);
        EXPECT_EQ(ModemAfter(7, 1), Indexes(3));
        EXPECT_EQ(ModemAfter(7, 0), Indexes(1));

        sim::hub::Restart();
        ASSERT_TRUE(sim::Settle());
        EXPECT_TRUE(sim::TraceContains("re-opening the client"));
        sim::hub::Report(1.0f);
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(3));
        // A sleep after it stops nothing, and its wake starts nothing.
        ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(host->Wake(), STATUS_SUCCESS);
        EXPECT_EQ(sim::TraceCount("Starting channel 0"), 2u);
        host.reset();
        EXPECT_EQ(sim::hub::Clients(), 0u);
    }
}

TEST_F(PowerTest, AFailedRegistrationIsTracedAndRetriedOnlyAtTheNextStartingEntry) {
    sim::ArmFault("PowerSettingRegisterNotification", sim::FaultSpec::Once());
    ASSERT_NO_FATAL_FAILURE(StartSettled());
    EXPECT_FALSE(Registered());
    EXPECT_TRUE(sim::TraceContains("PowerSettingRegisterNotification failed 8", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("RegisterDisplayStateNotification failed", TRACE_LEVEL_ERROR));
    // No delivery, and no reading yet: the sensors still count as detected at the modem.
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(Registered());
}

TEST_F(PowerTest, ARegistrationKeptAfterAFailedUnregistrationEndsWithTheDevice) {
    ASSERT_NO_FATAL_FAILURE(StartSettled());
    sim::ArmFault("PowerSettingUnregisterNotification", sim::FaultSpec::Once());
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("UnregisterDisplayStateNotification failed", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(Registered());
    // The next start finds it held and registers nothing new.
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("Display-state notification already registered"));
    EXPECT_EQ(sim::display::RegistrationCount(), 1u);

    sim::ArmFault("PowerSettingUnregisterNotification", sim::FaultSpec::Once());
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    // Gone with the device: a display change has nobody left to reach.
    EXPECT_EQ(sim::display::RegistrationCount(), 0u);
    sim::display::SetState(sim::display::State::Off);
    EXPECT_TRUE(sim::Settle());
}

TEST_F(PowerTest, TheCallbacksReportSuccessAndNameEveryPowerValue) {
    EXPECT_EQ(ConsoleDisplayStateCallback(nullptr, 0, nullptr), 0u);
    EXPECT_TRUE(sim::TraceContains("Context received is NULL", TRACE_LEVEL_ERROR));

    EXPECT_STREQ(WdfPowerDeviceStateName(WdfPowerDevicePrepareForHibernation),
                 "WdfPowerDevicePrepareForHibernation");
    EXPECT_STREQ(WdfPowerDeviceStateName(static_cast<WDF_POWER_DEVICE_STATE>(8)),
                 "UnKnown Device Power State");
    EXPECT_STREQ(PowerActionName(static_cast<POWER_ACTION>(1)), "UnKnown Power Action Enum");
    EXPECT_STREQ(PowerActionName(PowerActionShutdownOff), "PowerActionShutdownOff");
    EXPECT_STREQ(PowerActionName(static_cast<POWER_ACTION>(7)), "UnKnown Power Action Enum");
}

} // namespace
} // namespace driver_test
