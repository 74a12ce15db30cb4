// The SocPartition module. Each call builds its own request and reply in
// buffers of its own, so calls from several threads never meet; a run-time
// reference on the child keeps the target from closing during a send. What
// the service answers is trusted only as far as the buffers reach: nothing is
// copied beyond the caller's capacity or the reply.
#include "dmf/modules/Dmf_SocPartition.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/modules/Dmf_DeviceInterfaceTarget.h"
#include "dmf/modules/Dmf_RequestTarget.h"
#include "platform/trace.h"

#include <algorithm>
#include <cstring>

namespace {

struct DMF_CONTEXT_SocPartition {
    DMFMODULE DmfModuleDeviceInterfaceTarget;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(SocPartition)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_SocPartition)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_SocPartition)

constexpr GUID kPartitionServiceInterface = {
    0x5F797E8F, 0xE6A4, 0x41F0, {0xB5, 0xA8, 0x56, 0x0A, 0x4D, 0x0B, 0xBC, 0x20}};
// 'SOCm' in memory order.
constexpr ULONG kSocPartitionPoolTag = 0x6D434F53u;
constexpr ULONG kListDirectoryIoctl = 0xECAF32CEu;
constexpr ULONG kReadFileIoctl = 0xECAF32C2u;
constexpr ULONG kSendTimeoutMs = 5000;
constexpr ULONG kListRequestField = 10;
constexpr WCHAR kListedFolder[] = u"TSRL";

// What the service receives.
struct SocPartition_Request {
    SocPartition_PartitionInfo PartitionInfo;
    BYTE Name[96]; // the file to read, or the folder to list without terminator
    BYTE Reserved[100];
    ULONG RequestField; // 10 list, 0 read
    BYTE Reserved2[8];
};
static_assert(sizeof(SocPartition_Request) == 296);
static_assert(offsetof(SocPartition_Request, Name) == 88);
static_assert(offsetof(SocPartition_Request, RequestField) == 284);

// What the service answers, ahead of the payload.
struct SocPartition_ReplyHeader {
    BYTE Unused[8];
    ULONG RequiredSize; // when the caller's buffer is too small
    BYTE Unused2[4];
    ULONG PayloadLength; // on success
};
static_assert(sizeof(SocPartition_ReplyHeader) == 20);
constexpr size_t kReplyFixedSize = 296;

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_SocPartition_TypeInfo(), FALSE);
}

// A zero-filled buffer of the module's own, deleted by the caller.
NTSTATUS CreateBuffer(DMFMODULE DmfModule, size_t Size, WDFMEMORY* Memory, BYTE** Buffer) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    PVOID buffer = nullptr;
    NTSTATUS ntStatus =
        WdfMemoryCreate(&attributes, NonPagedPoolNx, kSocPartitionPoolTag, Size, Memory, &buffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        *Memory = nullptr;
        return ntStatus;
    }
    std::memset(buffer, 0, Size);
    *Buffer = static_cast<BYTE*>(buffer);
    return ntStatus;
}

NTSTATUS SocPartition_SendSynchronously(DMFMODULE DmfModule, PVOID RequestBuffer,
                                        size_t RequestLength, PVOID ReplyBuffer, size_t ReplyLength,
                                        ULONG IoctlCode, size_t* BytesWritten) {
    FuncEntry(DMF_TRACE);
    DMFMODULE child = DMF_CONTEXT_GET(DmfModule)->DmfModuleDeviceInterfaceTarget;
    NTSTATUS ntStatus = DMF_ModuleReference(child);
    if (!NT_SUCCESS(ntStatus)) {
        // The child is open only while the service's interface is there.
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No target on the partition service: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_DEVICE_NOT_READY));
        return STATUS_DEVICE_NOT_READY;
    }
    ntStatus = DMF_DeviceInterfaceTarget_SendSynchronously(
        child, RequestBuffer, RequestLength, ReplyBuffer, ReplyLength,
        RequestTarget_RequestType_Ioctl, IoctlCode, kSendTimeoutMs, BytesWritten);
    DMF_ModuleDereference(child);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

