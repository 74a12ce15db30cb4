// The BufferPool module. Every buffer is one memory object: a header, the
// client buffer, a data sentinel, the client context and a context sentinel.
// With the framework verifier on, a buffer handed back with a damaged
// header or sentinel is reported where it comes back, not later where the
// damage would spread. Every list change happens under the module lock.
#include "dmf/modules/Dmf_BufferPool.h"

#include "platform/list.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr ULONGLONG kBufferPoolSignature = 0x87654321ull;
constexpr ULONG kDataSentinel = 0x33334444u;
constexpr ULONG kContextSentinel = 0x11112222u;
// The data sentinel has a 16-byte slot, so the client context stays aligned.
constexpr size_t kDataSentinelSlot = 16;
constexpr ULONG kBufferPoolTag = WdfMakePoolTag("BPMo");

struct BUFFERPOOL_ENTRY {
    LIST_ENTRY ListEntry;
    WDFMEMORY BufferPoolEntryMemory;
    WDFMEMORY ClientBufferMemory; // describes the client buffer alone
    WDFTIMER Timer;
    ULONGLONG TimerExpirationMilliseconds;
    EVT_DMF_BufferPool_TimerCallback* TimerExpirationCallback;
    PVOID TimerExpirationCallbackContext;
    UCHAR* ClientBuffer;
    UCHAR* ClientBufferContext;
    ULONG BufferSize;
    ULONG BufferContextSize;
    ULONG SizeOfBufferPoolEntry;
    LIST_ENTRY* BufferPoolList;
    DMFMODULE DmfModuleBufferPool;
    ULONG* SentinelData;
    ULONG* SentinelContext;
    ULONGLONG Signature; // directly before the client buffer
};
static_assert(offsetof(BUFFERPOOL_ENTRY, Signature) + sizeof(ULONGLONG) ==
              sizeof(BUFFERPOOL_ENTRY));

struct BUFFERPOOL_TIMER_CONTEXT {
    BUFFERPOOL_ENTRY* BufferPoolEntry;
    DMFMODULE DmfModuleBufferPool;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BUFFERPOOL_TIMER_CONTEXT, BufferPoolTimerContextGet)

struct DMF_CONTEXT_BufferPool {
    BOOLEAN EnableLookAside;
    ULONG BufferPoolMode;
    LIST_ENTRY BufferList;
    ULONG NumberOfBuffersInList;
    WDF_OBJECT_ATTRIBUTES BufferObjectAttributes;
    POOL_TYPE PoolType;
    ULONG BufferPoolTag;
    size_t BufferPoolEntrySize;
    ULONG NumberOfBuffersSpawnedByLookAside;
    ULONG NumberOfBuffersToCreateInitially;
    ULONG NumberOfBuffersTaken;
    ULONG MaximumNumberOfBuffersTaken;
    size_t OffsetOfClientBuffer;
    size_t OffsetOfDataSentinel;
    size_t OffsetOfClientContext;
    size_t OffsetOfContextSentinel;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(BufferPool)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_BufferPool)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_BufferPool)
WDF_DECLARE_CUSTOM_TYPE(DMF_BufferPool_Buffer)

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_BufferPool_TypeInfo(), FALSE);
}

bool IsSource(const DMF_CONTEXT_BufferPool* context) {
    return context->BufferPoolMode == BufferPool_Mode_Source;
}

size_t RoundUp16(ULONG size) {
    return (static_cast<size_t>(size) + 15u) & ~static_cast<size_t>(15u);
}

// Where the parts of a buffer lie, from the start of its memory.
struct BUFFERPOOL_OFFSETS {
    size_t ClientBuffer;
    size_t DataSentinel;
    size_t ClientContext;
    size_t ContextSentinel;
    size_t Total;
};

