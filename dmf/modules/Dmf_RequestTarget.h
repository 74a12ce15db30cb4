// The RequestTarget module: single requests (device I/O control, read or
// write) to the I/O target its parent gives it, sent synchronously with a
// time-out or asynchronously with a completion callback, optionally under a
// request id that can cancel them, or through reusable requests.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "dmf/modules/Dmf_QueuedWorkItem.h"
#include "platform/types.h"
#include "platform/wdf.h"

enum RequestTarget_RequestType : ULONG {
    RequestTarget_RequestType_Invalid = 0,
    // Completes as a device I/O control, but no request is ever formatted so.
    RequestTarget_RequestType_InternalIoctl = 1,
    RequestTarget_RequestType_Ioctl = 2,
    RequestTarget_RequestType_Read = 3,
    RequestTarget_RequestType_Write = 4,
};

// An asynchronous request has completed: the module it was sent through, the
// sender's context, the input buffer with the bytes it held, the output
// buffer with the bytes the target returned, and the request's status.
using EVT_DMF_RequestTarget_SendCompletion = void(DMFMODULE DmfModule, PVOID ClientRequestContext,
                                                  PVOID InputBuffer, size_t InputBufferBytesWritten,
                                                  PVOID OutputBuffer, size_t OutputBufferBytesRead,
                                                  NTSTATUS CompletionStatus);

NTSTATUS DMF_RequestTarget_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                  WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

// The module has no configuration.
inline void DMF_RequestTarget_ATTRIBUTES_INIT(DMF_MODULE_ATTRIBUTES* Attributes) {
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, 0, nullptr, DMF_RequestTarget_Create);
}

// Every method below first takes a run-time reference on the module and fails
// with that status when the module is not open. Buffers may be NULL with a
// length of 0; they must stay valid until the request completes. A time-out
// of 0 ms means none.

// The request's status; *BytesWritten receives the bytes the target returned
// (0 when the time-out ended it, with STATUS_IO_TIMEOUT).
NTSTATUS DMF_RequestTarget_SendSynchronously(DMFMODULE DmfModule, PVOID RequestBuffer,
                                             size_t RequestLength, PVOID ResponseBuffer,
                                             size_t ResponseLength, ULONG RequestType,
                                             ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
                                             size_t* BytesWritten);
// The status of the sending; once sent, the callback (if any) runs exactly
// once, on a thread of the framework (a work item when the module is passive).
NTSTATUS
DMF_RequestTarget_Send(DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength,
                       PVOID ResponseBuffer, size_t ResponseLength, ULONG RequestType,
                       ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
                       EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
                       PVOID SendCompletionContext);
// As Send; *RequestId names the request for DMF_RequestTarget_Cancel until it completes.
NTSTATUS
DMF_RequestTarget_SendEx(DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength,
                         PVOID ResponseBuffer, size_t ResponseLength, ULONG RequestType,
                         ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
                         EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
                         PVOID SendCompletionContext, ULONGLONG* RequestId);
// Sends through a reusable request that is not in flight (else
// STATUS_OBJECTID_NOT_FOUND); its id cancels it while it is.
NTSTATUS
DMF_RequestTarget_ReuseSend(DMFMODULE DmfModule, ULONGLONG RequestId, PVOID RequestBuffer,
                            size_t RequestLength, PVOID ResponseBuffer, size_t ResponseLength,
                            ULONG RequestType, ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
                            EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
                            PVOID SendCompletionContext);
// TRUE when a request with that id was pending and its cancellation started.
BOOLEAN DMF_RequestTarget_Cancel(DMFMODULE DmfModule, ULONGLONG RequestId);
// A request kept for DMF_RequestTarget_ReuseSend until ReuseDelete, or until
// the module closes.
NTSTATUS DMF_RequestTarget_ReuseCreate(DMFMODULE DmfModule, ULONGLONG* RequestId);
// TRUE when a reusable request with that id was found; its id is gone at
// once, and a request in flight is deleted once its completion has run.
BOOLEAN DMF_RequestTarget_ReuseDelete(DMFMODULE DmfModule, ULONGLONG RequestId);
// The target requests go to; the parent sets it while its target is open.
void DMF_RequestTarget_IoTargetSet(DMFMODULE DmfModule, WDFIOTARGET IoTarget);
void DMF_RequestTarget_IoTargetClear(DMFMODULE DmfModule);

// The nine methods above, as every module that sends single requests offers
// them, for a parent that sends through whichever it created.
struct RequestTarget_Operations {
    decltype(DMF_RequestTarget_SendSynchronously)* SendSynchronously;
    decltype(DMF_RequestTarget_Send)* Send;
    decltype(DMF_RequestTarget_SendEx)* SendEx;
    decltype(DMF_RequestTarget_ReuseSend)* ReuseSend;
    decltype(DMF_RequestTarget_Cancel)* Cancel;
    decltype(DMF_RequestTarget_ReuseCreate)* ReuseCreate;
    decltype(DMF_RequestTarget_ReuseDelete)* ReuseDelete;
    decltype(DMF_RequestTarget_IoTargetSet)* IoTargetSet;
    decltype(DMF_RequestTarget_IoTargetClear)* IoTargetClear;
};

