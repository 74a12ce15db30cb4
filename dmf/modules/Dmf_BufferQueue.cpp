// The BufferQueue module. The pools lock themselves; the queue adds no lock
// of its own.
#include "dmf/modules/Dmf_BufferQueue.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/modules/Dmf_BufferPool.h"
#include "platform/trace.h"

namespace {

struct DMF_CONTEXT_BufferQueue {
    DMFMODULE DmfModuleProducer;
    DMFMODULE DmfModuleConsumer;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(BufferQueue)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_BufferQueue)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_BufferQueue)

// Room the producer keeps after each client context.
constexpr ULONG kProducerContextReserve = 8;

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_BufferQueue_TypeInfo(), FALSE);
}

void BufferQueue_ChildModulesAdd(DMFMODULE DmfModule,
                                 DMF_MODULE_ATTRIBUTES* DmfParentModuleAttributes,
                                 PDMFMODULE_INIT DmfModuleInit) {
    DMF_CONTEXT_BufferQueue* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BufferQueue* config = DMF_CONFIG_GET(DmfModule);

    DMF_CONFIG_BufferPool poolConfig;
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_CONFIG_BufferPool_AND_ATTRIBUTES_INIT(&poolConfig, &attributes);
    poolConfig.BufferPoolMode = BufferPool_Mode_Source;
    poolConfig.BufferCount = config->SourceBufferCount;
    poolConfig.BufferSize = config->BufferSize;
    poolConfig.BufferContextSize = config->BufferContextSize + kProducerContextReserve;
    poolConfig.EnableLookAside = config->EnableLookAside;
    poolConfig.CreateWithTimer = config->CreateWithTimer;
    poolConfig.PoolType = config->PoolType;
    attributes.ClientModuleInstanceName = "BufferPoolProducer";
    attributes.PassiveLevel = DmfParentModuleAttributes->PassiveLevel;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleProducer);

    DMF_CONFIG_BufferPool_AND_ATTRIBUTES_INIT(&poolConfig, &attributes);
    poolConfig.BufferPoolMode = BufferPool_Mode_Sink;
    poolConfig.PoolType = NonPagedPoolNx;
    attributes.ClientModuleInstanceName = "BufferPoolConsumer";
    attributes.PassiveLevel = DmfParentModuleAttributes->PassiveLevel;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleConsumer);
}

// What was queued and not consumed goes back to the producer with the queue.
void BufferQueue_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_BufferQueue_Flush(DmfModule);
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_BufferQueue_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceClose = BufferQueue_Close;
    callbacksDmf.ChildModulesAdd = BufferQueue_ChildModulesAdd;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, BufferQueue, DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_BufferQueue);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_BufferQueue);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_BufferQueue_Fetch(DMFMODULE DmfModule, PVOID* ClientBuffer,
                               PVOID* ClientBufferContext) {
    ValidateHandle(DmfModule);
    return DMF_BufferPool_Get(DMF_CONTEXT_GET(DmfModule)->DmfModuleProducer, ClientBuffer,
                              ClientBufferContext);
}

void DMF_BufferQueue_Enqueue(DMFMODULE DmfModule, PVOID ClientBuffer) {
    ValidateHandle(DmfModule);
    DMF_BufferPool_Put(DMF_CONTEXT_GET(DmfModule)->DmfModuleConsumer, ClientBuffer);
}

NTSTATUS DMF_BufferQueue_Dequeue(DMFMODULE DmfModule, PVOID* ClientBuffer,
                                 PVOID* ClientBufferContext) {
    ValidateHandle(DmfModule);
    return DMF_BufferPool_Get(DMF_CONTEXT_GET(DmfModule)->DmfModuleConsumer, ClientBuffer,
                              ClientBufferContext);
}

void DMF_BufferQueue_Reuse(DMFMODULE DmfModule, PVOID ClientBuffer) {
    ValidateHandle(DmfModule);
    DMF_CONTEXT_BufferQueue* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BufferQueue* config = DMF_CONFIG_GET(DmfModule);
    if (config->EvtBufferQueueReuse != nullptr) {
        PVOID clientBufferContext = nullptr;
        DMF_BufferPool_ContextGet(context->DmfModuleConsumer, ClientBuffer, &clientBufferContext);
        config->EvtBufferQueueReuse(DmfModule, ClientBuffer, clientBufferContext);
    }
    DMF_BufferPool_Put(context->DmfModuleProducer, ClientBuffer);
}

void DMF_BufferQueue_Flush(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_BufferQueue* context = DMF_CONTEXT_GET(DmfModule);
    PVOID clientBuffer = nullptr;
    while (NT_SUCCESS(DMF_BufferPool_Get(context->DmfModuleConsumer, &clientBuffer, nullptr))) {
        DMF_BufferQueue_Reuse(DmfModule, clientBuffer);
    }
    FuncExitVoid(DMF_TRACE);
}
