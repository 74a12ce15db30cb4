#include "platform/sim/driver_host.h"

#include "platform/sim/callback_pool.h"
#include "platform/sim/callback_thread.h"
#include "platform/sim/clock.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/display.h"
#include "platform/sim/ip_interfaces.h"
#include "platform/sim/kernel.h"
#include "platform/sim/proximity.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/wdf_control.h"
#include "platform/sim/wlan.h"
#include "platform/sim/wpp_control.h"
#include "platform/trace.h"
#include "platform/wdf/fx_device.h"
#include "platform/win32.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace sim {
namespace {

constexpr char16_t kRegistryPath[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Halvex";
// Runs a PnP, power or file callback of the driver on the framework's
// callback thread and waits for it; a host that cannot start one cannot go on.
void CallDriver(const char* what, const std::function<void()>& body) {
    if (!RunOnCallbackThread("driver host", what, body)) {
        std::fprintf(stderr, "driver host: no thread for %s\n", what);
        std::abort();
    }
}

void StartCallbackThread(std::function<void()> body) {
    HANDLE thread = kernel::StartThread(
        [body = std::move(body)]() -> DWORD {
            body();
            return 0;
        },
        nullptr);
    if (thread == nullptr) {
        body();
        return;
    }
    CloseHandle(thread);
}

// The platform's notification registrations, by kind, as counted now. The
// software-trace registration is the driver object's: it ends at unload.
using RegistrationCounts = std::vector<std::pair<std::string, std::size_t>>;
RegistrationCounts CountRegistrations() {
    return {{"configuration manager", cm::RegistrationCount()},
            {"display", display::RegistrationCount()},
            {"IP interface", ip::RegistrationCount()},
            {"WLAN", wlan::NotificationRegistrations()},
            {"proximity watcher", proximity::WatcherSubscriptions()},
            {"software trace", wpp::RegistrationCount()}};
}

} // namespace

std::string HostLeaks::ToString() const {
    std::ostringstream text;
    for (const auto& object : objects) {
        text << "leaked: " << object << "\n";
    }
    if (threads != 0) {
        text << "threads still running: " << threads << "\n";
    }
    if (handles != 0) {
        text << "handles left open: " << handles << "\n";
    }
    for (const auto& [kind, count] : registrations) {
        text << kind << " registrations left open: " << count << "\n";
    }
    return text.str();
}

struct DriverHost::State {
    std::mutex pnpLock; // one PnP or power sequence at a time
    void* library = nullptr;
    DRIVER_OBJECT driverObject{};
    std::u16string registryPath = kRegistryPath;
    UNICODE_STRING registryString{};
    std::atomic<WDFDRIVER> driver{nullptr};
    std::atomic<WDFDEVICE> device{nullptr};
    std::atomic<bool> added{false};
    std::atomic<bool> removed{false};
    bool hardwarePrepared = false;
    bool selfManagedStarted = false;
    std::atomic<bool> inD0{false};
    std::atomic<std::int64_t> ioBoundMs{10000};
    // Requests presented to the driver and not completed; `idle` is
    // signalled while there are none (a dispatcher object, so that a D0 exit
    // waiting for them counts as waiting).
    int inFlight = 0; // under the dispatcher lock
    std::shared_ptr<kernel::Object> idle = [] {
        auto event = std::make_shared<kernel::Object>();
        event->manualReset = true;
        event->signaled = true;
        return event;
    }();
    std::size_t handlesAtLoad = 0;
    RegistrationCounts registrationsAtLoad;
    // A power-managed queue presents nothing while the device is out of D0:
    // requests wait here for the next D0 entry.
    std::mutex heldLock;
    bool queueRunning = false; // under heldLock
    std::vector<std::function<void()>> held;
    // The default queue's callback threads.
    CallbackPool pool;

    std::shared_ptr<fx::Device> DeviceRecord() const {
        auto object = fx::Lookup(device);
        return object && object->kind() == fx::Kind::Device
                   ? std::static_pointer_cast<fx::Device>(object)
                   : nullptr;
    }

