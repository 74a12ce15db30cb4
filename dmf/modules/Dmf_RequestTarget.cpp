// The RequestTarget module. Every asynchronous send holds a run-time
// reference on the module until its completion has run, so the module closes
// only once nothing it sent is still out; a send that never reaches the target
// gives back its reference and its completion record at once.
#include "dmf/modules/Dmf_RequestTarget.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/framework/DmfUtility.h"
#include "dmf/modules/Dmf_BufferPool.h"
#include "dmf/modules/Dmf_QueuedWorkItem.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <atomic>
#include <cstring>

// On every request the machinery creates.
struct UNIQUE_REQUEST {
    DMFMODULE DmfModule;
    ULONGLONG RequestId; // 0: sent without an id
    BOOLEAN ReuseRequestInUse;
    // Its client deleted it while it was in flight: its completion deletes it.
    BOOLEAN ReuseDeleteAtCompletion;
    RequestTarget_SingleRequestsGet* SingleRequestsGet;
    // The sender's buffers as memory objects, for the send in progress.
    WDFMEMORY RequestMemory;
    WDFMEMORY ResponseMemory;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(UNIQUE_REQUEST, UniqueRequestContextGet)

namespace {

struct DMF_CONTEXT_RequestTarget {
    DMFMODULE DmfModuleBufferPoolContext;
    DMFMODULE DmfModuleQueuedWorkItemSingle;
    WDFIOTARGET IoTarget;
    WDFCOLLECTION PendingAsynchronousRequests;
    WDFCOLLECTION CreatedReuseRequests;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(RequestTarget)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_RequestTarget)

// A completion record, from the module's "BufferPoolContext" pool.
struct RequestTarget_CompletionRecord {
    DMFMODULE DmfModule;
    ULONG RequestType;
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion;
    PVOID SendCompletionContext;
};
static_assert(sizeof(RequestTarget_CompletionRecord) == 32);

// What a passive-level completion hands its work item: exactly the
// work item's 96-byte parameter block.
struct RequestTarget_QueuedCompletion {
    WDFREQUEST Request;
    RequestTarget_CompletionRecord* CompletionRecord;
    BYTE Unused[80];
};
static_assert(sizeof(RequestTarget_QueuedCompletion) == 96);

constexpr ULONG kRequestIdStart = 255;
constexpr ULONG kWorkItemBufferCount = 4;
std::atomic<ULONGLONG> gRequestId{kRequestIdStart};

// How often a close looks again for requests still pending.
constexpr ULONG kPendingPollMs = 50;

// Tags the reference a cancellation holds on the request it cancels.
int gCancelReferenceTag;

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_RequestTarget_TypeInfo(), FALSE);
}

RequestTarget_SingleRequests SingleRequestsOf(DMFMODULE DmfModule) {
    DMF_CONTEXT_RequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    return {DmfModule,
            moduleContext->DmfModuleBufferPoolContext,
            moduleContext->DmfModuleQueuedWorkItemSingle,
            &moduleContext->IoTarget,
            &moduleContext->PendingAsynchronousRequests,
            &moduleContext->CreatedReuseRequests,
            SingleRequestsOf};
}

// The request of a collection with that id; the caller holds the module lock.
WDFREQUEST FindRequest(WDFCOLLECTION Collection, ULONGLONG RequestId, ULONG* Index = nullptr) {
    const ULONG count = Collection != nullptr ? WdfCollectionGetCount(Collection) : 0;
    for (ULONG index = 0; index < count; ++index) {
        auto request = static_cast<WDFREQUEST>(WdfCollectionGetItem(Collection, index));
        if (UniqueRequestContextGet(request)->RequestId == RequestId) {
            if (Index != nullptr) {
                *Index = index;
            }
            return request;
        }
    }
    return nullptr;
}

NTSTATUS RequestCreate(const RequestTarget_SingleRequests& Requests, WDFIOTARGET IoTarget,
                       WDFREQUEST* Request) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, UNIQUE_REQUEST);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(Requests.DmfModule);
    NTSTATUS ntStatus = WdfRequestCreate(&attributes, IoTarget, Request);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRequestCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        *Request = nullptr;
        return ntStatus;
    }
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(*Request);
    uniqueRequest->DmfModule = Requests.DmfModule;
    uniqueRequest->SingleRequestsGet = Requests.SingleRequestsGet;
    return STATUS_SUCCESS;
}

