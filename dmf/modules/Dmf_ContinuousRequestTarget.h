// The ContinuousRequestTarget module: keeps a fixed number of requests in
// flight to the I/O target its parent gives it ("streaming"), each taking an
// input buffer the client fills and handing the client the output buffer of
// every completion, and sending again at once unless the client says stop.
// It also offers RequestTarget's single requests.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "dmf/modules/Dmf_RequestTarget.h"
#include "platform/types.h"
#include "platform/wdf.h"

// What the client says of an output buffer it was handed.
enum ContinuousRequestTarget_BufferDisposition : ULONG {
    ContinuousRequestTarget_BufferDisposition_Invalid = 0,
    ContinuousRequestTarget_BufferDisposition_ContinueStreaming = 1,
    ContinuousRequestTarget_BufferDisposition_StopStreaming = 2,
};

// Fills an input buffer before its request goes out; *InputBufferSize comes in
// as the buffer's size and goes out as the bytes to send.
using EVT_DMF_ContinuousRequestTarget_BufferInput = void(DMFMODULE DmfModule, PVOID InputBuffer,
                                                         size_t* InputBufferSize,
                                                         PVOID ClientBufferContextInput);
// Consumes the output of a completed request; returns a disposition (any
// value other than 1 stops this request's streaming).
using EVT_DMF_ContinuousRequestTarget_BufferOutput = ULONG(DMFMODULE DmfModule, PVOID OutputBuffer,
                                                           size_t OutputBufferSize,
                                                           PVOID ClientBufferContextOutput,
                                                           NTSTATUS CompletionStatus);

// 80 bytes.
struct DMF_CONFIG_ContinuousRequestTarget {
    ULONG ContinuousRequestCount; // 0: no streaming
    ULONG BufferCountInput;
    ULONG BufferCountOutput;
    ULONG RequestType;     // RequestTarget_RequestType: 2, 3 or 4
    ULONG BufferInputSize; // 0: no input buffers
    ULONG BufferContextInputSize;
    ULONG BufferOutputSize; // 0: no output buffers
    ULONG BufferContextOutputSize;
    ULONG EnableLookAsideOutput;
    ULONG PoolTypeInput;
    ULONG PoolTypeOutput;
    EVT_DMF_ContinuousRequestTarget_BufferInput* EvtContinuousRequestTargetBufferInput;
    EVT_DMF_ContinuousRequestTarget_BufferOutput* EvtContinuousRequestTargetBufferOutput;
    ULONG ContinuousRequestTargetIoctl;
    BOOLEAN PurgeAndStartTargetInD0Callbacks;
    BOOLEAN StartAndStopStreamingInD0Callbacks;
    // 1: a DeviceInterfaceTarget starts streaming whenever its target opens.
    ULONG ContinuousRequestTargetMode;
};
static_assert(sizeof(DMF_CONFIG_ContinuousRequestTarget) == 80);

#define ContinuousRequestTarget_Mode_Automatic 1u

NTSTATUS DMF_ContinuousRequestTarget_Create(WDFDEVICE Device,
                                            DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                            WDF_OBJECT_ATTRIBUTES* ObjectAttributes,
                                            DMFMODULE* DmfModule);

inline void
DMF_CONFIG_ContinuousRequestTarget_AND_ATTRIBUTES_INIT(DMF_CONFIG_ContinuousRequestTarget* Config,
                                                       DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_ContinuousRequestTarget), Config,
                               DMF_ContinuousRequestTarget_Create);
}

// Sends every streaming request; the first that fails stops streaming and is returned.
NTSTATUS DMF_ContinuousRequestTarget_Start(DMFMODULE DmfModule);
// Returns once no streaming request is left in the framework, cancelling those
// still in flight every 50 ms.
void DMF_ContinuousRequestTarget_Stop(DMFMODULE DmfModule);

// The single requests, as RequestTarget's methods of the same names.
NTSTATUS DMF_ContinuousRequestTarget_SendSynchronously(DMFMODULE DmfModule, PVOID RequestBuffer,
                                                       size_t RequestLength, PVOID ResponseBuffer,
                                                       size_t ResponseLength, ULONG RequestType,
                                                       ULONG RequestIoctl,
                                                       ULONG RequestTimeoutMilliseconds,
                                                       size_t* BytesWritten);
NTSTATUS DMF_ContinuousRequestTarget_Send(
    DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,
    size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
    PVOID SendCompletionContext);
NTSTATUS DMF_ContinuousRequestTarget_SendEx(
    DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,
    size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
    PVOID SendCompletionContext, ULONGLONG* RequestId);
NTSTATUS DMF_ContinuousRequestTarget_ReuseSend(
    DMFMODULE DmfModule, ULONGLONG RequestId, PVOID RequestBuffer, size_t RequestLength,
    PVOID ResponseBuffer, size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl,
    ULONG RequestTimeoutMilliseconds,
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
    PVOID SendCompletionContext);
BOOLEAN DMF_ContinuousRequestTarget_Cancel(DMFMODULE DmfModule, ULONGLONG RequestId);
NTSTATUS DMF_ContinuousRequestTarget_ReuseCreate(DMFMODULE DmfModule, ULONGLONG* RequestId);
BOOLEAN DMF_ContinuousRequestTarget_ReuseDelete(DMFMODULE DmfModule, ULONGLONG RequestId);
void DMF_ContinuousRequestTarget_IoTargetSet(DMFMODULE DmfModule, WDFIOTARGET IoTarget);
void DMF_ContinuousRequestTarget_IoTargetClear(DMFMODULE DmfModule);

inline constexpr RequestTarget_Operations DMF_ContinuousRequestTarget_Operations = {
    DMF_ContinuousRequestTarget_SendSynchronously,
    DMF_ContinuousRequestTarget_Send,
    DMF_ContinuousRequestTarget_SendEx,
    DMF_ContinuousRequestTarget_ReuseSend,
    DMF_ContinuousRequestTarget_Cancel,
    DMF_ContinuousRequestTarget_ReuseCreate,
    DMF_ContinuousRequestTarget_ReuseDelete,
    DMF_ContinuousRequestTarget_IoTargetSet,
    DMF_ContinuousRequestTarget_IoTargetClear};