    NTSTATUS EntrySequence(const std::shared_ptr<fx::Device>& dev, WDF_POWER_DEVICE_STATE previous);
    NTSTATUS ExitSequence(const std::shared_ptr<fx::Device>& dev, WDF_POWER_DEVICE_STATE target);
    NTSTATUS RemoveLocked(bool surprise);
    void WaitForRequests();
    void RequestPresented();
    void RequestCompleted();
    void RunQueue();
    void StopQueue();
    std::chrono::milliseconds IoBound() const {
        return std::chrono::milliseconds(ioBoundMs.load());
    }
};

void DriverHost::State::RunQueue() {
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard guard(heldLock);
        queueRunning = true;
        waiting.swap(held);
    }
    for (auto& present : waiting) {
        present();
    }
}

// Stops presenting and waits for the requests the driver holds: a
// power-managed queue lets the device leave D0 only once they are done.
void DriverHost::State::StopQueue() {
    {
        std::lock_guard guard(heldLock);
        queueRunning = false;
    }
    WaitForRequests();
}

NTSTATUS DriverHost::State::EntrySequence(const std::shared_ptr<fx::Device>& dev,
                                          WDF_POWER_DEVICE_STATE previous) {
    const auto& pnp = dev->pnp;
    NTSTATUS status = STATUS_SUCCESS;
    if (pnp.EvtDeviceD0Entry != nullptr) {
        status = pnp.EvtDeviceD0Entry(device, previous);
    }
    if (NT_SUCCESS(status) && pnp.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        status = pnp.EvtDeviceD0EntryPostInterruptsEnabled(device, previous);
    }
    if (NT_SUCCESS(status)) {
        if (!selfManagedStarted) {
            if (pnp.EvtDeviceSelfManagedIoInit != nullptr) {
                status = pnp.EvtDeviceSelfManagedIoInit(device);
            }
            selfManagedStarted = NT_SUCCESS(status);
        } else if (pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
            status = pnp.EvtDeviceSelfManagedIoRestart(device);
        }
    }
    inD0 = NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "driver host: D0 entry failed 0x%08X",
                    static_cast<unsigned>(status));
    } else {
        RunQueue();
    }
    return status;
}

NTSTATUS DriverHost::State::ExitSequence(const std::shared_ptr<fx::Device>& dev,
                                         WDF_POWER_DEVICE_STATE target) {
    const auto& pnp = dev->pnp;
    NTSTATUS status = STATUS_SUCCESS;
    StopQueue();
    if (selfManagedStarted && pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
        status = pnp.EvtDeviceSelfManagedIoSuspend(device);
    }
    if (NT_SUCCESS(status) && pnp.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        status = pnp.EvtDeviceD0ExitPreInterruptsDisabled(device, target);
    }
    if (NT_SUCCESS(status) && pnp.EvtDeviceD0Exit != nullptr) {
        status = pnp.EvtDeviceD0Exit(device, target);
    }
    // The device leaves D0 whatever the driver answers.
    inD0 = false;
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "driver host: D0 exit failed 0x%08X",
                    static_cast<unsigned>(status));
    }
    return status;
}

void DriverHost::State::WaitForRequests() {
    std::unique_lock lock(kernel::DispatcherLock());
    auto machineMs = static_cast<double>(ioBoundMs.load()) / TimeScale();
    DWORD bound = machineMs >= static_cast<double>(INFINITE - 1) ? INFINITE - 1
                                                                 : static_cast<DWORD>(machineMs);
    if (kernel::WaitAny({idle}, lock, bound) != WAIT_OBJECT_0) {
        int left = inFlight;
        lock.unlock();
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "driver host: %d requests still with the driver at D0 exit", left);
    }
}

void DriverHost::State::RequestPresented() {
    std::lock_guard guard(kernel::DispatcherLock());
    if (inFlight++ == 0) {
        idle->signaled = false;
    }
}

void DriverHost::State::RequestCompleted() {
    std::lock_guard guard(kernel::DispatcherLock());
    if (--inFlight == 0) {
        kernel::SignalLocked(*idle);
    }
}