// Wraps the sender's buffers and formats the request by type.
NTSTATUS RequestFormat(WDFIOTARGET IoTarget, WDFREQUEST Request,
                       const RequestTarget_SendParameters& Parameters) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Request;
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(Request);
    WDFMEMORY& requestMemory = uniqueRequest->RequestMemory;
    WDFMEMORY& responseMemory = uniqueRequest->ResponseMemory;
    // A buffer of no bytes goes without a memory object.
    auto wrap = [&attributes](PVOID buffer, size_t length, WDFMEMORY* memory) {
        if (length == 0) {
            return STATUS_SUCCESS;
        }
        NTSTATUS status = WdfMemoryCreatePreallocated(&attributes, buffer, length, memory);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                        "WdfMemoryCreatePreallocated fails: ntStatus=0x%08X",
                        static_cast<unsigned>(status));
        }
        return status;
    };
    NTSTATUS ntStatus = wrap(Parameters.RequestBuffer, Parameters.RequestLength, &requestMemory);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = wrap(Parameters.ResponseBuffer, Parameters.ResponseLength, &responseMemory);
    }
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    switch (Parameters.RequestType) {
    case RequestTarget_RequestType_Ioctl:
        ntStatus =
            WdfIoTargetFormatRequestForIoctl(IoTarget, Request, Parameters.RequestIoctl,
                                             requestMemory, nullptr, responseMemory, nullptr);
        break;
    case RequestTarget_RequestType_Read:
        ntStatus =
            WdfIoTargetFormatRequestForRead(IoTarget, Request, responseMemory, nullptr, nullptr);
        break;
    case RequestTarget_RequestType_Write:
        ntStatus =
            WdfIoTargetFormatRequestForWrite(IoTarget, Request, requestMemory, nullptr, nullptr);
        break;
    default:
        ntStatus = STATUS_INVALID_PARAMETER;
        break;
    }
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "Formatting request type %u fails: ntStatus=0x%08X",
                    static_cast<unsigned>(Parameters.RequestType), static_cast<unsigned>(ntStatus));
    }
    return ntStatus;
}

// Options that end the request after the sender's time-out, and the request's
// timer for it.
NTSTATUS SendOptionsPrepare(WDFREQUEST Request, ULONG Flags, ULONG TimeoutMilliseconds,
                            WDF_REQUEST_SEND_OPTIONS* Options) {
    WDF_REQUEST_SEND_OPTIONS_INIT(Options, Flags | WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(Options, WDF_REL_TIMEOUT_IN_MS(TimeoutMilliseconds));
    NTSTATUS ntStatus = WdfRequestAllocateTimer(Request);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRequestAllocateTimer fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    }
    return ntStatus;
}

// Memory wrapped around a reusable request's buffers goes with its send:
// otherwise every reuse would leave two more objects on the request.
void RequestMemoryDelete(WDFREQUEST Request) {
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(Request);
    for (WDFMEMORY* memory : {&uniqueRequest->RequestMemory, &uniqueRequest->ResponseMemory}) {
        if (*memory != nullptr) {
            WdfObjectDelete(*memory);
            *memory = nullptr;
        }
    }
}

// A reusable request whose send is over is free again; TRUE when its client
// deleted it meanwhile and it is to be deleted now.
BOOLEAN ReuseRequestFree(const RequestTarget_SingleRequests& Requests, WDFREQUEST Request) {
    RequestMemoryDelete(Request);
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(Request);
    DMF_ModuleLock(Requests.DmfModule);
    uniqueRequest->ReuseRequestInUse = FALSE;
    const BOOLEAN deleteNow = uniqueRequest->ReuseDeleteAtCompletion;
    DMF_ModuleUnlock(Requests.DmfModule);
    return deleteNow;
}

PVOID MemoryBuffer(WDFMEMORY Memory, size_t* Size) {
    if (Memory == nullptr) {
        *Size = 0;
        return nullptr;
    }
    return WdfMemoryGetBuffer(Memory, Size);
}