BUFFERPOOL_OFFSETS OffsetsFor(ULONG BufferSize, ULONG BufferContextSize) {
    BUFFERPOOL_OFFSETS offsets;
    offsets.ClientBuffer = sizeof(BUFFERPOOL_ENTRY);
    offsets.DataSentinel = offsets.ClientBuffer + RoundUp16(BufferSize);
    offsets.ClientContext = offsets.DataSentinel + kDataSentinelSlot;
    offsets.ContextSentinel = offsets.ClientContext + RoundUp16(BufferContextSize);
    offsets.Total = offsets.ContextSentinel + sizeof(ULONG);
    return offsets;
}

// The layout the pool computed when it opened.
BUFFERPOOL_OFFSETS PoolOffsets(const DMF_CONTEXT_BufferPool* context) {
    return {context->OffsetOfClientBuffer, context->OffsetOfDataSentinel,
            context->OffsetOfClientContext, context->OffsetOfContextSentinel,
            context->BufferPoolEntrySize};
}

BUFFERPOOL_ENTRY* EntryFromClientBuffer(PVOID ClientBuffer) {
    return reinterpret_cast<BUFFERPOOL_ENTRY*>(static_cast<UCHAR*>(ClientBuffer) -
                                               sizeof(BUFFERPOOL_ENTRY));
}

void VerifierReport(const char* message) {
    TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "%s", message);
    OutputDebugStringA(message);
    DebugBreak();
}

// How far into the buffer's memory a pointer of its header leads.
size_t OffsetInBuffer(const BUFFERPOOL_ENTRY* entry, const void* Pointer) {
    return reinterpret_cast<std::uintptr_t>(Pointer) - reinterpret_cast<std::uintptr_t>(entry);
}

// Whether the header's pointers and sizes are those of a buffer laid out by
// `Offsets` with these sizes.
bool HeaderMatches(const BUFFERPOOL_ENTRY* entry, const BUFFERPOOL_OFFSETS& Offsets,
                   ULONG BufferSize, ULONG BufferContextSize) {
    const bool contextMatches =
        BufferContextSize != 0
            ? OffsetInBuffer(entry, entry->ClientBufferContext) == Offsets.ClientContext
            : entry->ClientBufferContext == nullptr;
    return entry->SizeOfBufferPoolEntry == sizeof(BUFFERPOOL_ENTRY) &&
           entry->BufferSize == BufferSize && entry->BufferContextSize == BufferContextSize &&
           OffsetInBuffer(entry, entry->ClientBuffer) == Offsets.ClientBuffer && contextMatches &&
           OffsetInBuffer(entry, entry->SentinelData) == Offsets.DataSentinel &&
           OffsetInBuffer(entry, entry->SentinelContext) == Offsets.ContextSentinel;
}

ULONG SentinelAt(const BUFFERPOOL_ENTRY* entry, size_t Offset) {
    ULONG sentinel = 0;
    std::memcpy(&sentinel, reinterpret_cast<const UCHAR*>(entry) + Offset, sizeof(sentinel));
    return sentinel;
}

// A buffer that comes back damaged is reported here, where the client that
// damaged it is still on the stack. FALSE when its header cannot be trusted.
// The sentinels are looked for where the layout puts them, never where the
// header points: a source pool has the layout of the buffers it made; a sink,
// which takes any pool's buffers, has none, and takes the one the header's
// sizes give once the header's pointers agree with it. A header whose
// pointers or sizes disagree with the layout is damaged as surely as one
// whose signature is.
bool EntryVerify(DMFMODULE DmfModule, const BUFFERPOOL_ENTRY* entry) {
    if (!DMF_IsVerifierOn()) {
        return true;
    }
    if (entry->Signature != kBufferPoolSignature) {
        // The pointers and sizes of a damaged header lead anywhere: following
        // them would end the process before the report is seen.
        VerifierReport("DMF_BufferPool signature mismatch");
        return false;
    }
    const DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    const DMF_CONFIG_BufferPool* config = DMF_CONFIG_GET(DmfModule);
    const bool source = IsSource(context);
    const ULONG bufferSize = source ? config->BufferSize : entry->BufferSize;
    const ULONG contextSize = source ? config->BufferContextSize : entry->BufferContextSize;
    const BUFFERPOOL_OFFSETS offsets =
        source ? PoolOffsets(context) : OffsetsFor(bufferSize, contextSize);
    if (!HeaderMatches(entry, offsets, bufferSize, contextSize)) {
        VerifierReport("DMF_BufferPool signature mismatch");
        return false;
    }
    if (SentinelAt(entry, offsets.DataSentinel) != kDataSentinel) {
        VerifierReport("DMF_BufferPool data sentinel mismatch");
    }
    if (SentinelAt(entry, offsets.ContextSentinel) != kContextSentinel) {
        VerifierReport("DMF_BufferPool context sentinel mismatch");
    }
    return true;
}

