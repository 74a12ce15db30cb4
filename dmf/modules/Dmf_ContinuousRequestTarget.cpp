// The ContinuousRequestTarget module. A streaming request holds its input and
// output buffers from its sending until its completion, and every buffer goes
// back to its pool at the completion whatever the client or a stop decides.
#include "dmf/modules/Dmf_ContinuousRequestTarget.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/framework/DmfUtility.h"
#include "dmf/modules/Dmf_BufferPool.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <vector>

namespace {

struct DMF_CONTEXT_ContinuousRequestTarget {
    DMFMODULE DmfModuleBufferPoolInput;
    DMFMODULE DmfModuleBufferPoolOutput;
    DMFMODULE DmfModuleBufferPoolContext;
    DMFMODULE DmfModuleQueuedWorkitemStream;
    DMFMODULE DmfModuleQueuedWorkitemSingle;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutineStream;
    WDFIOTARGET IoTarget;
    WDFCOLLECTION PendingAsynchronousRequests;
    WDFCOLLECTION CreatedReuseRequests;
    LONG Stopping;
    LONG StreamingRequestsPending; // in the framework: sent and not yet completed
    ULONG NumberOfStreamingRequests;
    WDFCOLLECTION CreatedStreamRequestsCollection;
    WDFCOLLECTION TransientStreamRequestsCollection; // in flight
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(ContinuousRequestTarget)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_ContinuousRequestTarget)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_ContinuousRequestTarget)

// The buffers a streaming request holds while it is out.
struct ContinuousRequestTarget_StreamBuffers {
    PVOID InputBuffer;
    PVOID OutputBuffer;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ContinuousRequestTarget_StreamBuffers, StreamBuffersGet)

// What a passive-level streaming completion hands its work item.
struct ContinuousRequestTarget_QueuedStream {
    WDFREQUEST Request;
    DMFMODULE DmfModule;
    BYTE Unused[80];
};
static_assert(sizeof(ContinuousRequestTarget_QueuedStream) == 96);

// How often a stop cancels what is still in flight.
constexpr ULONG kStopPollMs = 50;
constexpr ULONG kPagedPoolBit = 0x1;
constexpr ULONG kContextBufferCount = 8;
constexpr ULONG kContextBufferSize = 32;

int gStopReferenceTag;

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_ContinuousRequestTarget_TypeInfo(), FALSE);
}

RequestTarget_SingleRequests SingleRequestsOf(DMFMODULE DmfModule) {
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    return {DmfModule,
            moduleContext->DmfModuleBufferPoolContext,
            moduleContext->DmfModuleQueuedWorkitemSingle,
            &moduleContext->IoTarget,
            &moduleContext->PendingAsynchronousRequests,
            &moduleContext->CreatedReuseRequests,
            SingleRequestsOf};
}

bool IsStopping(DMF_CONTEXT_ContinuousRequestTarget* ModuleContext) {
    return InterlockedCompareExchange(&ModuleContext->Stopping, 0, 0) != 0;
}

WDFIOTARGET CurrentTarget(DMFMODULE DmfModule) {
    return RequestTarget_IoTargetGet(SingleRequestsOf(DmfModule));
}

// Gives a streaming request's buffers back to their pools.
void StreamBuffersPut(DMF_CONTEXT_ContinuousRequestTarget* ModuleContext, WDFREQUEST Request) {
    ContinuousRequestTarget_StreamBuffers* buffers = StreamBuffersGet(Request);
    if (buffers->InputBuffer != nullptr) {
        DMF_BufferPool_Put(ModuleContext->DmfModuleBufferPoolInput, buffers->InputBuffer);
    }
    if (buffers->OutputBuffer != nullptr) {
        DMF_BufferPool_Put(ModuleContext->DmfModuleBufferPoolOutput, buffers->OutputBuffer);
    }
    *buffers = {};
}