// The request has completed: the client hears of it once, then everything
// the send held is given back.
void CompletionStep(const RequestTarget_SingleRequests& Requests, WDFREQUEST Request,
                    RequestTarget_CompletionRecord* CompletionRecord) {
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(Request);
    RequestTarget_CollectionRemove(Requests.DmfModule, *Requests.PendingRequests, Request);

    const NTSTATUS ntStatus = WdfRequestGetStatus(Request);
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    WdfRequestGetCompletionParams(Request, &params);
    PVOID inputBuffer = nullptr;
    size_t inputBytes = 0;
    PVOID outputBuffer = nullptr;
    size_t outputBytes = 0;
    size_t outputSize = 0;
    switch (CompletionRecord->RequestType) {
    case RequestTarget_RequestType_InternalIoctl:
    case RequestTarget_RequestType_Ioctl:
        inputBuffer = MemoryBuffer(params.Parameters.Ioctl.Input.Buffer, &inputBytes);
        outputBuffer = MemoryBuffer(params.Parameters.Ioctl.Output.Buffer, &outputSize);
        outputBytes = params.Parameters.Ioctl.Output.Length;
        break;
    case RequestTarget_RequestType_Read:
        outputBuffer = MemoryBuffer(params.Parameters.Read.Buffer, &outputSize);
        outputBytes = params.Parameters.Read.Length;
        break;
    case RequestTarget_RequestType_Write:
        inputBuffer = MemoryBuffer(params.Parameters.Write.Buffer, &inputBytes);
        inputBytes = params.Parameters.Write.Length;
        break;
    default:
        break;
    }

    const BOOLEAN deleteRequest =
        uniqueRequest->ReuseRequestInUse ? ReuseRequestFree(Requests, Request) : TRUE;
    if (CompletionRecord->EvtRequestTargetSendCompletion != nullptr) {
        CompletionRecord->EvtRequestTargetSendCompletion(
            Requests.DmfModule, CompletionRecord->SendCompletionContext, inputBuffer, inputBytes,
            outputBuffer, outputBytes, ntStatus);
    }
    DMF_BufferPool_Put(Requests.BufferPoolContext, CompletionRecord);
    if (deleteRequest) {
        WdfObjectDelete(Request);
    }
    DMF_ModuleDereference(Requests.DmfModule);
}

void CompletionRoutine(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS,
                       WDFCONTEXT Context) {
    auto* completionRecord = static_cast<RequestTarget_CompletionRecord*>(Context);
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(Request);
    CompletionStep(uniqueRequest->SingleRequestsGet(uniqueRequest->DmfModule), Request,
                   completionRecord);
}

void CompletionRoutinePassive(WDFREQUEST Request, WDFIOTARGET Target,
                              PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(Request);
    RequestTarget_SingleRequests requests =
        uniqueRequest->SingleRequestsGet(uniqueRequest->DmfModule);
    RequestTarget_QueuedCompletion queued{};
    queued.Request = Request;
    queued.CompletionRecord = static_cast<RequestTarget_CompletionRecord*>(Context);
    NTSTATUS ntStatus = DMF_QueuedWorkItem_Enqueue(requests.QueuedWorkItem, &queued);
    if (!NT_SUCCESS(ntStatus)) {
        // A completion must never be lost: its reference would keep the
        // module from closing. Run it here instead.
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "DMF_QueuedWorkItem_Enqueue fails: ntStatus=0x%08X; completing here",
                    static_cast<unsigned>(ntStatus));
        CompletionRoutine(Request, Target, Params, Context);
    }
}

} // namespace

ULONG RequestTarget_QueuedWorkitemSingleRequest(DMFMODULE, PVOID ClientBuffer, PVOID) {
    FuncEntry(DMF_TRACE);
    auto* queued = static_cast<RequestTarget_QueuedCompletion*>(ClientBuffer);
    CompletionRoutine(queued->Request, nullptr, nullptr, queued->CompletionRecord);
    FuncExitVoid(DMF_TRACE);
    return 1; // done
}

ULONGLONG RequestTarget_RequestIdNext() {
    return gRequestId.fetch_add(1) + 1;
}