NTSTATUS DriverHost::State::RemoveLocked(bool surprise) {
    auto dev = DeviceRecord();
    if (!added || removed || !dev) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    StopQueue();
    NTSTATUS result = STATUS_SUCCESS;
    CallDriver("removal", [&] {
        const auto& pnp = dev->pnp;
        if (surprise && pnp.EvtDeviceSurpriseRemoval != nullptr) {
            pnp.EvtDeviceSurpriseRemoval(device);
        }
        if (inD0) {
            dev->action = PowerActionNone;
            result = ExitSequence(dev, WdfPowerDeviceD3Final);
        }
        if (selfManagedStarted && pnp.EvtDeviceSelfManagedIoFlush != nullptr) {
            pnp.EvtDeviceSelfManagedIoFlush(device);
        }
        if (hardwarePrepared && pnp.EvtDeviceReleaseHardware != nullptr) {
            NTSTATUS status = pnp.EvtDeviceReleaseHardware(device, nullptr);
            if (NT_SUCCESS(result)) {
                result = status;
            }
        }
        hardwarePrepared = false;
        if (selfManagedStarted && pnp.EvtDeviceSelfManagedIoCleanup != nullptr) {
            pnp.EvtDeviceSelfManagedIoCleanup(device);
        }
        selfManagedStarted = false;
        // File objects still open are closed with the device.
        for (const auto& object : fx::Snapshot()) {
            if (object->kind() != fx::Kind::FileObject || object->state() != fx::LifeState::Live) {
                continue;
            }
            auto file = std::static_pointer_cast<fx::FileObject>(object);
            if (file->device != device || file->closing.exchange(true)) {
                continue;
            }
            auto handle = reinterpret_cast<WDFFILEOBJECT>(file->handle());
            if (dev->hasFile && dev->file.EvtFileCleanup != nullptr) {
                dev->file.EvtFileCleanup(handle);
            }
            if (dev->hasFile && dev->file.EvtFileClose != nullptr) {
                dev->file.EvtFileClose(handle);
            }
            fx::Delete(file, true);
        }
        fx::Delete(dev, true);
    });
    removed = true;
    device = nullptr;
    // Requests still waiting for D0 go with the device.
    std::vector<std::function<void()>> waiting;
    {
        std::lock_guard guard(heldLock);
        waiting.swap(held);
    }
    for (auto& present : waiting) {
        present();
    }
    // The queue's threads are the host's: none outlives the device.
    pool.Close(IoBound());
    return result;
}

DriverHost::DriverHost() : mState(std::make_shared<State>()) {
    mState->registryString.Buffer = mState->registryPath.data();
    mState->registryString.Length =
        static_cast<USHORT>(mState->registryPath.size() * sizeof(WCHAR));
    mState->registryString.MaximumLength = mState->registryString.Length;
}

DriverHost::~DriverHost() {
    if (mState->added && !mState->removed) {
        Remove();
    }
    if (mState->driver != nullptr || mState->library != nullptr) {
        Unload();
    }
    mState->pool.Close(mState->IoBound());
}

NTSTATUS DriverHost::LoadLibrary(const std::string& path) {
    std::lock_guard guard(mState->pnpLock);
    if (mState->library != nullptr || mState->driver != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A driver image, once loaded, stays mapped for the life of the process:
    // what it registers process-wide at load (its message schemas, in the
    // protobuf runtime) can be registered only once, so a driver loaded again
    // must be the same image.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "driver host: cannot load %s: %s",
                    path.c_str(), dlerror());
        return STATUS_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PFN_FX_DRIVER_ENTRY_UM>(dlsym(library, FX_DRIVER_ENTRY_UM_NAME));
    if (entry == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "driver host: %s exports no %s", path.c_str(),
                    FX_DRIVER_ENTRY_UM_NAME);
        dlclose(library);
        return STATUS_NOT_FOUND;
    }
    mState->library = library;
    mState->handlesAtLoad = kernel::OpenHandleCount();
    mState->registrationsAtLoad = CountRegistrations();
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver("FxDriverEntryUm", [&] {
        status = entry(nullptr, nullptr, &mState->driverObject, &mState->registryString);
    });
    mState->driver = WdfGetDriver();
    if (!NT_SUCCESS(status)) {
        dlclose(library);
        mState->library = nullptr;
        mState->driver = nullptr;
    }
    return status;
}