void BufferPool_TimerHandler(WDFTIMER Timer);

// Creates one buffer and appends it to the list; the caller holds the module lock.
NTSTATUS BufferCreate(DMFMODULE DmfModule) {
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BufferPool* config = DMF_CONFIG_GET(DmfModule);
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    NTSTATUS ntStatus =
        WdfMemoryCreate(&context->BufferObjectAttributes, context->PoolType, context->BufferPoolTag,
                        context->BufferPoolEntrySize, &memory, &buffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    ntStatus = WdfObjectAddCustomType(memory, DMF_BufferPool_Buffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfObjectAddCustomType fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        WdfObjectDelete(memory);
        return ntStatus;
    }

    auto* bytes = static_cast<UCHAR*>(buffer);
    auto* entry = static_cast<BUFFERPOOL_ENTRY*>(buffer);
    std::memset(entry, 0, sizeof(BUFFERPOOL_ENTRY));
    entry->BufferPoolEntryMemory = memory;
    entry->ClientBuffer = bytes + context->OffsetOfClientBuffer;
    entry->ClientBufferContext =
        config->BufferContextSize != 0 ? bytes + context->OffsetOfClientContext : nullptr;
    entry->BufferSize = config->BufferSize;
    entry->BufferContextSize = config->BufferContextSize;
    entry->SizeOfBufferPoolEntry = sizeof(BUFFERPOOL_ENTRY);
    entry->SentinelData = reinterpret_cast<ULONG*>(bytes + context->OffsetOfDataSentinel);
    entry->SentinelContext = reinterpret_cast<ULONG*>(bytes + context->OffsetOfContextSentinel);
    entry->Signature = kBufferPoolSignature;
    *entry->SentinelData = kDataSentinel;
    *entry->SentinelContext = kContextSentinel;

    if (config->CreateWithTimer) {
        WDF_TIMER_CONFIG timerConfig;
        WDF_TIMER_CONFIG_INIT(&timerConfig, BufferPool_TimerHandler);
        WDF_OBJECT_ATTRIBUTES timerAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&timerAttributes, BUFFERPOOL_TIMER_CONTEXT);
        timerAttributes.ParentObject = memory;
        ntStatus = WdfTimerCreate(&timerConfig, &timerAttributes, &entry->Timer);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfTimerCreate fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            WdfObjectDelete(memory);
            return ntStatus;
        }
        BUFFERPOOL_TIMER_CONTEXT* timerContext = BufferPoolTimerContextGet(entry->Timer);
        timerContext->BufferPoolEntry = entry;
        timerContext->DmfModuleBufferPool = DmfModule;
    }
    if (entry->ClientBufferContext != nullptr) {
        std::memset(entry->ClientBufferContext, 0, entry->BufferContextSize);
    }
    if (entry->BufferSize != 0) {
        WDF_OBJECT_ATTRIBUTES clientAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&clientAttributes);
        clientAttributes.ParentObject = memory;
        ntStatus = WdfMemoryCreatePreallocated(&clientAttributes, entry->ClientBuffer,
                                               entry->BufferSize, &entry->ClientBufferMemory);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                        "WdfMemoryCreatePreallocated fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            WdfObjectDelete(memory);
            return ntStatus;
        }
    }
    entry->BufferPoolList = &context->BufferList;
    entry->DmfModuleBufferPool = DmfModule;
    InsertTailList(&context->BufferList, &entry->ListEntry);
    context->NumberOfBuffersInList++;
    return STATUS_SUCCESS;
}

