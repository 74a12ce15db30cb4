// Placeholders for the calls whose implementation has not landed yet.
#include "platform/wdf.h"

PWDF_DRIVER_GLOBALS WdfDriverGlobals = nullptr;

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             WDFCOLLECTION* Collection) {
    (void)CollectionAttributes;
    (void)Collection;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
    (void)Collection;
    (void)Object;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
    (void)Collection;
    (void)Item;
}

void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
    (void)Collection;
    (void)Index;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
    (void)Collection;
    return 0;
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
    (void)Collection;
    (void)Index;
    return nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
    (void)Collection;
    return nullptr;
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
    (void)Collection;
    return nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    (void)FileObject;
    return nullptr;
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject) {
    (void)FileObject;
    return nullptr;
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    (void)DeviceInit;
    (void)PnpPowerEventCallbacks;
}

void WdfDeviceInitSetPowerPolicyEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_POWER_POLICY_EVENT_CALLBACKS PowerPolicyEventCallbacks) {
    (void)DeviceInit;
    (void)PowerPolicyEventCallbacks;
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    (void)DeviceInit;
    (void)FileObjectConfig;
    (void)FileObjectAttributes;
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device) {
    (void)DeviceInit;
    (void)DeviceAttributes;
    (void)Device;
    return STATUS_NOT_IMPLEMENTED;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    (void)Device;
    return nullptr;
}

void WdfDeviceGetDeviceState(WDFDEVICE Device, PWDF_DEVICE_STATE DeviceState) {
    (void)Device;
    (void)DeviceState;
}

void WdfDeviceSetDeviceState(WDFDEVICE Device, PWDF_DEVICE_STATE DeviceState) {
    (void)Device;
    (void)DeviceState;
}

NTSTATUS WdfDeviceSetPowerCapabilities(WDFDEVICE Device,
                                       PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities) {
    (void)Device;
    (void)PowerCapabilities;
    return STATUS_NOT_IMPLEMENTED;
}

POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device) {
    (void)Device;
    return PowerActionNone;
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
    (void)Device;
    (void)SymbolicLinkName;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
    (void)Device;
    (void)InterfaceClassGUID;
    (void)ReferenceString;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString,
                                      BOOLEAN IsInterfaceEnabled) {
    (void)Device;
    (void)InterfaceClassGUID;
    (void)ReferenceString;
    (void)IsInterfaceEnabled;
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    (void)Device;
    return nullptr;
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
    (void)Device;
    return nullptr;
}

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver) {
    (void)DriverObject;
    (void)RegistryPath;
    (void)DriverAttributes;
    (void)DriverConfig;
    (void)Driver;
    return STATUS_NOT_IMPLEMENTED;
}

WDFDRIVER WdfGetDriver() {
    return nullptr;
}

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request) {
    (void)RequestAttributes;
    (void)IoTarget;
    (void)Request;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    (void)Request;
    (void)ReuseParams;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request) {
    (void)Request;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
    (void)Request;
    (void)CompletionRoutine;
    (void)CompletionContext;
}

void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    (void)Request;
    (void)Params;
}