NTSTATUS StreamRequestFormat(DMFMODULE DmfModule, WDFIOTARGET IoTarget, WDFREQUEST Request) {
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_ContinuousRequestTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    ContinuousRequestTarget_StreamBuffers* buffers = StreamBuffersGet(Request);
    WDFMEMORY inputMemory = nullptr;
    WDFMEMORY_OFFSET inputOffset{};
    WDFMEMORY outputMemory = nullptr;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    if (moduleConfig->BufferInputSize > 0) {
        PVOID inputContext = nullptr;
        ntStatus = DMF_BufferPool_GetWithMemory(moduleContext->DmfModuleBufferPoolInput,
                                                &buffers->InputBuffer, &inputContext, &inputMemory);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No input buffer: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            buffers->InputBuffer = nullptr;
            return ntStatus;
        }
        size_t inputSize = moduleConfig->BufferInputSize;
        if (moduleConfig->EvtContinuousRequestTargetBufferInput != nullptr) {
            moduleConfig->EvtContinuousRequestTargetBufferInput(DmfModule, buffers->InputBuffer,
                                                                &inputSize, inputContext);
        } else {
            inputSize = 0;
        }
        inputOffset.BufferLength = inputSize;
        if (inputSize == 0) {
            inputMemory = nullptr; // an empty input: no input buffer at all
        }
    }
    if (moduleConfig->BufferOutputSize > 0) {
        ntStatus = DMF_BufferPool_GetWithMemory(moduleContext->DmfModuleBufferPoolOutput,
                                                &buffers->OutputBuffer, nullptr, &outputMemory);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No output buffer: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            buffers->OutputBuffer = nullptr;
            return ntStatus;
        }
    }
    switch (moduleConfig->RequestType) {
    case RequestTarget_RequestType_Ioctl:
        ntStatus = WdfIoTargetFormatRequestForIoctl(
            IoTarget, Request, moduleConfig->ContinuousRequestTargetIoctl, inputMemory,
            inputMemory != nullptr ? &inputOffset : nullptr, outputMemory, nullptr);
        break;
    case RequestTarget_RequestType_Read:
        ntStatus =
            WdfIoTargetFormatRequestForRead(IoTarget, Request, outputMemory, nullptr, nullptr);
        break;
    case RequestTarget_RequestType_Write:
        ntStatus = WdfIoTargetFormatRequestForWrite(IoTarget, Request, inputMemory,
                                                    inputMemory != nullptr ? &inputOffset : nullptr,
                                                    nullptr);
        break;
    default:
        ntStatus = STATUS_INVALID_PARAMETER;
        break;
    }
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "Formatting a streaming request fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    }
    return ntStatus;
}