NTSTATUS RequestTarget_SendSynchronously(const RequestTarget_SingleRequests& Requests,
                                         const RequestTarget_SendParameters& Parameters,
                                         size_t* BytesWritten) {
    FuncEntry(DMF_TRACE);
    if (BytesWritten != nullptr) {
        *BytesWritten = 0;
    }
    NTSTATUS ntStatus = DMF_ModuleReference(Requests.DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    WDFIOTARGET ioTarget = RequestTarget_IoTargetGet(Requests);
    WDFREQUEST request = nullptr;
    if (ioTarget == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No target");
        ntStatus = STATUS_INVALID_DEVICE_STATE;
        goto Exit;
    }
    ntStatus = RequestCreate(Requests, ioTarget, &request);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    ntStatus = RequestFormat(ioTarget, request, Parameters);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    {
        WDF_REQUEST_SEND_OPTIONS sendOptions;
        ntStatus = SendOptionsPrepare(request, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS,
                                      Parameters.RequestTimeoutMilliseconds, &sendOptions);
        if (!NT_SUCCESS(ntStatus)) {
            goto Exit;
        }
        WdfRequestSend(request, ioTarget, &sendOptions);
        ntStatus = WdfRequestGetStatus(request);
        if (BytesWritten != nullptr) {
            *BytesWritten = WdfRequestGetInformation(request);
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Request 0x%08X ends with ntStatus=0x%08X",
                    static_cast<unsigned>(Parameters.RequestIoctl),
                    static_cast<unsigned>(ntStatus));
    }
Exit:
    if (request != nullptr) {
        WdfObjectDelete(request);
    }
    DMF_ModuleDereference(Requests.DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS RequestTarget_Send(const RequestTarget_SingleRequests& Requests,
                            const RequestTarget_SendParameters& Parameters, ULONGLONG* RequestId,
                            const ULONGLONG* ReuseId) {
    FuncEntry(DMF_TRACE);
    NTSTATUS ntStatus = DMF_ModuleReference(Requests.DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    RequestTarget_CompletionRecord* completionRecord = nullptr;
    WDFREQUEST request = nullptr;
    UNIQUE_REQUEST* uniqueRequest = nullptr;
    WDFIOTARGET ioTarget = RequestTarget_IoTargetGet(Requests);
    if (ioTarget == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No target");
        ntStatus = STATUS_INVALID_DEVICE_STATE;
        goto Failed;
    }
    if (ReuseId != nullptr) {
        DMF_ModuleLock(Requests.DmfModule);
        request = FindRequest(*Requests.ReusableRequests, *ReuseId);
        if (request != nullptr && !UniqueRequestContextGet(request)->ReuseRequestInUse) {
            UniqueRequestContextGet(request)->ReuseRequestInUse = TRUE;
        } else {
            request = nullptr;
        }
        DMF_ModuleUnlock(Requests.DmfModule);
        if (request == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No free reusable request %llu",
                        static_cast<unsigned long long>(*ReuseId));
            ntStatus = STATUS_OBJECTID_NOT_FOUND;
            goto Failed;
        }
        WDF_REQUEST_REUSE_PARAMS reuseParams;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuseParams, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        ntStatus = WdfRequestReuse(request, &reuseParams);
    } else {
        ntStatus = RequestCreate(Requests, ioTarget, &request);
    }
    if (!NT_SUCCESS(ntStatus)) {
        goto Failed;
    }
    uniqueRequest = UniqueRequestContextGet(request);
    ntStatus = RequestFormat(ioTarget, request, Parameters);
    if (!NT_SUCCESS(ntStatus)) {
        goto Failed;
    }
    ntStatus = DMF_BufferPool_Get(Requests.BufferPoolContext,
                                  reinterpret_cast<PVOID*>(&completionRecord), nullptr);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMF_BufferPool_Get fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        completionRecord = nullptr;
        goto Failed;
    }
    completionRecord->DmfModule = Requests.DmfModule;
    completionRecord->RequestType = Parameters.RequestType;
    completionRecord->EvtRequestTargetSendCompletion = Parameters.EvtRequestTargetSendCompletion;
    completionRecord->SendCompletionContext = Parameters.SendCompletionContext;
    WdfRequestSetCompletionRoutine(
        request,
        DMF_ModuleIsPassiveLevel(Requests.DmfModule) ? CompletionRoutinePassive : CompletionRoutine,
        completionRecord);
    {
        WDF_REQUEST_SEND_OPTIONS sendOptions;
        ntStatus =
            SendOptionsPrepare(request, 0, Parameters.RequestTimeoutMilliseconds, &sendOptions);
        if (!NT_SUCCESS(ntStatus)) {
            goto Failed;
        }
        if (RequestId != nullptr || ReuseId != nullptr) {
            if (ReuseId == nullptr) {
                uniqueRequest->RequestId = RequestTarget_RequestIdNext();
            }
            DMF_ModuleLock(Requests.DmfModule);
            ntStatus = WdfCollectionAdd(*Requests.PendingRequests, request);
            DMF_ModuleUnlock(Requests.DmfModule);
            if (!NT_SUCCESS(ntStatus)) {
                TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionAdd fails: ntStatus=0x%08X",
                            static_cast<unsigned>(ntStatus));
                goto Failed;
            }
        }
        const ULONGLONG requestId = uniqueRequest->RequestId;
        if (!WdfRequestSend(request, ioTarget, &sendOptions)) {
            ntStatus = WdfRequestGetStatus(request);
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRequestSend fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            RequestTarget_CollectionRemove(Requests.DmfModule, *Requests.PendingRequests, request);
            goto Failed;
        }
        // From here on the completion may already have run: only the id is used.
        if (RequestId != nullptr) {
            *RequestId = requestId;
        }
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;

Failed:
    // No completion will run: everything the send took goes back now.
    if (completionRecord != nullptr) {
        DMF_BufferPool_Put(Requests.BufferPoolContext, completionRecord);
    }
    if (request != nullptr) {
        // A reusable request stays its client's to send again.
        if (ReuseId == nullptr || ReuseRequestFree(Requests, request)) {
            WdfObjectDelete(request);
        }
    }
    DMF_ModuleDereference(Requests.DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

BOOLEAN RequestTarget_Cancel(const RequestTarget_SingleRequests& Requests, ULONGLONG RequestId) {
    FuncEntry(DMF_TRACE);
    if (!NT_SUCCESS(DMF_ModuleReference(Requests.DmfModule))) {
        FuncExit(DMF_TRACE, "returnValue=%d", FALSE);
        return FALSE;
    }
    // The request may complete and be deleted the moment the lock is gone:
    // a reference keeps its handle valid until the cancellation is done.
    DMF_ModuleLock(Requests.DmfModule);
    WDFREQUEST request = FindRequest(*Requests.PendingRequests, RequestId);
    if (request != nullptr) {
        WdfObjectReferenceWithTag(request, &gCancelReferenceTag);
    }
    DMF_ModuleUnlock(Requests.DmfModule);
    BOOLEAN returnValue = FALSE;
    if (request != nullptr) {
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Cancel request %llu",
                    static_cast<unsigned long long>(RequestId));
        returnValue = WdfRequestCancelSentRequest(request);
        WdfObjectDereferenceWithTag(request, &gCancelReferenceTag);
    }
    DMF_ModuleDereference(Requests.DmfModule);
    FuncExit(DMF_TRACE, "returnValue=%d", returnValue);
    return returnValue;
}

NTSTATUS RequestTarget_ReuseCreate(const RequestTarget_SingleRequests& Requests,
                                   ULONGLONG* RequestId) {
    FuncEntry(DMF_TRACE);
    *RequestId = 0;
    NTSTATUS ntStatus = DMF_ModuleReference(Requests.DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    WDFREQUEST request = nullptr;
    ntStatus = RequestCreate(Requests, RequestTarget_IoTargetGet(Requests), &request);
    if (NT_SUCCESS(ntStatus)) {
        UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(request);
        uniqueRequest->RequestId = RequestTarget_RequestIdNext();
        DMF_ModuleLock(Requests.DmfModule);
        ntStatus = WdfCollectionAdd(*Requests.ReusableRequests, request);
        DMF_ModuleUnlock(Requests.DmfModule);
        if (NT_SUCCESS(ntStatus)) {
            *RequestId = uniqueRequest->RequestId;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionAdd fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            WdfObjectDelete(request);
        }
    }
    DMF_ModuleDereference(Requests.DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

BOOLEAN RequestTarget_ReuseDelete(const RequestTarget_SingleRequests& Requests,
                                  ULONGLONG RequestId) {
    FuncEntry(DMF_TRACE);
    if (!NT_SUCCESS(DMF_ModuleReference(Requests.DmfModule))) {
        FuncExit(DMF_TRACE, "returnValue=%d", FALSE);
        return FALSE;
    }
    ULONG index = 0;
    bool deleteNow = false;
    DMF_ModuleLock(Requests.DmfModule);
    WDFREQUEST request = FindRequest(*Requests.ReusableRequests, RequestId, &index);
    if (request != nullptr) {
        WdfCollectionRemoveItem(*Requests.ReusableRequests, index);
        // A request in flight is the target's until it completes, and its
        // completion still uses it: the completion deletes it.
        UNIQUE_REQUEST* uniqueRequest = UniqueRequestContextGet(request);
        uniqueRequest->ReuseDeleteAtCompletion = uniqueRequest->ReuseRequestInUse;
        deleteNow = !uniqueRequest->ReuseRequestInUse;
    }
    DMF_ModuleUnlock(Requests.DmfModule);
    if (deleteNow) {
        WdfObjectDelete(request);
    }
    DMF_ModuleDereference(Requests.DmfModule);
    FuncExit(DMF_TRACE, "returnValue=%d", request != nullptr);
    return request != nullptr ? TRUE : FALSE;
}

// The target is read on every send and changed only by the parent: one
// atomic word, not the module lock.
WDFIOTARGET RequestTarget_IoTargetGet(const RequestTarget_SingleRequests& Requests) {
    return static_cast<WDFIOTARGET>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(Requests.IoTarget), nullptr, nullptr));
}

void RequestTarget_IoTargetSet(const RequestTarget_SingleRequests& Requests, WDFIOTARGET IoTarget) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Requests.IoTarget), IoTarget);
}

NTSTATUS RequestTarget_CollectionCreate(DMFMODULE DmfModule, WDFCOLLECTION* Collection) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    NTSTATUS ntStatus = WdfCollectionCreate(&attributes, Collection);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        *Collection = nullptr;
    }
    return ntStatus;
}