// Takes a buffer whose timer (if it was armed) was stopped before it fired.
NTSTATUS EntryGet(DMFMODULE DmfModule, BUFFERPOOL_ENTRY** Entry) {
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    BUFFERPOOL_ENTRY* found = nullptr;
    DMF_ModuleLock(DmfModule);
    if (IsListEmpty(&context->BufferList) && context->EnableLookAside) {
        if (NT_SUCCESS(BufferCreate(DmfModule))) {
            context->NumberOfBuffersSpawnedByLookAside++;
        }
    }
    for (LIST_ENTRY* link = context->BufferList.Flink; link != &context->BufferList;
         link = link->Flink) {
        auto* entry = CONTAINING_RECORD(link, BUFFERPOOL_ENTRY, ListEntry);
        if (entry->TimerExpirationCallback == nullptr || WdfTimerStop(entry->Timer, FALSE)) {
            found = entry;
            break;
        }
    }
    if (found != nullptr) {
        RemoveEntryList(&found->ListEntry);
        context->NumberOfBuffersInList--;
        found->TimerExpirationMilliseconds = 0;
        found->TimerExpirationCallback = nullptr;
        found->TimerExpirationCallbackContext = nullptr;
        if (IsSource(context)) {
            context->NumberOfBuffersTaken++;
            if (context->NumberOfBuffersTaken > context->MaximumNumberOfBuffersTaken) {
                context->MaximumNumberOfBuffersTaken = context->NumberOfBuffersTaken;
            }
        }
    }
    DMF_ModuleUnlock(DmfModule);
    *Entry = found;
    return found != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void EntryPut(DMFMODULE DmfModule, BUFFERPOOL_ENTRY* entry) {
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BufferPool* config = DMF_CONFIG_GET(DmfModule);
    if (IsSource(context)) {
        // By the pool's own layout: a damaged size in the header must not
        // carry the fill past the buffer.
        auto* bytes = reinterpret_cast<UCHAR*>(entry);
        std::memset(bytes + context->OffsetOfClientBuffer, 0, config->BufferSize);
        std::memset(bytes + context->OffsetOfClientContext, 0, config->BufferContextSize);
    }
    bool extra = false;
    DMF_ModuleLock(DmfModule);
    if (context->EnableLookAside && context->NumberOfBuffersSpawnedByLookAside > 0) {
        context->NumberOfBuffersSpawnedByLookAside--;
        extra = true;
    } else {
        InsertTailList(&context->BufferList, &entry->ListEntry);
        context->NumberOfBuffersInList++;
        if (IsSource(context)) {
            context->NumberOfBuffersTaken--;
        }
        entry->BufferPoolList = &context->BufferList;
        entry->DmfModuleBufferPool = DmfModule;
    }
    DMF_ModuleUnlock(DmfModule);
    if (extra) {
        WdfObjectDelete(entry->BufferPoolEntryMemory);
    }
}

void BufferPool_TimerHandler(WDFTIMER Timer) {
    BUFFERPOOL_TIMER_CONTEXT* timerContext = BufferPoolTimerContextGet(Timer);
    BUFFERPOOL_ENTRY* target = timerContext->BufferPoolEntry;
    DMFMODULE dmfModule = timerContext->DmfModuleBufferPool;
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(dmfModule);
    EVT_DMF_BufferPool_TimerCallback* callback = nullptr;
    PVOID callbackContext = nullptr;

    // A Get may have taken the buffer between the due time and this lock.
    DMF_ModuleLock(dmfModule);
    for (LIST_ENTRY* link = context->BufferList.Flink; link != &context->BufferList;
         link = link->Flink) {
        auto* entry = CONTAINING_RECORD(link, BUFFERPOOL_ENTRY, ListEntry);
        if (entry == target && entry->TimerExpirationCallback != nullptr) {
            RemoveEntryList(&entry->ListEntry);
            context->NumberOfBuffersInList--;
            callback = entry->TimerExpirationCallback;
            callbackContext = entry->TimerExpirationCallbackContext;
            entry->TimerExpirationMilliseconds = 0;
            entry->TimerExpirationCallback = nullptr;
            entry->TimerExpirationCallbackContext = nullptr;
            break;
        }
    }
    DMF_ModuleUnlock(dmfModule);
    if (callback != nullptr) {
        callback(dmfModule, target->ClientBuffer, target->ClientBufferContext, callbackContext);
    }
}

// Deletes every buffer in the list. Timers are stopped outside the lock:
// a running timer callback takes it.
void BuffersDelete(DMFMODULE DmfModule) {
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    for (;;) {
        DMF_ModuleLock(DmfModule);
        if (IsListEmpty(&context->BufferList)) {
            DMF_ModuleUnlock(DmfModule);
            break;
        }
        auto* entry =
            CONTAINING_RECORD(RemoveHeadList(&context->BufferList), BUFFERPOOL_ENTRY, ListEntry);
        context->NumberOfBuffersInList--;
        DMF_ModuleUnlock(DmfModule);
        if (entry->Timer != nullptr) {
            WdfTimerStop(entry->Timer, TRUE);
            WdfObjectDelete(entry->Timer);
        }
        WdfObjectDelete(entry->BufferPoolEntryMemory);
    }
}

NTSTATUS BufferPool_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BufferPool* config = DMF_CONFIG_GET(DmfModule);
    InitializeListHead(&context->BufferList);
    context->NumberOfBuffersInList = 0;
    context->BufferPoolMode = config->BufferPoolMode;
    if (!IsSource(context)) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_SUCCESS));
        return STATUS_SUCCESS;
    }
    // A buffer given back to the pool would free its own timer while the
    // timer may be running.
    if (config->CreateWithTimer && config->EnableLookAside) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Timers and look-aside cannot be combined");
        return STATUS_NOT_SUPPORTED;
    }
    context->EnableLookAside = config->EnableLookAside ? TRUE : FALSE;
    const BUFFERPOOL_OFFSETS offsets = OffsetsFor(config->BufferSize, config->BufferContextSize);
    context->OffsetOfClientBuffer = offsets.ClientBuffer;
    context->OffsetOfDataSentinel = offsets.DataSentinel;
    context->OffsetOfClientContext = offsets.ClientContext;
    context->OffsetOfContextSentinel = offsets.ContextSentinel;
    context->BufferPoolEntrySize = offsets.Total;
    WDF_OBJECT_ATTRIBUTES_INIT(&context->BufferObjectAttributes);
    context->BufferObjectAttributes.ParentObject = DMF_ParentDeviceGet(DmfModule);
    context->PoolType = static_cast<POOL_TYPE>(config->PoolType);
    context->BufferPoolTag = kBufferPoolTag;
    context->NumberOfBuffersToCreateInitially = config->BufferCount;

    NTSTATUS ntStatus = STATUS_SUCCESS;
    DMF_ModuleLock(DmfModule);
    for (ULONG index = 0; index < config->BufferCount && NT_SUCCESS(ntStatus); ++index) {
        ntStatus = BufferCreate(DmfModule);
    }
    DMF_ModuleUnlock(DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        BuffersDelete(DmfModule);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void BufferPool_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    BuffersDelete(DmfModule);
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_BufferPool_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                               WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = BufferPool_Open;
    callbacksDmf.DeviceClose = BufferPool_Close;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, BufferPool, DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_BufferPool);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_BufferPool);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    if (NT_SUCCESS(ntStatus)) {
        // Paged memory may only be touched where the module's lock lets the
        // caller wait.
        const DMF_CONFIG_BufferPool* config = DMF_CONFIG_GET(*DmfModule);
        if (DMF_IsVerifierOn() && config->BufferPoolMode == BufferPool_Mode_Source &&
            (config->PoolType & PagedPool) != 0 && !DMF_ModuleIsPassive(*DmfModule)) {
            VerifierReport("Invalid Pool/Lock combination");
        }
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_BufferPool_Get(DMFMODULE DmfModule, PVOID* ClientBuffer, PVOID* ClientBufferContext) {
    return DMF_BufferPool_GetWithMemory(DmfModule, ClientBuffer, ClientBufferContext, nullptr);
}

NTSTATUS DMF_BufferPool_GetWithMemory(DMFMODULE DmfModule, PVOID* ClientBuffer,
                                      PVOID* ClientBufferContext, WDFMEMORY* ClientBufferMemory) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    BUFFERPOOL_ENTRY* entry = nullptr;
    NTSTATUS ntStatus = EntryGet(DmfModule, &entry);
    *ClientBuffer = entry != nullptr ? entry->ClientBuffer : nullptr;
    if (ClientBufferContext != nullptr) {
        *ClientBufferContext = entry != nullptr ? entry->ClientBufferContext : nullptr;
    }
    if (ClientBufferMemory != nullptr) {
        *ClientBufferMemory = entry != nullptr ? entry->ClientBufferMemory : nullptr;
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_BufferPool_Put(DMFMODULE DmfModule, PVOID ClientBuffer) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    BUFFERPOOL_ENTRY* entry = EntryFromClientBuffer(ClientBuffer);
    if (EntryVerify(DmfModule, entry)) {
        EntryPut(DmfModule, entry);
    }
    FuncExitVoid(DMF_TRACE);
}

void DMF_BufferPool_ContextGet(DMFMODULE DmfModule, PVOID ClientBuffer,
                               PVOID* ClientBufferContext) {
    ValidateHandle(DmfModule);
    *ClientBufferContext = EntryFromClientBuffer(ClientBuffer)->ClientBufferContext;
}

void DMF_BufferPool_PutInSinkWithTimer(DMFMODULE DmfModule, PVOID ClientBuffer,
                                       ULONGLONG TimerExpirationMilliseconds,
                                       EVT_DMF_BufferPool_TimerCallback* TimerExpirationCallback,
                                       PVOID TimerExpirationCallbackContext) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_BufferPool* context = DMF_CONTEXT_GET(DmfModule);
    BUFFERPOOL_ENTRY* entry = EntryFromClientBuffer(ClientBuffer);
    if (!EntryVerify(DmfModule, entry)) {
        FuncExitVoid(DMF_TRACE);
        return;
    }
    if (entry->Timer == nullptr || TimerExpirationCallback == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Buffer %p has no timer or no callback",
                    ClientBuffer);
        EntryPut(DmfModule, entry);
        FuncExitVoid(DMF_TRACE);
        return;
    }
    DMF_ModuleLock(DmfModule);
    InsertTailList(&context->BufferList, &entry->ListEntry);
    context->NumberOfBuffersInList++;
    entry->BufferPoolList = &context->BufferList;
    entry->DmfModuleBufferPool = DmfModule;
    entry->TimerExpirationMilliseconds = TimerExpirationMilliseconds;
    entry->TimerExpirationCallback = TimerExpirationCallback;
    entry->TimerExpirationCallbackContext = TimerExpirationCallbackContext;
    BufferPoolTimerContextGet(entry->Timer)->DmfModuleBufferPool = DmfModule;
    WdfTimerStart(entry->Timer,
                  WDF_REL_TIMEOUT_IN_MS(static_cast<LONGLONG>(TimerExpirationMilliseconds)));
    DMF_ModuleUnlock(DmfModule);
    FuncExitVoid(DMF_TRACE);
}