// Sends a streaming request, counted as pending until its completion has run.
NTSTATUS StreamRequestSend(DMFMODULE DmfModule, WDFREQUEST Request) {
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    NTSTATUS ntStatus = DMF_ModuleReference(DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    InterlockedIncrement(&moduleContext->StreamingRequestsPending);
    WDFIOTARGET ioTarget = CurrentTarget(DmfModule);
    WDF_REQUEST_REUSE_PARAMS reuseParams;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuseParams, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    ntStatus = WdfRequestReuse(Request, &reuseParams);
    if (NT_SUCCESS(ntStatus) && ioTarget == nullptr) {
        ntStatus = STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = StreamRequestFormat(DmfModule, ioTarget, Request);
    }
    if (NT_SUCCESS(ntStatus)) {
        WdfRequestSetCompletionRoutine(Request, moduleContext->CompletionRoutineStream, DmfModule);
        if (!WdfRequestSend(Request, ioTarget, WDF_NO_SEND_OPTIONS)) {
            ntStatus = WdfRequestGetStatus(Request);
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRequestSend fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        StreamBuffersPut(moduleContext, Request);
        InterlockedDecrement(&moduleContext->StreamingRequestsPending);
    }
    DMF_ModuleDereference(DmfModule);
    return ntStatus;
}

void StreamCompletion(DMFMODULE DmfModule, WDFREQUEST Request) {
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_ContinuousRequestTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    const NTSTATUS ntStatus = WdfRequestGetStatus(Request);
    const size_t outputBytes = WdfRequestGetInformation(Request);
    ContinuousRequestTarget_StreamBuffers* buffers = StreamBuffersGet(Request);

    // A stopping stream hands the client nothing and sends nothing again.
    ULONG disposition = ContinuousRequestTarget_BufferDisposition_StopStreaming;
    if (!IsStopping(moduleContext)) {
        if (moduleConfig->EvtContinuousRequestTargetBufferOutput != nullptr) {
            PVOID outputContext = nullptr;
            if (buffers->OutputBuffer != nullptr) {
                DMF_BufferPool_ContextGet(moduleContext->DmfModuleBufferPoolOutput,
                                          buffers->OutputBuffer, &outputContext);
            }
            disposition = moduleConfig->EvtContinuousRequestTargetBufferOutput(
                DmfModule, buffers->OutputBuffer, outputBytes, outputContext, ntStatus);
        } else if (NT_SUCCESS(ntStatus)) {
            disposition = ContinuousRequestTarget_BufferDisposition_ContinueStreaming;
        }
    }
    StreamBuffersPut(moduleContext, Request);
    if (disposition != ContinuousRequestTarget_BufferDisposition_ContinueStreaming ||
        !NT_SUCCESS(StreamRequestSend(DmfModule, Request))) {
        RequestTarget_CollectionRemove(DmfModule, moduleContext->TransientStreamRequestsCollection,
                                       Request);
    }
    InterlockedDecrement(&moduleContext->StreamingRequestsPending);
}

void StreamCompletionRoutine(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS,
                             WDFCONTEXT Context) {
    StreamCompletion(static_cast<DMFMODULE>(Context), Request);
}

void StreamCompletionRoutinePassive(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS,
                                    WDFCONTEXT Context) {
    auto dmfModule = static_cast<DMFMODULE>(Context);
    ContinuousRequestTarget_QueuedStream queued{};
    queued.Request = Request;
    queued.DmfModule = dmfModule;
    NTSTATUS ntStatus = DMF_QueuedWorkItem_Enqueue(
        DMF_CONTEXT_GET(dmfModule)->DmfModuleQueuedWorkitemStream, &queued);
    if (!NT_SUCCESS(ntStatus)) {
        // Lost, the completion would keep the stream pending for ever.
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "DMF_QueuedWorkItem_Enqueue fails: ntStatus=0x%08X; completing here",
                    static_cast<unsigned>(ntStatus));
        StreamCompletion(dmfModule, Request);
    }
}

ULONG QueuedWorkitemStream(DMFMODULE, PVOID ClientBuffer, PVOID) {
    auto* queued = static_cast<ContinuousRequestTarget_QueuedStream*>(ClientBuffer);
    StreamCompletion(queued->DmfModule, queued->Request);
    return 1; // done
}

void StreamRequestsDelete(DMF_CONTEXT_ContinuousRequestTarget* ModuleContext) {
    if (ModuleContext->CreatedStreamRequestsCollection != nullptr) {
        WDFOBJECT request;
        while ((request = WdfCollectionGetFirstItem(
                    ModuleContext->CreatedStreamRequestsCollection)) != nullptr) {
            WdfCollectionRemoveItem(ModuleContext->CreatedStreamRequestsCollection, 0);
            WdfObjectDelete(request);
        }
        WdfObjectDelete(ModuleContext->CreatedStreamRequestsCollection);
        ModuleContext->CreatedStreamRequestsCollection = nullptr;
    }
    if (ModuleContext->TransientStreamRequestsCollection != nullptr) {
        WdfObjectDelete(ModuleContext->TransientStreamRequestsCollection);
        ModuleContext->TransientStreamRequestsCollection = nullptr;
    }
}

NTSTATUS ContinuousRequestTarget_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_ContinuousRequestTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    InterlockedExchange(&moduleContext->Stopping, 1);
    moduleContext->CompletionRoutineStream = DMF_ModuleIsPassiveLevel(DmfModule)
                                                 ? StreamCompletionRoutinePassive
                                                 : StreamCompletionRoutine;
    NTSTATUS ntStatus = RequestTarget_CollectionsCreate(SingleRequestsOf(DmfModule));
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    ntStatus =
        RequestTarget_CollectionCreate(DmfModule, &moduleContext->CreatedStreamRequestsCollection);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = RequestTarget_CollectionCreate(
            DmfModule, &moduleContext->TransientStreamRequestsCollection);
    }
    moduleContext->NumberOfStreamingRequests = moduleConfig->ContinuousRequestCount;
    for (ULONG index = 0; NT_SUCCESS(ntStatus) && index < moduleConfig->ContinuousRequestCount;
         ++index) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ContinuousRequestTarget_StreamBuffers);
        attributes.ParentObject = DMF_ParentDeviceGet(DmfModule);
        WDFREQUEST request = nullptr;
        ntStatus = WdfRequestCreate(&attributes, CurrentTarget(DmfModule), &request);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRequestCreate fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            break;
        }
        ntStatus = WdfCollectionAdd(moduleContext->CreatedStreamRequestsCollection, request);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionAdd fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            WdfObjectDelete(request);
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        StreamRequestsDelete(moduleContext);
        RequestTarget_CollectionsDelete(SingleRequestsOf(DmfModule));
    }
