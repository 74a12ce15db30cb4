#include "tests/dmf_modules/module_device.h"

#include "platform/sim/registry.h"
#include "platform/sim/wdf_control.h"

#include <algorithm>

namespace moduletest {
namespace {

std::vector<ModuleSpec>* gSpecs = nullptr;
std::function<void(PDMFDEVICE_INIT)>* gDeviceInitHook = nullptr;

void ModulesAdd(WDFDEVICE, PDMFMODULE_INIT DmfModuleInit) {
    for (ModuleSpec& spec : *gSpecs) {
        DMF_MODULE_ATTRIBUTES attributes;
        DMF_MODULE_ATTRIBUTES_INIT(&attributes, static_cast<ULONG>(spec.config.size()),
                                   spec.config.empty() ? nullptr : spec.config.data(),
                                   spec.creator);
        attributes.PassiveLevel = spec.passiveLevel;
        DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES, &spec.handle);
    }
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    PDMFDEVICE_INIT dmfDeviceInit = DMF_DmfDeviceInitAllocate(DeviceInit);
    DMF_DmfDeviceInitHookPnpPowerEventCallbacks(dmfDeviceInit, nullptr);
    DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(dmfDeviceInit, nullptr);
    DMF_DmfDeviceInitHookFileObjectConfig(dmfDeviceInit, nullptr);
    if (*gDeviceInitHook) {
        (*gDeviceInitHook)(dmfDeviceInit);
    }
    WDFDEVICE device = nullptr;
    NTSTATUS ntStatus = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    DMF_EVENT_CALLBACKS eventCallbacks;
    DMF_EVENT_CALLBACKS_INIT(&eventCallbacks);
    eventCallbacks.EvtDmfDeviceModulesAdd = ModulesAdd;
    DMF_DmfDeviceInitSetEventCallbacks(dmfDeviceInit, &eventCallbacks);
    return DMF_ModulesCreate(device, &dmfDeviceInit);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

} // namespace

void ModuleTest::SetUp() {
    MachineTest::SetUp();
    sim::wdf::ResetForTest();
    sim::registry::Reset();
    sim::SetTimeScale(0.001);
    gSpecs = &mSpecs;
    gDeviceInitHook = &mDeviceInitHook;
}

void ModuleTest::TearDown() {
    if (mHost && mHost->Device() != nullptr) {
        mHost->Remove();
        mHost->Unload();
        sim::WaitForThreadsToEnd();
        sim::HostLeaks leaks = mHost->LeakReport();
        EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
    }
    mHost.reset();
    gSpecs = nullptr;
    gDeviceInitHook = nullptr;
    MachineTest::TearDown();
    sim::wdf::ResetForTest();
}

size_t ModuleTest::Add(DMF_ModuleInstanceCreate* creator, bool passive) {
    ModuleSpec spec;
    spec.creator = creator;
    spec.passiveLevel = passive ? TRUE : FALSE;
    mSpecs.push_back(std::move(spec));
    return mSpecs.size() - 1;
}

NTSTATUS ModuleTest::AddDevice() {
    mHost = std::make_unique<sim::DriverHost>();
    NTSTATUS ntStatus = mHost->LoadEntry(DriverEntry);
    return NT_SUCCESS(ntStatus) ? mHost->AddDevice() : ntStatus;
}

size_t ModuleTest::LiveMemoryTagged(const char (&tag)[5]) {
    auto objects = sim::wdf::LiveObjects();
    return std::count_if(objects.begin(), objects.end(), [&tag](const sim::wdf::ObjectInfo& o) {
        return o.kind == "WDFMEMORY" && o.poolTag == WdfMakePoolTag(tag) && !o.deleted;
    });
}

} // namespace moduletest