inline constexpr RequestTarget_Operations DMF_RequestTarget_Operations = {
    DMF_RequestTarget_SendSynchronously,
    DMF_RequestTarget_Send,
    DMF_RequestTarget_SendEx,
    DMF_RequestTarget_ReuseSend,
    DMF_RequestTarget_Cancel,
    DMF_RequestTarget_ReuseCreate,
    DMF_RequestTarget_ReuseDelete,
    DMF_RequestTarget_IoTargetSet,
    DMF_RequestTarget_IoTargetClear};

// ---------------------------------------------------------------------------
// The single-request machinery behind the methods above, shared with
// ContinuousRequestTarget, whose single requests behave the same: a module
// says where it keeps what the machinery works on, and both run the same
// sends, completions and reusable requests.

struct RequestTarget_SingleRequests;
// Finds the machinery of a module again from one of its requests.
using RequestTarget_SingleRequestsGet = RequestTarget_SingleRequests(DMFMODULE DmfModule);

struct RequestTarget_SingleRequests {
    DMFMODULE DmfModule;             // its lock and references; parent of its requests
    DMFMODULE BufferPoolContext;     // completion records of 32 bytes
    DMFMODULE QueuedWorkItem;        // runs completions at passive level
    WDFIOTARGET* IoTarget;           // read and written atomically
    WDFCOLLECTION* PendingRequests;  // sent with a request id, not yet completed
    WDFCOLLECTION* ReusableRequests; // created by ReuseCreate
    RequestTarget_SingleRequestsGet* SingleRequestsGet;
};

// What a send carries.
struct RequestTarget_SendParameters {
    PVOID RequestBuffer;
    size_t RequestLength;
    PVOID ResponseBuffer;
    size_t ResponseLength;
    ULONG RequestType;
    ULONG RequestIoctl;
    ULONG RequestTimeoutMilliseconds;
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion;
    PVOID SendCompletionContext;
};

// The next id of the process-wide request-id counter (the first is 256).
ULONGLONG RequestTarget_RequestIdNext();

NTSTATUS RequestTarget_SendSynchronously(const RequestTarget_SingleRequests& Requests,
                                         const RequestTarget_SendParameters& Parameters,
                                         size_t* BytesWritten);
// RequestId NULL: no id. ReuseId non-NULL: send through that reusable request.
NTSTATUS RequestTarget_Send(const RequestTarget_SingleRequests& Requests,
                            const RequestTarget_SendParameters& Parameters, ULONGLONG* RequestId,
                            const ULONGLONG* ReuseId);
BOOLEAN RequestTarget_Cancel(const RequestTarget_SingleRequests& Requests, ULONGLONG RequestId);
NTSTATUS RequestTarget_ReuseCreate(const RequestTarget_SingleRequests& Requests,
                                   ULONGLONG* RequestId);
BOOLEAN RequestTarget_ReuseDelete(const RequestTarget_SingleRequests& Requests,
                                  ULONGLONG RequestId);
WDFIOTARGET RequestTarget_IoTargetGet(const RequestTarget_SingleRequests& Requests);
void RequestTarget_IoTargetSet(const RequestTarget_SingleRequests& Requests, WDFIOTARGET IoTarget);

// Open: the two collections. Close: waits for the pending requests and
// deletes the reusable ones.
NTSTATUS RequestTarget_CollectionsCreate(const RequestTarget_SingleRequests& Requests);
// A collection of requests parented to the module, changed only under its lock.
NTSTATUS RequestTarget_CollectionCreate(DMFMODULE DmfModule, WDFCOLLECTION* Collection);
// Whether Item is in Collection, and at which index; the caller holds the module lock.
bool RequestTarget_CollectionFind(WDFCOLLECTION Collection, WDFOBJECT Item, ULONG* Index);
// Takes Item out of Collection, if it is there, under the module lock.
void RequestTarget_CollectionRemove(DMFMODULE DmfModule, WDFCOLLECTION Collection, WDFOBJECT Item);
void RequestTarget_CollectionsDelete(const RequestTarget_SingleRequests& Requests);

// Children the request modules share the making of: a source BufferPool of
// `Count` buffers, and a QueuedWorkItem of four 96-byte blocks (more on
// demand) that runs `Function`.
void RequestTarget_BufferPoolAdd(PDMFMODULE_INIT DmfModuleInit, BOOLEAN PassiveLevel, PCSTR Name,
                                 ULONG Count, ULONG Size, ULONG ContextSize, ULONG EnableLookAside,
                                 ULONG PoolType, DMFMODULE* DmfModule);
void RequestTarget_QueuedWorkItemAdd(PDMFMODULE_INIT DmfModuleInit, BOOLEAN PassiveLevel,
                                     EVT_DMF_QueuedWorkItem_Callback* Function,
                                     DMFMODULE* DmfModule);