NTSTATUS DriverHost::LoadEntry(PDRIVER_INITIALIZE entry) {
    std::lock_guard guard(mState->pnpLock);
    if (entry == nullptr || mState->driver != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    mState->handlesAtLoad = kernel::OpenHandleCount();
    mState->registrationsAtLoad = CountRegistrations();
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver("DriverEntry",
               [&] { status = entry(&mState->driverObject, &mState->registryString); });
    mState->driver = NT_SUCCESS(status) ? WdfGetDriver() : nullptr;
    return status;
}

void DriverHost::Unload() {
    if (mState->added && !mState->removed) {
        Remove();
    }
    std::lock_guard guard(mState->pnpLock);
    if (auto object = fx::Lookup(mState->driver); object && object->kind() == fx::Kind::Driver) {
        auto driver = std::static_pointer_cast<fx::Driver>(object);
        CallDriver("driver unload", [&] {
            if (driver->config.EvtDriverUnload != nullptr) {
                driver->config.EvtDriverUnload(mState->driver);
            }
            fx::Delete(driver, true);
        });
    }
    mState->driver = nullptr;
    if (mState->library != nullptr) {
        dlclose(mState->library);
        mState->library = nullptr;
    }
}

NTSTATUS DriverHost::AddDevice() {
    std::lock_guard guard(mState->pnpLock);
    auto object = fx::Lookup(mState->driver);
    if (!object || object->kind() != fx::Kind::Driver || mState->added) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto driver = std::static_pointer_cast<fx::Driver>(object);
    if (driver->config.EvtDriverDeviceAdd == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    auto init = std::make_unique<WDFDEVICE_INIT>();
    init->driver = mState->driver;
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver("device add", [&] {
        status = driver->config.EvtDriverDeviceAdd(mState->driver, init.get());
        WDFDEVICE created = init->created;
        if (!NT_SUCCESS(status) && created != nullptr) {
            // The framework does not keep a device whose add failed.
            if (auto device = fx::Lookup(created)) {
                fx::Delete(device, true);
            }
        }
    });
    if (NT_SUCCESS(status) && init->created == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "driver host: device add succeeded without creating a device");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status)) {
        mState->device = init->created;
        mState->added = true;
        mState->removed = false;
    }
    return status;
}

WDFDEVICE DriverHost::Device() const {
    return mState->device;
}
WDFDRIVER DriverHost::Driver() const {
    return mState->driver;
}
bool DriverHost::InD0() const {
    return mState->inD0;
}
bool DriverHost::HardwarePrepared() const {
    std::lock_guard guard(mState->pnpLock);
    return mState->hardwarePrepared;
}

NTSTATUS DriverHost::Start() {
    std::lock_guard guard(mState->pnpLock);
    auto dev = mState->DeviceRecord();
    if (!dev || mState->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver("start", [&] {
        dev->action = PowerActionNone;
        if (!mState->hardwarePrepared) {
            if (dev->pnp.EvtDevicePrepareHardware != nullptr) {
                status = dev->pnp.EvtDevicePrepareHardware(mState->device, nullptr, nullptr);
            }
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                            "driver host: PrepareHardware failed 0x%08X",
                            static_cast<unsigned>(status));
                return;
            }
            mState->hardwarePrepared = true;
        }
        status = mState->EntrySequence(dev, WdfPowerDeviceD3Final);
    });
    return status;
}

NTSTATUS DriverHost::D0Entry(WDF_POWER_DEVICE_STATE previous, POWER_ACTION action) {
    std::lock_guard guard(mState->pnpLock);
    auto dev = mState->DeviceRecord();
    if (!dev || mState->inD0 || !mState->hardwarePrepared) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver("D0 entry", [&] {
        dev->action = action;
        status = mState->EntrySequence(dev, previous);
        dev->action = PowerActionNone;
    });
    return status;
}

