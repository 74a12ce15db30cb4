// The QueuedWorkItem module: runs a client callback later, at passive level,
// once for every parameter block enqueued. Each block is copied into a
// buffer of a queue, so the caller's copy may go at once; the callbacks of
// one module run one at a time, in the order of the enqueues.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "dmf/modules/Dmf_BufferQueue.h"
#include "platform/types.h"
#include "platform/wdf.h"

// Bytes of the parameter block every enqueue copies.
inline constexpr ULONG QueuedWorkItem_ParameterBlockSize = 96;

// The callback's answer: done, or try again. The block is given back in
// either case.
enum QueuedWorkItem_ResultType : ULONG {
    QueuedWorkItem_Result_Done = 1,
    QueuedWorkItem_Result_TryAgain = 2,
};

using EVT_DMF_QueuedWorkItem_Callback = ULONG(DMFMODULE DmfModule, PVOID ClientBuffer,
                                              PVOID ClientBufferContext);

struct DMF_CONFIG_QueuedWorkItem {
    EVT_DMF_QueuedWorkItem_Callback* EvtQueuedWorkitemFunction;
    // The queue of blocks: BufferSize is the block size (at least
    // QueuedWorkItem_ParameterBlockSize).
    DMF_CONFIG_BufferQueue BufferQueueConfig;
};

NTSTATUS DMF_QueuedWorkItem_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                   WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_QueuedWorkItem_AND_ATTRIBUTES_INIT(DMF_CONFIG_QueuedWorkItem* Config,
                                                          DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_QueuedWorkItem), Config,
                               DMF_QueuedWorkItem_Create);
}

// Copies QueuedWorkItem_ParameterBlockSize bytes and asks for a run.
// STATUS_UNSUCCESSFUL when no queue buffer is free; STATUS_BUFFER_TOO_SMALL
// when the configured block size is below QueuedWorkItem_ParameterBlockSize.
NTSTATUS DMF_QueuedWorkItem_Enqueue(DMFMODULE DmfModule, PVOID ParameterBlock);
