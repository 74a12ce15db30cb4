// The BufferPool module: a list of fixed-size buffers, each with an optional
// fixed-size client context, that clients take and give back without an
// allocation per use. A source pool creates its buffers when it opens; a sink
// pool starts empty and collects what clients put into it.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"
#include "platform/wdf.h"

enum BufferPool_ModeType : ULONG {
    BufferPool_Mode_Invalid = 0,
    BufferPool_Mode_Source = 1, // buffers created at open
    BufferPool_Mode_Sink = 2,   // starts empty; any mode other than source behaves as sink
};

struct DMF_CONFIG_BufferPool {
    ULONG BufferPoolMode;    // BufferPool_ModeType
    ULONG BufferCount;       // buffers a source pool creates at open
    ULONG BufferSize;        // client buffer bytes
    ULONG BufferContextSize; // client context bytes; 0: none
    // 1: a source pool that runs dry creates further buffers, and frees them
    // again when they come back while extra buffers are outstanding.
    ULONG EnableLookAside;
    ULONG CreateWithTimer; // 1: each buffer gets a timer of its own
    ULONG PoolType;        // POOL_TYPE of the buffer memory
};

NTSTATUS DMF_BufferPool_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                               WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_BufferPool_AND_ATTRIBUTES_INIT(DMF_CONFIG_BufferPool* Config,
                                                      DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_BufferPool), Config,
                               DMF_BufferPool_Create);
}

// STATUS_UNSUCCESSFUL when no buffer is available. *ClientBufferContext (when
// asked for) is NULL for a pool without client contexts.
NTSTATUS DMF_BufferPool_Get(DMFMODULE DmfModule, PVOID* ClientBuffer, PVOID* ClientBufferContext);
// As Get, with a memory object that describes the client buffer alone.
NTSTATUS DMF_BufferPool_GetWithMemory(DMFMODULE DmfModule, PVOID* ClientBuffer,
                                      PVOID* ClientBufferContext, WDFMEMORY* ClientBufferMemory);
// Gives a buffer (from this pool or another) to the pool. A source pool hands
// it out again zero-filled.
void DMF_BufferPool_Put(DMFMODULE DmfModule, PVOID ClientBuffer);
void DMF_BufferPool_ContextGet(DMFMODULE DmfModule, PVOID ClientBuffer, PVOID* ClientBufferContext);

// Called when a buffer put with a time-out is still in the pool at its due
// time; the buffer has been taken out of the pool and belongs to the callback.
using EVT_DMF_BufferPool_TimerCallback = void(DMFMODULE DmfModule, PVOID ClientBuffer,
                                              PVOID ClientBufferContext, PVOID CallbackContext);
// Puts a buffer of a pool created with timers, and starts its timer: a Get
// before the due time takes it back and the callback does not run.
void DMF_BufferPool_PutInSinkWithTimer(DMFMODULE DmfModule, PVOID ClientBuffer,
                                       ULONGLONG TimerExpirationMilliseconds,
                                       EVT_DMF_BufferPool_TimerCallback* TimerExpirationCallback,
                                       PVOID TimerExpirationCallbackContext);