NTSTATUS DriverHost::D0Exit(WDF_POWER_DEVICE_STATE target, POWER_ACTION action) {
    std::lock_guard guard(mState->pnpLock);
    auto dev = mState->DeviceRecord();
    if (!dev || !mState->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    CallDriver("D0 exit", [&] {
        dev->action = action;
        status = mState->ExitSequence(dev, target);
        dev->action = PowerActionNone;
    });
    return status;
}

NTSTATUS DriverHost::Sleep() {
    return D0Exit(WdfPowerDeviceD3, PowerActionSleep);
}
NTSTATUS DriverHost::Wake() {
    return D0Entry(WdfPowerDeviceD3, PowerActionSleep);
}
NTSTATUS DriverHost::Hibernate() {
    return D0Exit(WdfPowerDeviceD3, PowerActionHibernate);
}
NTSTATUS DriverHost::Resume() {
    return D0Entry(WdfPowerDeviceD3, PowerActionHibernate);
}
NTSTATUS DriverHost::Shutdown() {
    return D0Exit(WdfPowerDeviceD3Final, PowerActionShutdown);
}

NTSTATUS DriverHost::Remove() {
    std::lock_guard guard(mState->pnpLock);
    return mState->RemoveLocked(false);
}

NTSTATUS DriverHost::SurpriseRemove() {
    std::lock_guard guard(mState->pnpLock);
    return mState->RemoveLocked(true);
}

void DriverHost::SetIoBound(std::chrono::milliseconds bound) {
    mState->ioBoundMs = bound.count();
}

HostFile DriverHost::OpenFile(const std::u16string& fileName, KPROCESSOR_MODE mode) {
    HostFile result;
    auto dev = mState->DeviceRecord();
    if (!dev || mState->removed) {
        result.status = STATUS_INVALID_DEVICE_STATE;
        return result;
    }
    auto file = std::make_shared<fx::FileObject>();
    file->device = mState->device;
    file->mode = mode;
    file->name = fileName;
    file->nameString.Buffer = file->name.data();
    file->nameString.Length = static_cast<USHORT>(file->name.size() * sizeof(WCHAR));
    file->nameString.MaximumLength = file->nameString.Length;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = mState->device;
    NTSTATUS status = fx::Insert(file, &attributes, nullptr, "OpenFile");
    if (!NT_SUCCESS(status)) {
        result.status = status;
        return result;
    }
    auto handle = reinterpret_cast<WDFFILEOBJECT>(file->handle());
    auto request = std::make_shared<fx::Request>();
    request->incoming = true;
    request->type = WdfRequestTypeCreate;
    request->file = handle;
    request->mode = mode;
    auto done = std::make_shared<std::promise<NTSTATUS>>();
    auto completed = done->get_future();
    request->onComplete = [done](NTSTATUS status, ULONG_PTR, const std::vector<std::uint8_t>&) {
        done->set_value(status);
    };
    status = fx::Insert(request, nullptr, nullptr, "OpenFile");
    if (!NT_SUCCESS(status)) {
        fx::Delete(file, true);
        result.status = status;
        return result;
    }
    auto requestHandle = reinterpret_cast<WDFREQUEST>(request->handle());
    StartCallbackThread([dev, request, requestHandle, handle, device = mState->device.load()] {
        if (dev->hasFile && dev->file.EvtDeviceFileCreate != nullptr) {
            dev->file.EvtDeviceFileCreate(device, requestHandle, handle);
        } else {
            fx::CompleteRequest(request, STATUS_SUCCESS, 0, "file create");
        }
    });
    if (completed.wait_for(std::chrono::milliseconds(mState->ioBoundMs.load())) !=
        std::future_status::ready) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "driver host: file create not completed");
        result.status = STATUS_IO_TIMEOUT;
        return result;
    }
    result.status = completed.get();
    if (!NT_SUCCESS(result.status)) {
        // A failed create leaves no file object: no cleanup, no close.
        fx::Delete(file, true);
        return result;
    }
    result.handle = handle;
    return result;
}

void DriverHost::CloseFile(HostFile& file) {
    auto object = fx::Lookup(file.handle);
    auto dev = mState->DeviceRecord();
    file.handle = nullptr;
    if (!object || object->kind() != fx::Kind::FileObject || !dev ||
        std::static_pointer_cast<fx::FileObject>(object)->closing.exchange(true)) {
        return;
    }
    auto handle = reinterpret_cast<WDFFILEOBJECT>(object->handle());
    CallDriver("file close", [&] {
        if (dev->hasFile && dev->file.EvtFileCleanup != nullptr) {
            dev->file.EvtFileCleanup(handle);
        }
        if (dev->hasFile && dev->file.EvtFileClose != nullptr) {
            dev->file.EvtFileClose(handle);
        }
        fx::Delete(object, true);
    });
}