// The QueuedWorkItem function that runs a completion at passive level.
ULONG RequestTarget_QueuedWorkitemSingleRequest(DMFMODULE DmfModule, PVOID ClientBuffer,
                                                PVOID ClientBufferContext);

// Defines a module's nine single-request methods, DMF_<Module>_SendSynchronously
// to DMF_<Module>_IoTargetClear with the signatures of RequestTarget's, on the
// machinery: SingleRequestsOf(DmfModule) finds it in the module and
// ValidateHandle(DmfModule) checks a client's handle. Use once, at namespace
// scope, in the module's source file.
#define DMF_REQUEST_TARGET_SINGLE_REQUEST_METHODS(Module, SingleRequestsOf, ValidateHandle)        \
    NTSTATUS DMF_##Module##_SendSynchronously(                                                     \
        DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,      \
        size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl,                              \
        ULONG RequestTimeoutMilliseconds, size_t* BytesWritten) {                                  \
        ValidateHandle(DmfModule);                                                                 \
        return RequestTarget_SendSynchronously(SingleRequestsOf(DmfModule),                        \
                                               {RequestBuffer, RequestLength, ResponseBuffer,      \
                                                ResponseLength, RequestType, RequestIoctl,         \
                                                RequestTimeoutMilliseconds, nullptr, nullptr},     \
                                               BytesWritten);                                      \
    }                                                                                              \
    NTSTATUS DMF_##Module##_Send(                                                                  \
        DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,      \
        size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl,                              \
        ULONG RequestTimeoutMilliseconds,                                                          \
        EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,                      \
        PVOID SendCompletionContext) {                                                             \
        return DMF_##Module##_SendEx(DmfModule, RequestBuffer, RequestLength, ResponseBuffer,      \
                                     ResponseLength, RequestType, RequestIoctl,                    \
                                     RequestTimeoutMilliseconds, EvtRequestTargetSendCompletion,   \
                                     SendCompletionContext, nullptr);                              \
    }                                                                                              \
    NTSTATUS DMF_##Module##_SendEx(                                                                \
        DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,      \
        size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl,                              \
        ULONG RequestTimeoutMilliseconds,                                                          \
        EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,                      \
        PVOID SendCompletionContext, ULONGLONG* RequestId) {                                       \
        ValidateHandle(DmfModule);                                                                 \
        return RequestTarget_Send(SingleRequestsOf(DmfModule),                                     \
                                  {RequestBuffer, RequestLength, ResponseBuffer, ResponseLength,   \
                                   RequestType, RequestIoctl, RequestTimeoutMilliseconds,          \
                                   EvtRequestTargetSendCompletion, SendCompletionContext},         \
                                  RequestId, nullptr);                                             \
    }                                                                                              \
    NTSTATUS DMF_##Module##_ReuseSend(                                                             \
        DMFMODULE DmfModule, ULONGLONG RequestId, PVOID RequestBuffer, size_t RequestLength,       \
        PVOID ResponseBuffer, size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl,        \
        ULONG RequestTimeoutMilliseconds,                                                          \
        EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,                      \
        PVOID SendCompletionContext) {                                                             \
        ValidateHandle(DmfModule);                                                                 \
        return RequestTarget_Send(SingleRequestsOf(DmfModule),                                     \
                                  {RequestBuffer, RequestLength, ResponseBuffer, ResponseLength,   \
                                   RequestType, RequestIoctl, RequestTimeoutMilliseconds,          \
                                   EvtRequestTargetSendCompletion, SendCompletionContext},         \
                                  nullptr, &RequestId);                                            \
    }                                                                                              \
    BOOLEAN DMF_##Module##_Cancel(DMFMODULE DmfModule, ULONGLONG RequestId) {                      \
        ValidateHandle(DmfModule);                                                                 \
        return RequestTarget_Cancel(SingleRequestsOf(DmfModule), RequestId);                       \
    }                                                                                              \
    NTSTATUS DMF_##Module##_ReuseCreate(DMFMODULE DmfModule, ULONGLONG* RequestId) {               \
        ValidateHandle(DmfModule);                                                                 \
        return RequestTarget_ReuseCreate(SingleRequestsOf(DmfModule), RequestId);                  \
    }                                                                                              \
    BOOLEAN DMF_##Module##_ReuseDelete(DMFMODULE DmfModule, ULONGLONG RequestId) {                 \
        ValidateHandle(DmfModule);                                                                 \
        return RequestTarget_ReuseDelete(SingleRequestsOf(DmfModule), RequestId);                  \
    }                                                                                              \
    void DMF_##Module##_IoTargetSet(DMFMODULE DmfModule, WDFIOTARGET IoTarget) {                   \
        ValidateHandle(DmfModule);                                                                 \
        RequestTarget_IoTargetSet(SingleRequestsOf(DmfModule), IoTarget);                          \
    }                                                                                              \
    void DMF_##Module##_IoTargetClear(DMFMODULE DmfModule) {                                       \
        ValidateHandle(DmfModule);                                                                 \
        RequestTarget_IoTargetSet(SingleRequestsOf(DmfModule), nullptr);                           \
    }