bool RequestTarget_CollectionFind(WDFCOLLECTION Collection, WDFOBJECT Item, ULONG* Index) {
    const ULONG count = WdfCollectionGetCount(Collection);
    for (ULONG index = 0; index < count; ++index) {
        if (WdfCollectionGetItem(Collection, index) == Item) {
            *Index = index;
            return true;
        }
    }
    return false;
}

void RequestTarget_CollectionRemove(DMFMODULE DmfModule, WDFCOLLECTION Collection, WDFOBJECT Item) {
    ULONG index = 0;
    DMF_ModuleLock(DmfModule);
    if (RequestTarget_CollectionFind(Collection, Item, &index)) {
        WdfCollectionRemoveItem(Collection, index);
    }
    DMF_ModuleUnlock(DmfModule);
}

NTSTATUS RequestTarget_CollectionsCreate(const RequestTarget_SingleRequests& Requests) {
    NTSTATUS ntStatus =
        RequestTarget_CollectionCreate(Requests.DmfModule, Requests.PendingRequests);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = RequestTarget_CollectionCreate(Requests.DmfModule, Requests.ReusableRequests);
        if (!NT_SUCCESS(ntStatus)) {
            WdfObjectDelete(*Requests.PendingRequests);
            *Requests.PendingRequests = nullptr;
        }
    }
    return ntStatus;
}

