#include "tests/dmf_modules/module_device.h"

#include "platform/sim/registry.h"
#include "platform/sim/wdf_control.h"

#include <algorithm>

namespace moduletest {
namespace {

std::vector<ModuleSpec>* gSpecs = nullptr;
std::function<void(PDMFDEVICE_INIT)>* gDeviceInitHook = nullptr;

void ModulesAdd(WDFDEVICE, PDMFMODULE_INIT DmfModuleInit) {
    for (ModuleSpec& entry : *gSpecs) {
        DMF_MODULE_ATTRIBUTES attributes;
        DMF_MODULE_ATTRIBUTES_INIT(&attributes, static_cast<ULONG>(entry.config.size()),
                                   entry.config.empty() ? nullptr : entry.config.data(),
                                   entry.creator);
        attributes.PassiveLevel = entry.passiveLevel;
        DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES, &entry.handle);
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

ULONG CallLog::Record(PVOID module, PVOID pointer, ULONG value) {
    std::unique_lock guard(lock);
    calls.push_back({module, pointer, value});
    times.push_back(sim::NowMs());
    const size_t call = calls.size();
    const ULONG answer = answers.empty() ? 0 : answers[std::min(call, answers.size()) - 1];
    guard.unlock();
    if (call == gatedCall) {
        WaitForSingleObject(gate, INFINITE);
    }
    return answer;
}

CallLog& Log() {
    static CallLog log;
    return log;
}

void ModuleTest::SetUp() {
    MachineTest::SetUp();
    sim::wdf::ResetForTest();
    sim::registry::Reset();
    sim::SetTimeScale(0.001);
    gSpecs = &mSpecs;
    gDeviceInitHook = &mDeviceInitHook;
    NextDevice();
}

void ModuleTest::TearDown() {
    // A test that ended early leaves its sink, and what the sink refers to is gone.
    sim::SetTraceSink(nullptr);
    SetEvent(Log().gate);
    NextDevice();
    mReports.Check();
    gSpecs = nullptr;
    gDeviceInitHook = nullptr;
    MachineTest::TearDown();
    sim::wdf::ResetForTest();
}

void ModuleTest::NextDevice() {
    if (mHost && mHost->Device() != nullptr) {
        mHost->Remove();
        mHost->Unload();
        sim::WaitForThreadsToEnd();
        sim::HostLeaks leaks = mHost->LeakReport();
        EXPECT_TRUE(leaks.Empty()) << leaks.ToString();
    }
    mHost.reset();
    mSpecs.clear();
    CallLog& log = Log();
    std::lock_guard guard(log.lock);
    log.answers.clear();
    log.calls.clear();
    log.times.clear();
    log.gatedCall = 0;
    ResetEvent(log.gate);
}

size_t ModuleTest::AddModule(DMF_ModuleInstanceCreate* creator, const void* config, size_t size,
                             bool passive) {
    ModuleSpec entry{creator, {}, static_cast<BOOLEAN>(passive), nullptr};
    auto* bytes = static_cast<const unsigned char*>(config);
    entry.config.assign(bytes, bytes + (config != nullptr ? size : 0));
    mSpecs.push_back(std::move(entry));
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