NTSTATUS WdfRequestAllocateTimer(WDFREQUEST Request) {
    (void)Request;
    return STATUS_NOT_IMPLEMENTED;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    (void)Request;
    (void)Target;
    (void)Options;
    return FALSE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    (void)Request;
    return FALSE;
}

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           WDFIOTARGET* IoTarget) {
    (void)Device;
    (void)IoTargetAttributes;
    (void)IoTarget;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams) {
    (void)IoTarget;
    (void)OpenParams;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfIoTargetClose(WDFIOTARGET IoTarget) {
    (void)IoTarget;
}

void WdfIoTargetCloseForQueryRemove(WDFIOTARGET IoTarget) {
    (void)IoTarget;
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
    (void)IoTarget;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    (void)IoTarget;
    (void)Action;
}

void WdfIoTargetPurge(WDFIOTARGET IoTarget, WDF_IO_TARGET_PURGE_IO_ACTION Action) {
    (void)IoTarget;
    (void)Action;
}

HANDLE WdfIoTargetWdmGetTargetFileHandle(WDFIOTARGET IoTarget) {
    (void)IoTarget;
    return nullptr;
}

NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer,
                                          PWDFMEMORY_OFFSET OutputBufferOffset) {
    (void)IoTarget;
    (void)Request;
    (void)IoctlCode;
    (void)InputBuffer;
    (void)InputBufferOffset;
    (void)OutputBuffer;
    (void)OutputBufferOffset;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                         WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset) {
    (void)IoTarget;
    (void)Request;
    (void)OutputBuffer;
    (void)OutputBufferOffset;
    (void)DeviceOffset;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          PLONGLONG DeviceOffset) {
    (void)IoTarget;
    (void)Request;
    (void)InputBuffer;
    (void)InputBufferOffset;
    (void)DeviceOffset;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer) {
    (void)Attributes;
    (void)PoolType;
    (void)PoolTag;
    (void)BufferSize;
    (void)Memory;
    (void)Buffer;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     size_t BufferSize, WDFMEMORY* Memory) {
    (void)Attributes;
    (void)Buffer;
    (void)BufferSize;
    (void)Memory;
    return STATUS_NOT_IMPLEMENTED;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    (void)Memory;
    (void)BufferSize;
    return nullptr;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                               size_t NumBytesToCopyTo) {
    (void)SourceMemory;
    (void)SourceOffset;
    (void)Buffer;
    (void)NumBytesToCopyTo;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                 PVOID Buffer, size_t NumBytesToCopyFrom) {
    (void)DestinationMemory;
    (void)DestinationOffset;
    (void)Buffer;
    (void)NumBytesToCopyFrom;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfObjectDelete(WDFOBJECT Object) {
    (void)Object;
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context) {
    (void)Handle;
    (void)ContextAttributes;
    (void)Context;
    return STATUS_NOT_IMPLEMENTED;
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer) {
    (void)ContextPointer;
    return nullptr;
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
    (void)Attributes;
    (void)Object;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File) {
    (void)Handle;
    (void)Tag;
    (void)Line;
    (void)File;
}

void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File) {
    (void)Handle;
    (void)Tag;
    (void)Line;
    (void)File;
}

NTSTATUS WdfObjectAddCustomTypeWithDataWorker(WDFOBJECT Handle,
                                              PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo,
                                              ULONG_PTR Data,
                                              PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback,
                                              PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback) {
    (void)Handle;
    (void)TypeInfo;
    (void)Data;
    (void)EvtCleanupCallback;
    (void)EvtDestroyCallback;
    return STATUS_NOT_IMPLEMENTED;
}

BOOLEAN WdfObjectIsCustomTypeWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    (void)Handle;
    (void)TypeInfo;
    return FALSE;
}

ULONG_PTR WdfObjectGetCustomTypeDataWorker(WDFOBJECT Handle,
                                           PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    (void)Handle;
    (void)TypeInfo;
    return 0;
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    (void)Device;
    (void)Config;
    (void)QueueAttributes;
    (void)Queue;
    return STATUS_NOT_IMPLEMENTED;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    (void)Queue;
    return nullptr;
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                       PVOID* Buffer, size_t* Length) {
    (void)Request;
    (void)MinimumRequiredLength;
    (void)Buffer;
    (void)Length;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                        PVOID* Buffer, size_t* Length) {
    (void)Request;
    (void)MinimumRequiredSize;
    (void)Buffer;
    (void)Length;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    (void)Request;
    (void)Memory;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    (void)Request;
    (void)Memory;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    (void)Request;
    (void)Status;
}

void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    (void)Request;
    (void)Status;
    (void)Information;
}

void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    (void)Request;
    (void)Information;
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    (void)Request;
    return 0;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    (void)Request;
    return STATUS_NOT_IMPLEMENTED;
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    (void)Request;
    return nullptr;
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
    (void)Request;
    return 0;
}

void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    (void)Request;
    (void)Parameters;
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
    (void)Request;
    return nullptr;
}

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    (void)LockAttributes;
    (void)Lock;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
    (void)Lock;
    (void)Timeout;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfWaitLockRelease(WDFWAITLOCK Lock) {
    (void)Lock;
}

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    (void)SpinLockAttributes;
    (void)SpinLock;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    (void)SpinLock;
}

void WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    (void)SpinLock;
}

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                        WDFTIMER* Timer) {
    (void)Config;
    (void)Attributes;
    (void)Timer;
    return STATUS_NOT_IMPLEMENTED;
}

BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime) {
    (void)Timer;
    (void)DueTime;
    return FALSE;
}

BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait) {
    (void)Timer;
    (void)Wait;
    return FALSE;
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer) {
    (void)Timer;
    return nullptr;
}

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem) {
    (void)Config;
    (void)Attributes;
    (void)WorkItem;
    return STATUS_NOT_IMPLEMENTED;
}

void WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    (void)WorkItem;
}

void WdfWorkItemFlush(WDFWORKITEM WorkItem) {
    (void)WorkItem;
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    (void)WorkItem;
    return nullptr;
}

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    (void)Handle;
    (void)TypeInfo;
    return nullptr;
}
