// A starting D0 entry: every channel computes once, after all of them have
// started and the display state has reached their providers, whatever the
// display-state registration does; a shared modem never gets less than a
// channel that has not computed yet may ask for.
#include "driver_core_fixture.h"

#include "halvex/driver/SensorStateMap.h"
#include "hmx/hmx_cci_startup.h"
#include "platform/sim/sensor_client_service.h"
#include "platform/sim/wlan.h"
#include "tests/support/MachineTest.h"

#include <atomic>
#include <functional>
#include <vector>

namespace driver_test {
namespace {

using halvex::testing::WaitUntil;
using sim::modem::Behaviour;
using sim::modem::Outcome;
using sim::modem::Step;

// A sensor-hub sensor without a SUID of its own: the hub's SAR sensor.
constexpr char kSlpi[] = "\"Type\"=\"SLPI\"\n\"ID\"=dword:9\n";

class StartTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(hmx_cci_library_start(), 0);
        sim::hub::Reset();
        sim::wlan::Reset();
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
    }

    void TearDown() override {
        host.reset();
        sim::ResetUptime();
        DriverTest::TearDown();
    }

    static sim::wlan::Setting LastWlanSetting() {
        auto command = sim::wlan::LastSet();
        return command
                   ? sim::wlan::DecodeSetting(command->payload).value_or(sim::wlan::Setting{99, {}})
                   : sim::wlan::Setting{99, {}};
    }
};

// No display state will be delivered: the start itself has every channel
// compute, the WLAN channel's as well as the modem channel's, and no sensor
// has reported, so both count as detected.
TEST_F(StartTest, AFailedDisplayRegistrationStillHasEveryChannelComputeOnce) {
    Configure(DeviceKey(2) +
              Channel("channel0", {Apps(5) + "\"WlanAntMask\"=dword:1\n"}, 2, 4, "WLAN") +
              ModemChannel("channel1", 6));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    sim::ArmFault("PowerSettingRegisterNotification", sim::FaultSpec::Once());
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("RegisterDisplayStateNotification failed", TRACE_LEVEL_ERROR));
    EXPECT_EQ(LastWlanSetting(), (sim::wlan::Setting{1, {{1, 4}}}));
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
    EXPECT_EQ(sim::TraceCount("State mask 1 -> back-off index"), 2u);
}

// What a start draws before every channel has started (the sensor-hub
// sensor's start, the display state reaching both sensors) is one compute:
// a modem that never answers a set gets one attempt and five resends.
TEST_F(StartTest, AModemThatTimesOutOnEverySetGetsTheAttemptsOfOneCompute) {
    sim::SetTimeScale(0.02); // a 10000 ms modem wait lasts 200 ms
    Configure(DeviceKey(1) + Channel("channel0", {Apps(5), kSlpi}, 1, 3));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    sim::modem::Fail(Step::Set, Behaviour{Outcome::Never}, /*always=*/true);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([] { return sim::TraceContains("No resend scheduled"); }));
    // Settled: a further compute would have reached the modem's set by now.
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::SetCount(), 6u);
    EXPECT_EQ(sim::TraceCount("State mask 1 -> back-off index 3"), 6u);
}

// The second channel's start waits for the sensor hub's first second after
// boot. Whichever channel computes first, the other has not: here the
// second channel's compute is held until the first channel's send is over.
// Its sensor has not reported, so it counts as detected: the modem gets the
// higher index at once, and only once.
TEST_F(StartTest, TwoModemChannelsWhoseSecondStartWaitsGiveTheModemOneSetAtTheHigherIndex) {
    sim::SetTimeScale(0.1);
    Configure(DeviceKey(2) + Channel("channel0", {Apps(5)}, 1, 3) +
              Channel("channel1", {kSlpi}, 2, 6));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    std::atomic<int> firstChannelSends{0};
    std::atomic<bool> held{false};
    sim::SetTraceSink([&](const sim::TraceRecord& record) {
        if (record.file == "ModemDataNotifier.cpp" && record.message.rfind("Notify Exit", 0) == 0) {
            ++firstChannelSends;
        }
        if (record.message == "State mask 1 -> back-off index 6" && !held.exchange(true)) {
            EXPECT_TRUE(WaitUntil([&] { return firstChannelSends.load() > 0; }));
        }
    });
    sim::SetUptimeMs(0);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    sim::SetTraceSink(nullptr);
    EXPECT_TRUE(held.load());
    EXPECT_TRUE(sim::TraceContains("Machine up"));
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(6));
    EXPECT_EQ(sim::modem::SetCount(), 1u);
}

// The same for two WLAN channels on two antennas: the merged setting the
// second channel sends before the first has computed gives the first's
// antenna the index its detected sensor asks for; after a resume as well,
// when the first's sensor came near while the channels were stopped.
TEST_F(StartTest, TwoWlanChannelsWhereOneComputesFirstLeaveNoAntennaWithoutItsBackoff) {
    Configure(DeviceKey(2, 2) +
              Channel("channel0", {Apps(5) + "\"WlanAntMask\"=dword:1\n"}, 2, 4, "WLAN") +
              Channel("channel1", {Apps(6) + "\"WlanAntMask\"=dword:2\n"}, 1, 3, "WLAN"));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    // Starts with the first channel's compute held until the second has sent
    // (once the adapter's antenna count is known); the settings sent since.
    auto startHeld = [](const std::function<NTSTATUS()>& start) {
        const std::size_t from = sim::wlan::Commands().size();
        std::atomic<int> notified{0};
        sim::SetTraceSink([&](const sim::TraceRecord& record) {
            if (record.file == "WlanDataNotifier.cpp" &&
                record.message.rfind("Notify Exit", 0) == 0) {
                ++notified;
            }
            if (record.message == "State mask 1 -> back-off index 3") {
                EXPECT_TRUE(
                    WaitUntil([] { return sim::TraceContains("WlanInitThreadProc Exit"); }));
            }
            if (record.message == "State mask 1 -> back-off index 4") {
                EXPECT_TRUE(WaitUntil([&] { return notified.load() > 0; }));
            }
        });
        EXPECT_EQ(start(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::Settle());
        sim::SetTraceSink(nullptr);
        std::vector<sim::wlan::Setting> sets;
        auto commands = sim::wlan::Commands();
        for (std::size_t i = from; i < commands.size(); ++i) {
            if (commands[i].opcode == sim::wlan::kOpSet) {
                sets.push_back(
                    sim::wlan::DecodeSetting(commands[i].payload).value_or(sim::wlan::Setting{}));
            }
        }
        return sets;
    };
    const sim::wlan::Setting both{1, {{1, 4}, {2, 3}}};
    EXPECT_EQ(startHeld([this] { return host->Start(); }),
              (std::vector<sim::wlan::Setting>{both, both}));

    EXPECT_EQ(SetSensorState(5, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(host->Hibernate(), STATUS_SUCCESS);
    sim::ClearTrace();
    ASSERT_TRUE(UpdateSensorState(5, 1));
    EXPECT_EQ(startHeld([this] { return host->Resume(); }),
              (std::vector<sim::wlan::Setting>{both, both}));
}

// The interface table cannot be read at the start: the channel's send looks
// again rather than keep the index until the interface next arrives.
TEST_F(StartTest, AScanThatFailsAtTheStartDoesNotKeepTheIndexFromTheModem) {
    Configure(DeviceKey(1) + ModemChannel("channel0", 5));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    sim::ArmFault("GetIfTable2", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_TRUE(sim::TraceContains("GetIfTable2 failed", TRACE_LEVEL_ERROR));
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
}

} // namespace
} // namespace driver_test