Exit:
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void ContinuousRequestTarget_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_ContinuousRequestTarget_Stop(DmfModule);
    StreamRequestsDelete(moduleContext);
    RequestTarget_CollectionsDelete(SingleRequestsOf(DmfModule));
    FuncExitVoid(DMF_TRACE);
}

NTSTATUS ContinuousRequestTarget_D0Entry(DMFMODULE DmfModule,
                                         WDF_POWER_DEVICE_STATE PreviousState) {
    FuncEntry(DMF_TRACE);
    DMF_CONFIG_ContinuousRequestTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    WDFIOTARGET ioTarget = CurrentTarget(DmfModule);
    NTSTATUS ntStatus = STATUS_SUCCESS;
    // The first D0 entry comes before there is a target to stream to. The
    // target starts first: streaming to a purged target would be refused.
    if (ioTarget != nullptr && PreviousState != WdfPowerDeviceD3Final) {
        if (moduleConfig->PurgeAndStartTargetInD0Callbacks) {
            ntStatus = WdfIoTargetStart(ioTarget);
            if (!NT_SUCCESS(ntStatus)) {
                TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfIoTargetStart fails: ntStatus=0x%08X",
                            static_cast<unsigned>(ntStatus));
            }
        }
        if (NT_SUCCESS(ntStatus) && moduleConfig->StartAndStopStreamingInD0Callbacks) {
            ntStatus = DMF_ContinuousRequestTarget_Start(DmfModule);
        }
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS ContinuousRequestTarget_D0Exit(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE) {
    FuncEntry(DMF_TRACE);
    DMF_CONFIG_ContinuousRequestTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    WDFIOTARGET ioTarget = CurrentTarget(DmfModule);
    if (ioTarget != nullptr) {
        if (moduleConfig->StartAndStopStreamingInD0Callbacks) {
            DMF_ContinuousRequestTarget_Stop(DmfModule);
        }
        if (moduleConfig->PurgeAndStartTargetInD0Callbacks) {
            WdfIoTargetPurge(ioTarget, WdfIoTargetPurgeIoAndWait);
        }
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_SUCCESS));
    return STATUS_SUCCESS;
}

