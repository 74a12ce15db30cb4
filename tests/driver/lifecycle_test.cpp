// The device's end: what its cleanup releases, and a device added again in
// the same process.
#include "driver_core_fixture.h"

#include "halvex/driver/SensorStateMap.h"
#include "halvex/notifier/ModemChannelState.h"

namespace driver_test {
namespace {

class LifecycleTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
    }
};

TEST_F(LifecycleTest, RemovalAndUnloadLeaveNoObjectThreadOrRegistration) {
    Configure(DeviceKey(2) + ModemChannel("channel0", 7) + ModemChannel("channel1", 7));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(gSensorStateMap.count(7), 2u);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_GT(sim::LiveThreadCount(), 0u);

    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::Settle());
    EXPECT_FALSE(sim::proximity::WatcherStatus());
    EXPECT_TRUE(gSensorStateMap.empty());
    EXPECT_TRUE(gModemNotifiers.empty());
    EXPECT_EQ(sim::display::RegistrationCount(), 0u);
    EXPECT_EQ(sim::ip::RegistrationCount(), 0u);
    EXPECT_TRUE(sim::WaitForThreadsToEnd());

    host->Unload();
    EXPECT_EQ(sim::wpp::RegistrationCount(), 0u);
    sim::HostLeaks leaks = host->LeakReport();
    EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
}

TEST_F(LifecycleTest, ADeviceAddedAgainInTheSameProcessStartsWithACleanMap) {
    Configure(DeviceKey(1) + ModemChannel("channel0", 7));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    host.reset();
    ASSERT_TRUE(gSensorStateMap.empty());

    // A second device of the driver, here under a second load: the first
    // device's providers are gone, and nothing in the map points at them.
    host = std::make_unique<sim::DriverHost>();
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(gSensorStateMap.count(7), 1u);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(ModemAfter(7, 0), Indexes(2));
}

TEST_F(LifecycleTest, ADeviceWithoutChannelsStillStartsItsWatcherAndRegistersForTheDisplay) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_NE(Context()->PowerNotifyHandle, nullptr);
    sim::display::SetState(sim::display::State::Off);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::proximity::WatcherStatus(), DeviceWatcherStatus::EnumerationCompleted);
    EXPECT_EQ(sim::display::DeliveredCount(), 2u);
    EXPECT_EQ(SetSensorState(7, 1).status, STATUS_UNSUCCESSFUL);
}

} // namespace
} // namespace driver_test
