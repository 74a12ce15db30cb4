// The BufferQueue module: a producer/consumer queue of fixed-size buffers on
// two pools. A client fetches an empty buffer from the producer, fills it and
// enqueues it; the consumer side dequeues it, uses it and reuses it, which
// hands it back to the producer.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"
#include "platform/wdf.h"

// Runs before a buffer goes back to the producer.
using EVT_DMF_BufferQueue_ReuseCleanup = void(DMFMODULE DmfModule, PVOID ClientBuffer,
                                              PVOID ClientBufferContext);

struct DMF_CONFIG_BufferQueue {
    ULONG SourceBufferCount; // buffers the producer creates at open
    ULONG BufferSize;
    ULONG BufferContextSize;
    ULONG EnableLookAside;
    ULONG CreateWithTimer;
    ULONG PoolType;
    EVT_DMF_BufferQueue_ReuseCleanup* EvtBufferQueueReuse; // optional
};

NTSTATUS DMF_BufferQueue_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_BufferQueue_AND_ATTRIBUTES_INIT(DMF_CONFIG_BufferQueue* Config,
                                                       DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_BufferQueue), Config,
                               DMF_BufferQueue_Create);
}

// An empty buffer from the producer; STATUS_UNSUCCESSFUL when none is free.
NTSTATUS DMF_BufferQueue_Fetch(DMFMODULE DmfModule, PVOID* ClientBuffer,
                               PVOID* ClientBufferContext);
// Queues a filled buffer for the consumer side.
void DMF_BufferQueue_Enqueue(DMFMODULE DmfModule, PVOID ClientBuffer);
// The oldest queued buffer; STATUS_UNSUCCESSFUL when the queue is empty.
NTSTATUS DMF_BufferQueue_Dequeue(DMFMODULE DmfModule, PVOID* ClientBuffer,
                                 PVOID* ClientBufferContext);
// Hands a buffer back to the producer (EvtBufferQueueReuse first, when set).
void DMF_BufferQueue_Reuse(DMFMODULE DmfModule, PVOID ClientBuffer);
// Reuses every queued buffer.
void DMF_BufferQueue_Flush(DMFMODULE DmfModule);
