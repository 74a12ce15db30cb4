// The QueuedWorkItem module: a BufferQueue of parameter blocks and a
// ScheduledTask that runs only on request. Each queue buffer starts with a
// 16-byte item header, then the block.
#include "dmf/modules/Dmf_QueuedWorkItem.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/modules/Dmf_ScheduledTask.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstring>

namespace {

struct QUEUEDWORKITEM_HEADER {
    HANDLE Event; // set once the callback has run, when given
    PVOID Reserved;
};
static_assert(sizeof(QUEUEDWORKITEM_HEADER) == 16);

struct DMF_CONTEXT_QueuedWorkItem {
    DMFMODULE DmfModuleScheduledTask;
    DMFMODULE DmfModuleBufferQueue;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(QueuedWorkItem)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_QueuedWorkItem)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_QueuedWorkItem)

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_QueuedWorkItem_TypeInfo(), FALSE);
}

// Runs on the ScheduledTask's work item: one queued block per call.
ULONG QueuedWorkItem_Work(DMFMODULE, PVOID CallbackContext, WDF_POWER_DEVICE_STATE) {
    auto dmfModule = static_cast<DMFMODULE>(CallbackContext);
    DMF_CONTEXT_QueuedWorkItem* context = DMF_CONTEXT_GET(dmfModule);
    DMF_CONFIG_QueuedWorkItem* config = DMF_CONFIG_GET(dmfModule);
    PVOID buffer = nullptr;
    PVOID bufferContext = nullptr;
    if (!NT_SUCCESS(
            DMF_BufferQueue_Dequeue(context->DmfModuleBufferQueue, &buffer, &bufferContext))) {
        return ScheduledTask_WorkResult_DoneForNow;
    }
    auto* header = static_cast<QUEUEDWORKITEM_HEADER*>(buffer);
    const ULONG result = config->EvtQueuedWorkitemFunction(
        dmfModule, static_cast<UCHAR*>(buffer) + sizeof(QUEUEDWORKITEM_HEADER), bufferContext);
    if (header->Event != nullptr) {
        SetEvent(header->Event);
    }
    DMF_BufferQueue_Reuse(context->DmfModuleBufferQueue, buffer);
    return result == QueuedWorkItem_Result_TryAgain ? ScheduledTask_WorkResult_DoneForNow
                                                    : ScheduledTask_WorkResult_Done;
}

// Takes the block of an enqueue whose run request failed out of the queue.
// The enqueue held the module lock from queueing the block to the failure:
// no other block came in behind it, and the request found no run pending, so
// no run is under way to take it. It is the last block of the queue; the
// ones before it go in again behind it, in their order. FALSE only when a
// flush took it.
bool BlockTakeOut(DMFMODULE BufferQueue, PVOID Block) {
    PVOID firstOther = nullptr;
    PVOID buffer = nullptr;
    while (NT_SUCCESS(DMF_BufferQueue_Dequeue(BufferQueue, &buffer, nullptr))) {
        if (buffer == Block) {
            return true;
        }
        DMF_BufferQueue_Enqueue(BufferQueue, buffer);
        if (buffer == firstOther) {
            return false; // round the whole queue
        }
        if (firstOther == nullptr) {
            firstOther = buffer;
        }
    }
    return false;
}

void QueuedWorkItem_ChildModulesAdd(DMFMODULE DmfModule,
                                    DMF_MODULE_ATTRIBUTES* DmfParentModuleAttributes,
                                    PDMFMODULE_INIT DmfModuleInit) {
    DMF_CONTEXT_QueuedWorkItem* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_QueuedWorkItem* config = DMF_CONFIG_GET(DmfModule);

    // Room for the item header; the enqueue checks the block size against
    // this same stored configuration.
    config->BufferQueueConfig.BufferSize += sizeof(QUEUEDWORKITEM_HEADER);
    DMF_CONFIG_BufferQueue queueConfig;
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_CONFIG_BufferQueue_AND_ATTRIBUTES_INIT(&queueConfig, &attributes);
    queueConfig = config->BufferQueueConfig;
    attributes.PassiveLevel = DmfParentModuleAttributes->PassiveLevel;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleBufferQueue);

    DMF_CONFIG_ScheduledTask taskConfig;
    DMF_CONFIG_ScheduledTask_AND_ATTRIBUTES_INIT(&taskConfig, &attributes);
    taskConfig.EvtScheduledTaskCallback = QueuedWorkItem_Work;
    taskConfig.CallbackContext = DmfModule;
    taskConfig.PersistenceType = ScheduledTask_Persistence_None;
    taskConfig.ExecutionMode = ScheduledTask_ExecutionMode_Deferred;
    taskConfig.ExecuteWhen = ScheduledTask_ExecuteWhen_Other;
    attributes.PassiveLevel = DmfParentModuleAttributes->PassiveLevel;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleScheduledTask);
}

} // namespace

NTSTATUS DMF_QueuedWorkItem_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                   WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.ChildModulesAdd = QueuedWorkItem_ChildModulesAdd;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, QueuedWorkItem, DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_QueuedWorkItem);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_QueuedWorkItem);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_QueuedWorkItem_Enqueue(DMFMODULE DmfModule, PVOID ParameterBlock) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_QueuedWorkItem* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_QueuedWorkItem* config = DMF_CONFIG_GET(DmfModule);
    PVOID buffer = nullptr;
    PVOID bufferContext = nullptr;
    NTSTATUS ntStatus =
        DMF_BufferQueue_Fetch(context->DmfModuleBufferQueue, &buffer, &bufferContext);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No queue buffer: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    std::memset(buffer, 0, sizeof(QUEUEDWORKITEM_HEADER));
    if (config->BufferQueueConfig.BufferSize - sizeof(QUEUEDWORKITEM_HEADER) <
        QueuedWorkItem_ParameterBlockSize) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Parameter blocks of %u bytes are too small",
                    static_cast<unsigned>(config->BufferQueueConfig.BufferSize -
                                          sizeof(QUEUEDWORKITEM_HEADER)));
        // The buffer goes back: keeping it would drain the queue one refusal at a time.
        DMF_BufferQueue_Reuse(context->DmfModuleBufferQueue, buffer);
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_BUFFER_TOO_SMALL));
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(static_cast<UCHAR*>(buffer) + sizeof(QUEUEDWORKITEM_HEADER), ParameterBlock,
                QueuedWorkItem_ParameterBlockSize);
    // Runs take blocks in the order they were queued, not each its own: if
    // another enqueue could queue its block and ask for a run between these
    // two steps, that run could take this block, and a failure of this
    // request could no longer tell which block to take back.
    bool takenOut = false;
    DMF_ModuleLock(DmfModule);
    DMF_BufferQueue_Enqueue(context->DmfModuleBufferQueue, buffer);
    ntStatus = DMF_ScheduledTask_ExecuteNowDeferred(context->DmfModuleScheduledTask, DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        // Told of the failure, the caller does the work itself: a run that
        // found the block later would do it a second time.
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No run for the block: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        takenOut = BlockTakeOut(context->DmfModuleBufferQueue, buffer);
    }
    DMF_ModuleUnlock(DmfModule);
    // The client's reuse callback runs without the lock, free to enqueue.
    if (takenOut) {
        DMF_BufferQueue_Reuse(context->DmfModuleBufferQueue, buffer);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
