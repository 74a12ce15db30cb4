// Device add: what the device holds afterwards, and what device add returns
// for each failure on its way.
#include "driver_core_fixture.h"

#include "halvex/driver/Channels.h"
#include "halvex/driver/SensorStateMap.h"
#include "halvex/driver/Trace.h"
#include "platform/com.h"
#include "platform/sim/wdf_control.h"

namespace driver_test {
namespace {

class DeviceAddTest : public DriverTest {};

TEST_F(DeviceAddTest, BuildsTheDeviceWithItsModulesLinkAndOneChannelPerModemRecord) {
    Configure(DeviceKey(2) + ModemChannel("channel0", 7) + ModemChannel("channel1", 8));
    ASSERT_EQ(Add(), STATUS_SUCCESS);

    PDEVICE_CONTEXT context = Context();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->ConfiguredCount, 2u);
    EXPECT_EQ(ChannelCount(), 2u);
    EXPECT_EQ(context->InHibernate, 0);
    EXPECT_EQ(context->IsDeviceRemoval, 0u);
    EXPECT_EQ(context->PowerNotifyHandle, nullptr);
    // Two modem channels share one IP-interface registration.
    EXPECT_EQ(sim::ip::RegistrationCount(), 1u);

    ASSERT_NE(DmfContext(), nullptr);
    EXPECT_NE(DmfContext()->DmfModuleIoctlHandler, nullptr);
    EXPECT_NE(DmfContext()->DmfModuleRegistry, nullptr);
    EXPECT_NE(DmfContext()->DmfModuleSocPartition, nullptr);

    EXPECT_TRUE(sim::wdf::SymbolicLinkExists(kSymbolicLink));
    WDF_DEVICE_STATE state;
    ASSERT_TRUE(sim::wdf::GetDeviceState(host->Device(), &state));
    EXPECT_EQ(state.NotDisableable, WdfFalse);
    WDF_DEVICE_POWER_CAPABILITIES caps;
    ASSERT_TRUE(sim::wdf::GetPowerCapabilities(host->Device(), &caps));
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);

    // Nothing runs before the first D0 entry.
    EXPECT_EQ(sim::display::RegistrationCount(), 0u);
    EXPECT_TRUE(sim::Settle());
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

TEST_F(DeviceAddTest, ADeviceAlreadyDisableableIsNotWrittenAgainAndOthersBecomeSo) {
    sim::wdf::SetInitialNotDisableable(WdfFalse);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("Device is already disableable"));

    FreshMachine();
    sim::wdf::SetInitialNotDisableable(WdfTrue);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("NotDisableable was WdfTrue"));
    WDF_DEVICE_STATE state;
    ASSERT_TRUE(sim::wdf::GetDeviceState(host->Device(), &state));
    EXPECT_EQ(state.NotDisableable, WdfFalse);
}