void ContinuousRequestTarget_ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*,
                                             PDMFMODULE_INIT DmfModuleInit) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_ContinuousRequestTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    const BOOLEAN passiveLevel = DMF_ModuleIsPassiveLevel(DmfModule);
    if (moduleConfig->BufferInputSize > 0) {
        RequestTarget_BufferPoolAdd(
            DmfModuleInit, passiveLevel, "BufferPoolInput", moduleConfig->BufferCountInput,
            moduleConfig->BufferInputSize, moduleConfig->BufferContextInputSize,
            (moduleConfig->PoolTypeInput & kPagedPoolBit) != 0 ? TRUE : FALSE,
            moduleConfig->PoolTypeInput, &moduleContext->DmfModuleBufferPoolInput);
    }
    if (moduleConfig->BufferOutputSize > 0) {
        RequestTarget_BufferPoolAdd(
            DmfModuleInit, passiveLevel, "BufferPoolOutput", moduleConfig->BufferCountOutput,
            moduleConfig->BufferOutputSize, moduleConfig->BufferContextOutputSize,
            moduleConfig->EnableLookAsideOutput, moduleConfig->PoolTypeOutput,
            &moduleContext->DmfModuleBufferPoolOutput);
    }
    RequestTarget_BufferPoolAdd(DmfModuleInit, passiveLevel, "BufferPoolContext",
                                kContextBufferCount, kContextBufferSize, 0, TRUE, NonPagedPoolNx,
                                &moduleContext->DmfModuleBufferPoolContext);
    RequestTarget_QueuedWorkItemAdd(DmfModuleInit, passiveLevel,
                                    RequestTarget_QueuedWorkitemSingleRequest,
                                    &moduleContext->DmfModuleQueuedWorkitemSingle);
    if (passiveLevel) {
        RequestTarget_QueuedWorkItemAdd(DmfModuleInit, passiveLevel, QueuedWorkitemStream,
                                        &moduleContext->DmfModuleQueuedWorkitemStream);
    }
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_ContinuousRequestTarget_Create(WDFDEVICE Device,
                                            DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                            WDF_OBJECT_ATTRIBUTES* ObjectAttributes,
                                            DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = ContinuousRequestTarget_Open;
    callbacksDmf.DeviceClose = ContinuousRequestTarget_Close;
    callbacksDmf.ChildModulesAdd = ContinuousRequestTarget_ChildModulesAdd;
    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
    callbacksWdf.D0Entry = ContinuousRequestTarget_D0Entry;
    callbacksWdf.D0Exit = ContinuousRequestTarget_D0Exit;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, ContinuousRequestTarget,
                                    DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes,
                                      DMF_CONTEXT_ContinuousRequestTarget);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_ContinuousRequestTarget);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_ContinuousRequestTarget_Start(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    NTSTATUS ntStatus = DMF_ModuleReference(DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    InterlockedExchange(&moduleContext->Stopping, 0);
    const ULONG count = WdfCollectionGetCount(moduleContext->CreatedStreamRequestsCollection);
    for (ULONG index = 0; index < count; ++index) {
        auto request = static_cast<WDFREQUEST>(
            WdfCollectionGetItem(moduleContext->CreatedStreamRequestsCollection, index));
        // A request still in flight is not sent again: a stream started by
        // its parent when the target opened in D3 is started again at D0 entry.
        DMF_ModuleLock(DmfModule);
        ULONG position = 0;
        const bool inFlight = RequestTarget_CollectionFind(
            moduleContext->TransientStreamRequestsCollection, request, &position);
        if (!inFlight) {
            ntStatus = WdfCollectionAdd(moduleContext->TransientStreamRequestsCollection, request);
        }
        DMF_ModuleUnlock(DmfModule);
        if (inFlight) {
            continue;
        }
        if (NT_SUCCESS(ntStatus)) {
            ntStatus = StreamRequestSend(DmfModule, request);
            if (!NT_SUCCESS(ntStatus)) {
                RequestTarget_CollectionRemove(
                    DmfModule, moduleContext->TransientStreamRequestsCollection, request);
            }
        }
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Streaming request %u fails: ntStatus=0x%08X",
                        static_cast<unsigned>(index), static_cast<unsigned>(ntStatus));
            DMF_ContinuousRequestTarget_Stop(DmfModule);
            break;
        }
    }
    DMF_ModuleDereference(DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_ContinuousRequestTarget_Stop(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_ContinuousRequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    InterlockedExchange(&moduleContext->Stopping, 1);
    while (InterlockedCompareExchange(&moduleContext->StreamingRequestsPending, 0, 0) > 0) {
        // Held so that a completion cannot delete one between the look-up
        // and its cancellation.
        std::vector<WDFREQUEST> inFlight;
        DMF_ModuleLock(DmfModule);
        const ULONG count = WdfCollectionGetCount(moduleContext->TransientStreamRequestsCollection);
        for (ULONG index = 0; index < count; ++index) {
            auto request = static_cast<WDFREQUEST>(
                WdfCollectionGetItem(moduleContext->TransientStreamRequestsCollection, index));
            WdfObjectReferenceWithTag(request, &gStopReferenceTag);
            inFlight.push_back(request);
        }
        DMF_ModuleUnlock(DmfModule);
        for (WDFREQUEST request : inFlight) {
            WdfRequestCancelSentRequest(request);
            WdfObjectDereferenceWithTag(request, &gStopReferenceTag);
        }
        DMF_SleepMilliseconds(kStopPollMs);
    }
    FuncExitVoid(DMF_TRACE);
}

DMF_REQUEST_TARGET_SINGLE_REQUEST_METHODS(ContinuousRequestTarget, SingleRequestsOf, ValidateHandle)
