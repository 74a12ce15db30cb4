// The driver library as the framework's host loads it: through its one
// exported entry, with the simulated modem at the end of the road.
#include "driver_fixture.h"

#include <dlfcn.h>

namespace driver_test {
namespace {

class DriverLibraryTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::modem::Install(2, 0);
        sim::ip::AddInterface();
    }

    NTSTATUS Add() {
        NTSTATUS status = host->LoadLibrary(HALVEX_DRIVER_LIBRARY);
        return NT_SUCCESS(status) ? host->AddDevice() : status;
    }
};

TEST(DriverLibraryExports, OnlyTheFrameworkEntry) {
    // Loaded as the driver host loads it: once mapped, the image stays.
    void* library = dlopen(HALVEX_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_NE(dlsym(library, "FxDriverEntryUm"), nullptr);
    for (const char* hidden : {"DriverEntry", "EvtDriverDeviceAdd", "CreateDevice",
                               "gSensorStateMap", "gModemNotifiers"}) {
        EXPECT_EQ(dlsym(library, hidden), nullptr) << hidden;
    }
    dlclose(library);
}

TEST_F(DriverLibraryTest, AnIoctlOrADisplayChangeReachesTheModemAndRemovalLeavesNothingBehind) {
    Configure(DeviceKey(2) + ModemChannel("channel0", 7) + ModemChannel("channel1", 8));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(sim::ip::RegistrationCount(), 1u);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(sim::Settle());
    // Sensors that have not reported count as detected.
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
    EXPECT_TRUE(sim::modem::BackoffEnabled());
    EXPECT_EQ(SetSensorState(7, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ModemAfter(8, 0), Indexes(2));

    // The display state reaches every channel.
    sim::display::SetState(sim::display::State::Off);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(7));
    sim::display::SetState(sim::display::State::On);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::modem::BackoffIndexes(), Indexes(2));

    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    host->Unload();
    EXPECT_TRUE(sim::WaitForThreadsToEnd());
    sim::HostLeaks leaks = host->LeakReport();
    EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
    EXPECT_EQ(sim::display::RegistrationCount(), 0u);
    EXPECT_EQ(sim::ip::RegistrationCount(), 0u);
    EXPECT_EQ(sim::wpp::RegistrationCount(), 0u);
    EXPECT_FALSE(sim::wdf::SymbolicLinkExists(kSymbolicLink));
}

} // namespace
} // namespace driver_test