TEST_F(DeviceAddTest, FailuresOnTheWayFailDeviceAddWithTheirOwnStatus) {
    struct Case {
        const char* point;
        NTSTATUS code;
        NTSTATUS status;
        const char* raised;
    };
    const Case cases[] = {
        {"WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
         "WdfDeviceCreate() failed"},
        {"WdfIoQueueCreate", STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY,
         "WdfIoQueueCreate() failed"},
        {"WdfCollectionCreate", STATUS_NO_MEMORY, STATUS_NO_MEMORY, "DMF_ModulesCreate() failed"},
        {"CoInitializeEx", E_OUTOFMEMORY, STATUS_UNSUCCESSFUL, "CoInitializeEx failed 0x8007000E"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        Configure(DeviceKey(1) + ModemChannel("channel0", 7));
        sim::ArmFault(c.point, sim::FaultSpec::Always(c.code));
        EXPECT_EQ(Add(), c.status);
        EXPECT_TRUE(sim::TraceContains(c.raised, TRACE_LEVEL_ERROR));
        EXPECT_EQ(sim::ip::RegistrationCount(), 0u);
        FreshMachine();
    }
}

TEST_F(DeviceAddTest, ATakenSymbolicLinkFailsDeviceAddUnsuccessfulAndReleasesWhatItBuilt) {
    Configure(DeviceKey(1) + ModemChannel("channel0", 7));
    sim::wdf::TakeSymbolicLinkName(kSymbolicLink);
    EXPECT_EQ(Add(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::TraceContains("createInterface() failed", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("WdfDeviceCreateSymbolicLink failed", TRACE_LEVEL_ERROR));
    host->Unload();
    sim::HostLeaks leaks = host->LeakReport();
    EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
}

TEST_F(DeviceAddTest, ConfigurationsWithoutAUsableChannelLeaveADeviceWithoutChannels) {
    struct Case {
        const char* what;
        std::string reg;
    };
    const Case cases[] = {
        {"empty registry", "Windows Registry Editor Version 5.00\n"},
        {"channel count mismatch", DeviceKey(2) + ModemChannel("channel0", 7)},
        {"unreadable channel type",
         DeviceKey(1) + "[Device Parameters\\channel0]\n\"ChannelType\"=\"MODEMX\"\n"},
        {"only a WLAN channel while WlanAntCount is 3",
         DeviceKey(1, 3) +
             Channel("channel0", {Apps(3) + "\"WlanAntMask\"=dword:1\n"}, 1, 2, "WLAN")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Configure(c.reg);
        EXPECT_EQ(Add(), STATUS_SUCCESS);
        EXPECT_TRUE(sim::TraceContains("No channels configured properly in registry"));
        EXPECT_EQ(Context()->ChannelObjects, nullptr);
        // The IOCTL interface is there all the same.
        EXPECT_TRUE(sim::wdf::SymbolicLinkExists(kSymbolicLink));
        FreshMachine();
    }
}

TEST_F(DeviceAddTest, AMissingModuleContextLeavesTheDeviceWithoutModulesOrChannels) {
    Configure(DeviceKey(1) + ModemChannel("channel0", 7));
    // The first context allocated after the device itself is the module context.
    sim::ArmFault("WdfObjectAllocateContext", sim::FaultSpec::Once());
    EXPECT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains(" DMF Device Context is NULL", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::TraceContains("No channels configured properly in registry"));
    WDF_DEVICE_STATE state;
    ASSERT_TRUE(sim::wdf::GetDeviceState(host->Device(), &state));
    EXPECT_EQ(state.NotDisableable, WdfUseDefault);
}

TEST_F(DeviceAddTest, FailuresDeviceAddRidesOutLeaveItsChannelBuilt) {
    struct Case {
        const char* point;
        sim::FaultSpec fault;
        const char* traced;
    };
    const Case cases[] = {
        {"NotifyIpInterfaceChange", sim::FaultSpec::Always(), "Failed to Register for MBB Event!"},
        // A thread already in another apartment is usable as it is.
        {"CoInitializeEx", sim::FaultSpec::Once(RPC_E_CHANGED_MODE), nullptr},
        {"RegisterTraceGuidsW", sim::FaultSpec::Once(), "RegisterTraceGuidsW failed 8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        FreshMachine();
        Configure(DeviceKey(1) + ModemChannel("channel0", 7));
        sim::ArmFault(c.point, c.fault);
        EXPECT_EQ(Add(), STATUS_SUCCESS);
        EXPECT_TRUE(c.traced == nullptr || sim::TraceContains(c.traced, TRACE_LEVEL_ERROR));
        EXPECT_EQ(ChannelCount(), 1u);
    }
}

TEST_F(DeviceAddTest, ARepeatedMaskKeepsTheLastIndexAndInvalidSensorsGetNoProvider) {
    Configure(DeviceKey(1) + Channel("channel0", {Apps(5), "\"Type\"=\"APPS\"\n", Apps(5)}, 1, 4));
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(ChannelCount(), 1u);
    // Sensor 1 has no ID: two providers, both under ID 5.
    EXPECT_EQ(Context()->ChannelObjects[0]->GetSensorList().size(), 2u);
}

TEST_F(DeviceAddTest, RecordsThatCannotBeBuiltAreSkippedOrEndConstruction) {
    // A device without channels of its own, so that the records below are the only ones.
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    PDEVICE_CONTEXT context = Context();
    const ULONG savedAntCount = context->WlanAntCount;

    SENSOR_INFO sensor{SensorTypeApps, 9, 1, 0, 0};
    SAR_DATA_MAPPING mapping[] = {{0, 1}, {1, 3}};
    ULONG mask = 1;
    const CHANNEL_INFO modem{1, &sensor, ChannelTypeModem, nullptr, 1, 2, mapping};
    const CHANNEL_INFO wlan{1, &sensor, ChannelTypeWlan, &mask, 1, 2, mapping};
    CHANNEL_INFO invalid = modem;
    invalid.Valid = 0;
    CHANNEL_INFO otherType = modem;
    otherType.ChannelType = ChannelTypeInvalid;
    struct Row {
        const char* what;
        CHANNEL_INFO middle; // between two MODEM records
        ULONG wlanAntCount;
        const char* trace;
        ULONG built;
    };
    const Row rows[] = {
        {"WLAN with two antennas", wlan, 2, nullptr, 3},
        {"WLAN without antennas", wlan, 0, "WlanAntCount 0 is not 1 or 2", 2},
        {"WLAN with three antennas", wlan, 3, "WlanAntCount 3 is not 1 or 2", 2},
        {"not valid", invalid, 1, nullptr, 2},
        {"of another type", otherType, 1, "Failed to create notifier object!", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CHANNEL_INFO records[3] = {modem, row.middle, modem};
        EventHandler* table[3] = {};
        context->WlanAntCount = row.wlanAntCount;
        sim::ClearTrace();
        EXPECT_TRUE(CreateChannelObjects(records, 3, table, host->Device()));
        if (row.trace != nullptr) {
            EXPECT_TRUE(sim::TraceContains(row.trace, TRACE_LEVEL_ERROR));
        }
        ULONG built = 0;
        for (EventHandler*& handler : table) {
            built += handler != nullptr ? 1 : 0;
            RemoveSensorStateEntries(handler);
            delete handler;
        }
        EXPECT_EQ(built, row.built);
    }
    context->WlanAntCount = savedAntCount;
}

TEST_F(DeviceAddTest, TracingLivesFromDriverEntryToUnloadOrToAFailedDriverCreation) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::wpp::IsRegistered(HALVEX_TRACE_CONTROL_GUID));
    EXPECT_TRUE(sim::wpp::AutoLogRunning());

    // A trace session enables the provider; anything else is refused.
    EXPECT_EQ(sim::wpp::EnableProvider(HALVEX_TRACE_CONTROL_GUID, 4, 0x12), ERROR_SUCCESS);
    EXPECT_EQ(WppControlBlock().Level, 4);
    EXPECT_EQ(WppControlBlock().Flags, 0x12u);
    EXPECT_NE(WppControlBlock().Logger, 0u);
    EXPECT_EQ(sim::wpp::DisableProvider(HALVEX_TRACE_CONTROL_GUID), ERROR_SUCCESS);
    EXPECT_EQ(WppControlBlock().Logger, 0u);
    EXPECT_EQ(sim::wpp::SendControlRequest(HALVEX_TRACE_CONTROL_GUID, WMI_GET_ALL_DATA),
              ERROR_INVALID_PARAMETER);

    host->Unload();
    EXPECT_FALSE(sim::wpp::IsRegistered(HALVEX_TRACE_CONTROL_GUID));
    EXPECT_FALSE(sim::wpp::AutoLogRunning());

    // A failed driver creation and a failed unregistration end it too.
    FreshMachine();
    sim::ArmFault("WdfDriverCreate", sim::FaultSpec::Once(STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::wpp::IsRegistered(HALVEX_TRACE_CONTROL_GUID));
    EXPECT_EQ(sim::wpp::AutoLogStarts(), 1u);
    EXPECT_EQ(sim::wpp::AutoLogStops(), 1u);

    FreshMachine();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ArmFault("UnregisterTraceGuids", sim::FaultSpec::Once());
    host->Unload();
    EXPECT_TRUE(sim::TraceContains("UnregisterTraceGuids failed", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(sim::wpp::AutoLogRunning());
}

} // namespace
} // namespace driver_test
