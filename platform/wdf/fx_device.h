// Driver, device-init, device, queue, file-object, request and I/O-target
// records of the framework stand-in. Internal; the driver host drives them.
#pragma once

#include "platform/sim/kernel.h"
#include "platform/sim/wdf_control.h"
#include "platform/wdf/fx_object.h"

#include <atomic>
#include <functional>
#include <string>

struct DRIVER_OBJECT {
    int unused;
};

struct WDFDEVICE_INIT {
    WDFDRIVER driver = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_POWER_POLICY_EVENT_CALLBACKS policy{};
    WDF_FILEOBJECT_CONFIG file{};
    bool hasFile = false;
    WDFDEVICE created = nullptr; // the device WdfDeviceCreate made from this init
};

namespace fx {

class Driver final : public Object {
public:
    Driver() : Object(Kind::Driver) {}
    bool DriverMayDelete() const override { return false; }
    void OnCleanedUp() override;

    WDF_DRIVER_CONFIG config{};
};

class Device final : public Object {
public:
    Device() : Object(Kind::Device) {}
    bool DriverMayDelete() const override { return false; }
    void OnCleanedUp() override;

    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_POWER_POLICY_EVENT_CALLBACKS policy{};
    WDF_FILEOBJECT_CONFIG file{};
    bool hasFile = false;
    std::atomic<POWER_ACTION> action{PowerActionNone};

    std::mutex recordLock; // guards what follows
    WDF_DEVICE_STATE deviceState{};
    WDF_DEVICE_POWER_CAPABILITIES caps{};
    bool capsSet = false;
    WDFQUEUE defaultQueue = nullptr;
    WDFIOTARGET ioTarget = nullptr;
    std::vector<std::u16string> links;
    std::vector<sim::wdf::DeviceInterfaceRecord> interfaces;
};

class Queue final : public Object {
public:
    Queue() : Object(Kind::Queue) {}
    void OnCleanedUp() override;
    WDF_IO_QUEUE_CONFIG config{};
    WDFDEVICE device = nullptr;
};

class FileObject final : public Object {
public:
    FileObject() : Object(Kind::FileObject) {}
    bool DriverMayDelete() const override { return false; }
    WDFDEVICE device = nullptr;
    KPROCESSOR_MODE mode = UserMode;
    std::atomic<bool> closing{false}; // cleanup and close happen once
    std::u16string name;
    UNICODE_STRING nameString{};
};

// What a request carries to a target and back.
struct Formatted {
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    ULONG ioctl = 0;
    WDFMEMORY input = nullptr;
    WDFMEMORY_OFFSET inputOffset{};
    WDFMEMORY output = nullptr;
    WDFMEMORY_OFFSET outputOffset{};
    bool current = false; // an incoming request passed on as it came
};

class Request final : public Object {
public:
    Request() : Object(Kind::Request) {}
    bool DriverMayDelete() const override { return !incoming; }

    // Incoming requests (presented by a queue): buffered I/O, one system
    // buffer for input and output.
    bool incoming = false;
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    ULONG ioctl = 0;
    std::vector<std::uint8_t> system;
    std::size_t inputLength = 0;
    std::size_t outputLength = 0;
    WDFFILEOBJECT file = nullptr;
    WDFQUEUE queue = nullptr;
    KPROCESSOR_MODE mode = UserMode;
    // Called once, at completion, with the status and information.
    std::function<void(NTSTATUS, ULONG_PTR, const std::vector<std::uint8_t>&)> onComplete;

    std::mutex requestLock; // guards what follows
    bool completed = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    WDFMEMORY inputMemory = nullptr;
    WDFMEMORY outputMemory = nullptr;

    // Requests sent to a target.
    WDFIOTARGET target = nullptr;
    Formatted formatted;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine = nullptr;
    WDFCONTEXT completionContext = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS completionParams{};
    bool inFlight = false;
    // Ended below, its completion routine not yet called: still the
    // framework's, as while in flight.
    bool completionOwed = false;
    std::shared_ptr<sim::wdf::TargetIo> io;
    // Ends the send in flight with a status of the stand-in's own (time-out,
    // cancellation); false when it had already ended.
    std::function<bool(NTSTATUS)> abort;
};

class IoTarget final : public Object {
public:
    IoTarget() : Object(Kind::IoTarget), idle(std::make_shared<sim::kernel::Object>()) {
        idle->manualReset = true;
        idle->signaled = true;
    }
    // A target going away cancels what was sent through it.
    void OnDeleteBegin() override;
    WDFDEVICE device = nullptr;
    bool isDefault = false; // the device's own target: the device below it

    std::mutex targetLock; // guards what follows
    bool open = false;
    bool closedForQueryRemove = false;
    bool queryPending = false; // given a query-remove whose outcome it has not been told
    std::u16string name;
    sim::wdf::TargetHandler handler;
    WDF_IO_TARGET_OPEN_PARAMS openParams{};
    // Requests sent and not yet handed back to the driver; `idle` is
    // signalled while there are none.
    std::vector<std::weak_ptr<Request>> sent;
    std::shared_ptr<sim::kernel::Object> idle;
};

// Settings of sim/wdf_control.h read by the stand-in.
WDF_TRI_STATE InitialNotDisableable();
void ReleaseSymbolicLinks(const std::vector<std::u16string>& names);
sim::wdf::TargetHandler LowerDeviceHandler();
sim::wdf::TargetHandler FindTargetDevice(const std::u16string& name);
// Calls `visit` with its lock held for each live target opened by name on `name`.
void ForEachTargetOn(const std::u16string& name, const std::function<void(IoTarget&)>& visit);
void ResetDeviceSettings();
void ResetNames();
void ResetDriverGlobals();

// Completes an incoming request (once): status, information, then deletion.
void CompleteRequest(const std::shared_ptr<Request>& request, NTSTATUS status,
                     ULONG_PTR information, const char* call);

std::u16string FromUnicodeString(PCUNICODE_STRING text);

} // namespace fx
