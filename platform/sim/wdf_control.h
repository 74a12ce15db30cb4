// Test controls of the framework stand-in (platform/wdf.h): driver globals,
// memory poisoning, preset device state, taken names, the lower device and
// the table of live WDF objects.
//
// Fault points of the framework stand-in (sim::ArmFault), named after the call:
//   "WdfObjectAllocateContext", "WdfObjectCreate", "WdfMemoryCreate",
//   "WdfMemoryCreatePreallocated", "WdfDriverCreate", "WdfDeviceCreate",
//   "WdfDeviceCreateSymbolicLink", "WdfDeviceCreateDeviceInterface",
//   "WdfIoQueueCreate", "WdfCollectionCreate", "WdfCollectionAdd",
//   "WdfWaitLockCreate", "WdfSpinLockCreate", "WdfTimerCreate", "WdfWorkItemCreate",
//   "WdfRequestCreate", "WdfRequestAllocateTimer", "WdfRequestSend", "WdfIoTargetCreate",
//   "WdfIoTargetOpen", "WdfIoTargetStart", "WdfIoTargetFormatRequestForIoctl",
//   "WdfIoTargetFormatRequestForRead", "WdfIoTargetFormatRequestForWrite".
// Each fails its call with the armed code, or with STATUS_INSUFFICIENT_RESOURCES
// (STATUS_OBJECT_NAME_COLLISION for the symbolic link) when the code is 0.
// "WdfMemoryCreate:TAG" (such as "WdfMemoryCreate:Hvx0") fails only the memory
// of that pool tag. "WdfTimerStart" never fails its call (a start cannot
// fail): armed with Hold(), it stops a start before the timer is set.
#pragma once

#include "platform/wdf.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::wdf {

// Forgets every WDF object (without running callbacks), the driver, taken
// names and every setting below. For test fixtures.
void ResetForTest();

// WdfDriverGlobals->DriverFlags; WdfVerifyOn (4) turns the verifier on.
void SetDriverFlags(ULONG flags);

// When on, WdfMemoryCreate fills new buffers with 0xCD instead of zeroes, so
// that reliance on zeroing the platform does not promise shows up.
void SetPoisonNewMemory(bool on);

// The NotDisableable state a new device reports (WdfUseDefault unless set).
void SetInitialNotDisableable(WDF_TRI_STATE state);

// Marks a symbolic link name as taken by someone else.
void TakeSymbolicLinkName(const std::u16string& name);
bool SymbolicLinkExists(const std::u16string& name);

// What a device recorded.
struct DeviceInterfaceRecord {
    GUID interfaceClass;
    std::u16string referenceString;
    bool enabled;
};
std::vector<DeviceInterfaceRecord> DeviceInterfaces(WDFDEVICE device);
std::vector<std::u16string> SymbolicLinks(WDFDEVICE device);
bool GetDeviceState(WDFDEVICE device, WDF_DEVICE_STATE* state);
bool GetPowerCapabilities(WDFDEVICE device, WDF_DEVICE_POWER_CAPABILITIES* caps);

// One request as a simulated device below a target sees it. A handler either
// sets the result and returns, or keeps the record and calls Complete later
// (from any thread).
struct TargetIo {
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    ULONG ioControlCode = 0;
    std::vector<std::uint8_t> input;
    std::size_t outputCapacity = 0;
    // The sender's time-out in machine ms (INFINITE: none). A device below
    // cannot see it; the record keeps it for tests to read.
    DWORD timeoutMs = INFINITE;
    std::vector<std::uint8_t> output; // what the device returns (at most outputCapacity bytes)
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool pending = false;           // set by a handler that completes later
    std::function<void()> complete; // filled by the stand-in; call after setting the result
};
using TargetHandler = std::function<void(const std::shared_ptr<TargetIo>& io)>;

// The device below every device (its default I/O target). Without a handler
// it fails every request with STATUS_NOT_SUPPORTED.
void SetLowerDeviceHandler(TargetHandler handler);
// A device that WdfIoTargetOpen can open by name (symbolic link of an interface).
void RegisterTargetDevice(const std::u16string& name, TargetHandler handler);
void UnregisterTargetDevice(const std::u16string& name);
// The removal of a device that targets are open on, as their drivers see
// it; the callbacks run on a thread of their own, and the configuration
// manager's registrations on a target's file handle (platform/cm.h) hear of
// each step just before the target's own callback.
// Query: every open target gets EvtIoTargetQueryRemove (without one it is
// closed for the query). A target's failure, or `deviceVetoes` (the device
// itself refuses once its targets agreed), vetoes: every target that was
// asked gets EvtIoTargetRemoveCanceled (without one, a target closed for the
// query is reopened) and the failure is returned (STATUS_UNSUCCESSFUL for the
// device's own veto).
NTSTATUS QueryRemoveTargetDevice(const std::u16string& name, bool deviceVetoes = false);
// An abandoned removal after a successful query: EvtIoTargetRemoveCanceled
// (or a reopen) for every target that was asked.
void CancelTargetDeviceRemoval(const std::u16string& name);
// The device goes: EvtIoTargetRemoveComplete (or a close) for every target
// still open or asked by a query; then the device is unregistered.
void CompleteTargetDeviceRemoval(const std::u16string& name);
// Query, then complete unless vetoed; a surprise removal skips the query.
NTSTATUS RemoveTargetDevice(const std::u16string& name, bool surprise = false);

// The targets a driver has opened by name on a device, as it opened them.
struct TargetOpenRecord {
    WDFIOTARGET target;
    bool open;
    WDF_IO_TARGET_OPEN_PARAMS params; // TargetDeviceName cleared
};
std::vector<TargetOpenRecord> TargetsOpenedOn(const std::u16string& name);

// The table of live WDF objects.
struct ObjectInfo {
    WDFOBJECT handle;
    std::string kind; // "WDFDEVICE", "WDFMEMORY", ...
    WDFOBJECT parent;
    ULONG poolTag;    // memory objects
    std::size_t size; // memory objects
    long references;  // beyond the object's own
    bool deleted;     // deleted, kept alive by references
};
std::vector<ObjectInfo> LiveObjects();
std::size_t LiveObjectCount();
bool IsLiveHandle(WDFOBJECT handle);

} // namespace sim::wdf