void RequestTarget_CollectionsDelete(const RequestTarget_SingleRequests& Requests) {
    // Sent requests are the target's until they complete. Reusable ones stay
    // until their client deletes them, which it may never do: they go here.
    for (;;) {
        DMF_ModuleLock(Requests.DmfModule);
        const ULONG pending = WdfCollectionGetCount(*Requests.PendingRequests);
        DMF_ModuleUnlock(Requests.DmfModule);
        if (pending == 0) {
            break;
        }
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Close waits for %u pending requests",
                    static_cast<unsigned>(pending));
        DMF_SleepMilliseconds(kPendingPollMs);
    }
    WdfObjectDelete(*Requests.PendingRequests);
    *Requests.PendingRequests = nullptr;
    for (;;) {
        DMF_ModuleLock(Requests.DmfModule);
        auto request =
            static_cast<WDFREQUEST>(WdfCollectionGetFirstItem(*Requests.ReusableRequests));
        if (request != nullptr) {
            WdfCollectionRemoveItem(*Requests.ReusableRequests, 0);
        }
        DMF_ModuleUnlock(Requests.DmfModule);
        if (request == nullptr) {
            break;
        }
        WdfObjectDelete(request);
    }
    WdfObjectDelete(*Requests.ReusableRequests);
    *Requests.ReusableRequests = nullptr;
}