std::future<IoResult> DriverHost::DeviceIoControlAsync(const HostFile& file, ULONG code,
                                                       std::vector<std::uint8_t> input,
                                                       std::size_t outputLength) {
    auto done = std::make_shared<std::promise<IoResult>>();
    auto future = done->get_future();
    auto dev = mState->DeviceRecord();
    auto fileObject = fx::Lookup(file.handle);
    if (!dev || mState->removed || !fileObject || fileObject->kind() != fx::Kind::FileObject) {
        done->set_value({STATUS_INVALID_DEVICE_STATE, 0, {}});
        return future;
    }
    auto request = std::make_shared<fx::Request>();
    request->incoming = true;
    request->type = WdfRequestTypeDeviceControl;
    request->ioctl = code;
    request->inputLength = input.size();
    request->outputLength = outputLength;
    // Buffered I/O: one system buffer holds the input and then the output.
    request->system.assign(std::max(input.size(), outputLength), 0);
    std::copy(input.begin(), input.end(), request->system.begin());
    request->file = file.handle;
    request->mode = std::static_pointer_cast<fx::FileObject>(fileObject)->mode;
    WDFQUEUE queueHandle = WdfDeviceGetDefaultQueue(mState->device);
    request->queue = queueHandle;
    auto state = mState;
    auto presented = std::make_shared<std::atomic<bool>>(false);
    request->onComplete = [done, state, presented](NTSTATUS status, ULONG_PTR information,
                                                   const std::vector<std::uint8_t>& output) {
        done->set_value({status, static_cast<std::size_t>(information), output});
        if (presented->load()) {
            state->RequestCompleted();
        }
    };
    if (!NT_SUCCESS(fx::Insert(request, nullptr, nullptr, "DeviceIoControl"))) {
        std::promise<IoResult> failed;
        failed.set_value({STATUS_INSUFFICIENT_RESOURCES, 0, {}});
        return failed.get_future();
    }
    auto queue = fx::Get<fx::Queue>(queueHandle, fx::Kind::Queue, "DeviceIoControl");
    if (!queue || queue->config.EvtIoDeviceControl == nullptr) {
        fx::CompleteRequest(request, STATUS_INVALID_DEVICE_REQUEST, 0, "DeviceIoControl");
        return future;
    }
    auto requestHandle = reinterpret_cast<WDFREQUEST>(request->handle());
    std::size_t inputLength = input.size();
    // A parallel queue: every request on a callback thread of its own, which
    // may have served requests before.
    auto present = [state, presented, request, queue, queueHandle, requestHandle, outputLength,
                    inputLength, code] {
        if (state->removed) {
            fx::CompleteRequest(request, STATUS_CANCELLED, 0, "DeviceIoControl");
            return;
        }
        presented->store(true);
        state->RequestPresented();
        state->pool.Run([queue, queueHandle, requestHandle, outputLength, inputLength, code] {
            queue->config.EvtIoDeviceControl(queueHandle, requestHandle, outputLength, inputLength,
                                             code);
        });
    };
    {
        std::lock_guard guard(state->heldLock);
        if (!state->queueRunning && queue->config.PowerManaged != WdfFalse) {
            state->held.push_back(std::move(present));
            return future;
        }
    }
    present();
    return future;
}

IoResult DriverHost::DeviceIoControl(const HostFile& file, ULONG code,
                                     const std::vector<std::uint8_t>& input,
                                     std::size_t outputLength) {
    auto future = DeviceIoControlAsync(file, code, input, outputLength);
    if (future.wait_for(std::chrono::milliseconds(mState->ioBoundMs.load())) !=
        std::future_status::ready) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "driver host: IOCTL 0x%08X not completed in time", code);
        return {STATUS_IO_TIMEOUT, 0, {}};
    }
    return future.get();
}

HostLeaks DriverHost::LeakReport() const {
    HostLeaks report;
    for (const auto& object : fx::Snapshot()) {
        std::string line = object->Describe();
        long references = object->ExtraReferences();
        if (references > 0) {
            line += " with " + std::to_string(references) + " references";
        }
        report.objects.push_back(line);
    }
    // The queue's idle threads are the host's, not the driver's: they go
    // first. Callback threads that have handed back their answer may still be
    // on their way out; a thread the driver left running is still there after this.
    mState->pool.Trim(std::chrono::seconds(1));
    WaitForThreadsToEnd(std::chrono::seconds(1));
    report.threads = LiveThreadCount();
    std::size_t open = kernel::OpenHandleCount();
    report.handles = open > mState->handlesAtLoad ? open - mState->handlesAtLoad : 0;
    const RegistrationCounts now = CountRegistrations();
    const bool unloaded = mState->driver == nullptr;
    for (std::size_t i = 0; i < now.size() && i < mState->registrationsAtLoad.size(); ++i) {
        const std::size_t before = mState->registrationsAtLoad[i].second;
        const bool driverLong = now[i].first == "software trace";
        if (now[i].second > before && (unloaded || !driverLong)) {
            report.registrations.emplace_back(now[i].first, now[i].second - before);
        }
    }
    return report;
}

} // namespace sim
