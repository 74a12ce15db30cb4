// What the framework's request path costs: a synchronous 296-byte IOCTL
// through DeviceInterfaceTarget and its RequestTarget to a simulated device
// that answers at once, against the floor of the same machine: the same IOCTL
// sent by hand on a target opened on the same device (a request created,
// its buffers wrapped, formatted, sent synchronously with a time-out, and
// deleted). Both are timed call for call, alternately, in one run.
//
// Tracing stays at the error level, where a deployed driver's recorder runs.
#include "bench/bench_support.h"
#include "dmf/framework/DmfDefinitions.h"
#include "dmf/modules/Dmf_DeviceInterfaceTarget.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/target_device.h"

#include <chrono>
#include <vector>

namespace {

constexpr GUID kInterfaceClass = {
    0x5F797E8F, 0xE6A4, 0x41F0, {0xB5, 0xA8, 0x56, 0x0A, 0x4D, 0x0B, 0xBC, 0x20}};
constexpr char16_t kLink[] = u"\\??\\ROOT#PART#0000#{5f797e8f}";
constexpr ULONG kIoctl = 0xECAF32C2;
constexpr size_t kRequestBytes = 296;
constexpr ULONG kTimeoutMs = 5000;

bench::AgainstFloor gResults;
// --- A driver whose device holds one DeviceInterfaceTarget. ---

DMFMODULE gInterfaceTarget = nullptr;

void ModulesAdd(WDFDEVICE, PDMFMODULE_INIT DmfModuleInit) {
    DMF_CONFIG_DeviceInterfaceTarget config;
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_CONFIG_DeviceInterfaceTarget_AND_ATTRIBUTES_INIT(&config, &attributes);
    config.DeviceInterfaceTargetGuid = kInterfaceClass;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES, &gInterfaceTarget);
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    PDMFDEVICE_INIT dmfDeviceInit = DMF_DmfDeviceInitAllocate(DeviceInit);
    DMF_DmfDeviceInitHookPnpPowerEventCallbacks(dmfDeviceInit, nullptr);
    DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(dmfDeviceInit, nullptr);
    DMF_DmfDeviceInitHookFileObjectConfig(dmfDeviceInit, nullptr);
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

// The device answers every request at once with a full output buffer.
sim::TargetAnswer Answer(const sim::TargetRequest& request) {
    sim::TargetAnswer answer;
    answer.output.assign(request.outputCapacity, 0x5A);
    return answer;
}

// The machine: the simulated device, and the driver's device started with its
// target open on it; a second target the floor sends through by hand.
class Machine {
public:
    Machine() {
        sim::cm::Reset();
        mDevice.Publish();
        mHost.LoadEntry(DriverEntry);
        mHost.AddDevice();
        mHost.Start();
        sim::Settle();
        mFloorTarget = mDevice.OpenTarget(mHost.Device());
    }
    ~Machine() {
        mHost.Remove();
        mHost.Unload();
    }

    // One IOCTL by hand; returns its duration in nanoseconds.
    double Floor() {
        auto start = std::chrono::steady_clock::now();
        WDFREQUEST request = nullptr;
        WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, mFloorTarget, &request);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = request;
        WDFMEMORY input = nullptr;
        WDFMEMORY output = nullptr;
        WdfMemoryCreatePreallocated(&attributes, mRequest.data(), mRequest.size(), &input);
        WdfMemoryCreatePreallocated(&attributes, mReply.data(), mReply.size(), &output);
        WdfIoTargetFormatRequestForIoctl(mFloorTarget, request, kIoctl, input, nullptr, output,
                                         nullptr);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                                    WDF_REQUEST_SEND_OPTION_TIMEOUT);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(kTimeoutMs));
        WdfRequestAllocateTimer(request);
        WdfRequestSend(request, mFloorTarget, &options);
        mStatus = WdfRequestGetStatus(request);
        WdfObjectDelete(request);
        return Elapsed(start);
    }

    // The same IOCTL through the module.
    double Module() {
        auto start = std::chrono::steady_clock::now();
        size_t bytes = 0;
        mStatus = DMF_DeviceInterfaceTarget_SendSynchronously(
            gInterfaceTarget, mRequest.data(), mRequest.size(), mReply.data(), mReply.size(),
            RequestTarget_RequestType_Ioctl, kIoctl, kTimeoutMs, &bytes);
        return Elapsed(start);
    }

    NTSTATUS LastStatus() const { return mStatus; }

private:
    static double Elapsed(std::chrono::steady_clock::time_point start) {
        return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
    }

    sim::TargetDevice mDevice{kInterfaceClass, kLink, Answer};
    sim::DriverHost mHost;
    WDFIOTARGET mFloorTarget = nullptr;
    std::vector<unsigned char> mRequest = std::vector<unsigned char>(kRequestBytes, 1);
    std::vector<unsigned char> mReply = std::vector<unsigned char>(kRequestBytes);
    NTSTATUS mStatus = STATUS_SUCCESS;
};

// The two ways of sending, one call per round.
struct FloorPath {
    Machine& machine;
    double Round() { return machine.Floor(); }
};
struct ModulePath {
    Machine& machine;
    double Round() { return machine.Module(); }
};

void BM_IoctlFloor(benchmark::State& state) {
    Machine machine;
    bench::Samples local;
    for (auto _ : state) {
        local.ns.push_back(machine.Floor());
    }
    state.counters["median_ns"] = local.Median();
}
BENCHMARK(BM_IoctlFloor)->UseRealTime();

void BM_IoctlThroughModuleAgainstFloor(benchmark::State& state) {
    Machine machine;
    FloorPath floor{machine};
    ModulePath module{machine};
    gResults.Run(state, floor, module, "module");
    if (machine.LastStatus() != STATUS_SUCCESS) {
        state.SkipWithError("the IOCTL through the module failed");
    }
}
BENCHMARK(BM_IoctlThroughModuleAgainstFloor)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    int result = bench::RunBenchmarks(argc, argv);
    gResults.Print("module", 1.5);
    return result;
}