void RequestTarget_BufferPoolAdd(PDMFMODULE_INIT DmfModuleInit, BOOLEAN PassiveLevel, PCSTR Name,
                                 ULONG Count, ULONG Size, ULONG ContextSize, ULONG EnableLookAside,
                                 ULONG PoolType, DMFMODULE* DmfModule) {
    DMF_CONFIG_BufferPool bufferPoolConfig;
    DMF_MODULE_ATTRIBUTES moduleAttributes;
    DMF_CONFIG_BufferPool_AND_ATTRIBUTES_INIT(&bufferPoolConfig, &moduleAttributes);
    bufferPoolConfig.BufferPoolMode = BufferPool_Mode_Source;
    bufferPoolConfig.BufferCount = Count;
    bufferPoolConfig.BufferSize = Size;
    bufferPoolConfig.BufferContextSize = ContextSize;
    bufferPoolConfig.EnableLookAside = EnableLookAside;
    bufferPoolConfig.PoolType = PoolType;
    moduleAttributes.ClientModuleInstanceName = Name;
    moduleAttributes.PassiveLevel = PassiveLevel;
    DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES, DmfModule);
}

void RequestTarget_QueuedWorkItemAdd(PDMFMODULE_INIT DmfModuleInit, BOOLEAN PassiveLevel,
                                     EVT_DMF_QueuedWorkItem_Callback* Function,
                                     DMFMODULE* DmfModule) {
    DMF_CONFIG_QueuedWorkItem queuedWorkItemConfig;
    DMF_MODULE_ATTRIBUTES moduleAttributes;
    DMF_CONFIG_QueuedWorkItem_AND_ATTRIBUTES_INIT(&queuedWorkItemConfig, &moduleAttributes);
    queuedWorkItemConfig.BufferQueueConfig.SourceBufferCount = kWorkItemBufferCount;
    queuedWorkItemConfig.BufferQueueConfig.BufferSize = sizeof(RequestTarget_QueuedCompletion);
    queuedWorkItemConfig.BufferQueueConfig.EnableLookAside = TRUE;
    queuedWorkItemConfig.BufferQueueConfig.PoolType = NonPagedPoolNx;
    queuedWorkItemConfig.EvtQueuedWorkitemFunction = Function;
    moduleAttributes.PassiveLevel = PassiveLevel;
    DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES, DmfModule);
}

namespace {

NTSTATUS RequestTarget_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    NTSTATUS ntStatus = RequestTarget_CollectionsCreate(SingleRequestsOf(DmfModule));
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void RequestTarget_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    RequestTarget_CollectionsDelete(SingleRequestsOf(DmfModule));
    FuncExitVoid(DMF_TRACE);
}

void RequestTarget_ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*,
                                   PDMFMODULE_INIT DmfModuleInit) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_RequestTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    const BOOLEAN passiveLevel = DMF_ModuleIsPassiveLevel(DmfModule);
    // Completion records: one made at open, more on demand.
    RequestTarget_BufferPoolAdd(DmfModuleInit, passiveLevel, "BufferPoolContext", 1,
                                sizeof(RequestTarget_CompletionRecord), 0, TRUE, NonPagedPoolNx,
                                &moduleContext->DmfModuleBufferPoolContext);
    // Completions of a passive module run on its work item.
    RequestTarget_QueuedWorkItemAdd(DmfModuleInit, passiveLevel,
                                    RequestTarget_QueuedWorkitemSingleRequest,
                                    &moduleContext->DmfModuleQueuedWorkItemSingle);
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_RequestTarget_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                  WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = RequestTarget_Open;
    callbacksDmf.DeviceClose = RequestTarget_Close;
    callbacksDmf.ChildModulesAdd = RequestTarget_ChildModulesAdd;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, RequestTarget, DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_RequestTarget);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

DMF_REQUEST_TARGET_SINGLE_REQUEST_METHODS(RequestTarget, SingleRequestsOf, ValidateHandle)