// Sends `Request` with a reply of 296 bytes plus the caller's capacity and
// hands the payload, or the size the service needs, back to the caller.
NTSTATUS Exchange(DMFMODULE DmfModule, ULONG IoctlCode, const SocPartition_Request& Request,
                  PVOID Buffer, ULONG* Size) {
    const ULONG capacity = *Size;
    // The reply's length reaches the service as a 32-bit count: a capacity
    // that leaves no room for the reply's own 296 bytes would wrap into a
    // small buffer.
    if (capacity > ULONG(~0u) - kReplyFixedSize || (Buffer == nullptr && capacity != 0)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Unusable buffer of %u bytes", capacity);
        return STATUS_INVALID_PARAMETER;
    }
    const size_t replyLength = kReplyFixedSize + capacity;

    WDFMEMORY requestMemory = nullptr;
    WDFMEMORY replyMemory = nullptr;
    BYTE* request = nullptr;
    BYTE* reply = nullptr;
    NTSTATUS ntStatus = CreateBuffer(DmfModule, sizeof(Request), &requestMemory, &request);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = CreateBuffer(DmfModule, replyLength, &replyMemory, &reply);
    }
    if (NT_SUCCESS(ntStatus)) {
        std::memcpy(request, &Request, sizeof(Request));
        size_t bytesWritten = 0;
        ntStatus = SocPartition_SendSynchronously(DmfModule, request, sizeof(Request), reply,
                                                  replyLength, IoctlCode, &bytesWritten);
        SocPartition_ReplyHeader header;
        std::memcpy(&header, reply, sizeof(header));
        if (NT_SUCCESS(ntStatus)) {
            // The capacity always lies within the reply after its header.
            const ULONG copied = std::min(header.PayloadLength, capacity);
            if (copied > 0) {
                std::memcpy(Buffer, reply + sizeof(header), copied);
            }
            *Size = header.PayloadLength;
            // A payload longer than the buffer arrived cut short: the caller
            // learns the size it needs, as when the service says so itself.
            if (header.PayloadLength > capacity) {
                TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE,
                            "Payload of %u bytes for a buffer of %u bytes", header.PayloadLength,
                            capacity);
                ntStatus = STATUS_BUFFER_TOO_SMALL;
            }
        } else if (ntStatus == STATUS_BUFFER_TOO_SMALL ||
                   (ntStatus == STATUS_BUFFER_OVERFLOW && IoctlCode == kReadFileIoctl)) {
            *Size = header.RequiredSize;
        }
    }
    if (replyMemory != nullptr) {
        WdfObjectDelete(replyMemory);
    }
    if (requestMemory != nullptr) {
        WdfObjectDelete(requestMemory);
    }
    return ntStatus;
}

SocPartition_Request NewRequest(const SocPartition_PartitionInfo& PartitionInfo) {
    SocPartition_Request request{};
    request.PartitionInfo = PartitionInfo;
    return request;
}

// The child's events, passed on to the client under the parent's handle.

void SocPartition_ChildPostOpen(DMFMODULE ChildModule) {
    DMFMODULE dmfModule = DMF_ParentModuleGet(ChildModule);
    DMF_CONFIG_SocPartition* moduleConfig = DMF_CONFIG_GET(dmfModule);
    if (moduleConfig->EvtChildOpened != nullptr) {
        moduleConfig->EvtChildOpened(dmfModule);
    }
    if (moduleConfig->EvtTargetAvailable == nullptr) {
        return;
    }
    WDFIOTARGET target = nullptr;
    DMF_DeviceInterfaceTarget_Get(ChildModule, &target);
    if (target == nullptr) {
        return;
    }
    NTSTATUS ntStatus = DMF_ModuleReference(ChildModule);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMF_ModuleReference fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        return;
    }
    moduleConfig->EvtTargetAvailable(dmfModule, target);
    DMF_ModuleDereference(ChildModule);
}

void SocPartition_ChildPreClose(DMFMODULE ChildModule) {
    DMFMODULE dmfModule = DMF_ParentModuleGet(ChildModule);
    DMF_CONFIG_SocPartition* moduleConfig = DMF_CONFIG_GET(dmfModule);
    if (moduleConfig->EvtChildClosing != nullptr) {
        moduleConfig->EvtChildClosing(dmfModule);
    }
}

