// Channel construction that fails part-way: the half-built channel leaves
// nothing behind, the channels built before it stay, and the records after it
// are not built. The failure is an allocation failing inside the driver.
#include "driver_core_fixture.h"
#include "failing_allocator.h"

#include "halvex/driver/SensorStateMap.h"
#include "halvex/notifier/ModemChannelState.h"
#include "halvex/provider/AppsDataProvider.h"

namespace driver_test {
namespace {

class ConstructionFailureTest : public DriverTest {
protected:
    void TearDown() override {
        FailAllocation(0, 0);
        DriverTest::TearDown();
    }

    // Counts allocations of `size` from the trace of the configuration on,
    // right before the channels are built: what device add allocated before
    // may be of the same size.
    static void FailDuringConstruction(std::size_t size, int nth) {
        sim::SetTraceSink([size, nth](const sim::TraceRecord& record) {
            if (record.message.find("ConfiguredCount") != std::string::npos) {
                FailAllocation(size, nth);
            }
        });
    }
};

TEST_F(ConstructionFailureTest, AHalfBuiltChannelIsReleasedAndConstructionEndsThere) {
    sim::modem::Install(2, 0);
    sim::ip::AddInterface();
    Configure(DeviceKey(3) + ModemChannel("channel0", 5) +
              Channel("channel1", {Apps(7), Apps(8)}, 1, 4) + ModemChannel("channel2", 9));
    // Channel 1's second provider cannot be allocated: its notifier, table,
    // handler and first provider (entered into the map) exist by then. A
    // handler of the same size as a provider counts too.
    FailDuringConstruction(sizeof(AppsDataProvider),
                           sizeof(EventHandler) == sizeof(AppsDataProvider) ? 5 : 3);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    FailAllocation(0, 0);
    sim::SetTraceSink(nullptr);

    EXPECT_TRUE(sim::TraceContains("bad_alloc", TRACE_LEVEL_ERROR));
    ASSERT_EQ(ChannelCount(), 1u);
    EXPECT_EQ(gModemNotifiers.size(), 1u);
    EXPECT_EQ(gSensorStateMap.size(), 1u);
    EXPECT_EQ(gSensorStateMap.count(5), 1u);
    // Construction ended with the failure: no later channel, no IP registration.
    EXPECT_EQ(sim::ip::RegistrationCount(), 0u);

    // The channel built before the failure runs as any other.
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
    EXPECT_EQ(SetSensorState(7, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ModemAfter(5, 0), Indexes(2));
}

TEST_F(ConstructionFailureTest, AHandlerThatCannotBeAllocatedLeavesNothingOfItsChannel) {
    Configure(DeviceKey(1) + ModemChannel("channel0", 5));
    FailDuringConstruction(sizeof(EventHandler), 1);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    FailAllocation(0, 0);
    sim::SetTraceSink(nullptr);
    EXPECT_EQ(ChannelCount(), 0u);
    EXPECT_TRUE(gModemNotifiers.empty());
    EXPECT_TRUE(gSensorStateMap.empty());
}

TEST_F(ConstructionFailureTest, AChannelTableThatCannotBeAllocatedFailsDeviceAdd) {
    Configure(DeviceKey(3) + ModemChannel("channel0", 5) + ModemChannel("channel1", 6) +
              ModemChannel("channel2", 7));
    FailAllocation(3 * sizeof(EventHandler*), 1, AllocationForm::NothrowArray);
    EXPECT_EQ(Add(), STATUS_UNSUCCESSFUL);
    FailAllocation(0, 0);
    EXPECT_TRUE(sim::TraceContains("Channel obj allocation failure", TRACE_LEVEL_ERROR));
}

} // namespace
} // namespace driver_test