NTSTATUS SocPartition_ChildStateChange(DMFMODULE ChildModule, ULONG IoTargetState) {
    DMFMODULE dmfModule = DMF_ParentModuleGet(ChildModule);
    DMF_CONFIG_SocPartition* moduleConfig = DMF_CONFIG_GET(dmfModule);
    if (moduleConfig->EvtTargetStateChanged == nullptr) {
        return STATUS_SUCCESS;
    }
    return moduleConfig->EvtTargetStateChanged(dmfModule, IoTargetState);
}

void SocPartition_ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*,
                                  PDMFMODULE_INIT DmfModuleInit) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_SocPartition* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_DeviceInterfaceTarget targetConfig;
    DMF_MODULE_ATTRIBUTES moduleAttributes;
    DMF_CONFIG_DeviceInterfaceTarget_AND_ATTRIBUTES_INIT(&targetConfig, &moduleAttributes);
    targetConfig.DeviceInterfaceTargetGuid = kPartitionServiceInterface;
    // No continuous requests: single requests through a RequestTarget.
    targetConfig.EvtStateChangeEx = SocPartition_ChildStateChange;
    // The whole subtree waits at passive level: sends are synchronous.
    moduleAttributes.PassiveLevel = TRUE;
    DMF_MODULE_EVENT_CALLBACKS eventCallbacks{SocPartition_ChildPostOpen,
                                              SocPartition_ChildPreClose};
    moduleAttributes.ModuleEventCallbacks = &eventCallbacks;
    DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &moduleContext->DmfModuleDeviceInterfaceTarget);
    FuncExitVoid(DMF_TRACE);
}

NTSTATUS SocPartition_Open(DMFMODULE DmfModule) {
    return DMF_CONTEXT_GET(DmfModule) != nullptr ? STATUS_SUCCESS : STATUS_CONTEXT_MISMATCH;
}

void SocPartition_Close(DMFMODULE) {}

NTSTATUS SocPartition_D0Entry(DMFMODULE, WDF_POWER_DEVICE_STATE) {
    return STATUS_SUCCESS;
}

NTSTATUS SocPartition_D0Exit(DMFMODULE, WDF_POWER_DEVICE_STATE) {
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DMF_SocPartition_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                 WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = SocPartition_Open;
    callbacksDmf.DeviceClose = SocPartition_Close;
    callbacksDmf.ChildModulesAdd = SocPartition_ChildModulesAdd;
    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
    callbacksWdf.D0Entry = SocPartition_D0Entry;
    callbacksWdf.D0Exit = SocPartition_D0Exit;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, SocPartition, DMF_MODULE_OPTIONS_PASSIVE,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_SocPartition);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_SocPartition);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_SocPartition_TSFS_ListDirectoryFiles(DMFMODULE DmfModule,
                                                  SocPartition_PartitionInfo* PartitionInfo,
                                                  PVOID /*Unused*/, PVOID Buffer, ULONG* Size) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    if (Size == nullptr || PartitionInfo == nullptr) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_INVALID_PARAMETER));
        return STATUS_INVALID_PARAMETER;
    }
    SocPartition_Request request = NewRequest(*PartitionInfo);
    // The folder's characters only: the service reads the field up to its end.
    std::memcpy(request.Name, kListedFolder, (std::size(kListedFolder) - 1) * sizeof(WCHAR));
    request.RequestField = kListRequestField;
    NTSTATUS ntStatus = Exchange(DmfModule, kListDirectoryIoctl, request, Buffer, Size);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X size=%u", static_cast<unsigned>(ntStatus), *Size);
    return ntStatus;
}

NTSTATUS DMF_SocPartition_TSFS_ReadFile(DMFMODULE DmfModule,
                                        SocPartition_PartitionInfo* PartitionInfo,
                                        SocPartition_FileName* FileName, PVOID Buffer,
                                        ULONG* Size) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    if (Size == nullptr || PartitionInfo == nullptr || FileName == nullptr ||
        FileName->Name[0] == 0) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_INVALID_PARAMETER));
        return STATUS_INVALID_PARAMETER;
    }
    SocPartition_Request request = NewRequest(*PartitionInfo);
    static_assert(sizeof(request.Name) == sizeof(*FileName));
    std::memcpy(request.Name, FileName, sizeof(*FileName));
    NTSTATUS ntStatus = Exchange(DmfModule, kReadFileIoctl, request, Buffer, Size);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X size=%u", static_cast<unsigned>(ntStatus), *Size);
    return ntStatus;
}
