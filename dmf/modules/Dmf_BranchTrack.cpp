// The BranchTrack module. A branch is keyed by its module and branch name,
// each NUL-terminated, in a zero-filled key of fixed length; the table maps
// the key to the branch's slot in an array made at open, which holds the
// counter, the hint and the condition. Counting a declared branch takes only
// the table's lock; declaring one is serialised by the module lock so that a
// branch takes one slot however many threads declare it at once. Nothing is
// ever removed, so the IOCTL's answer lists the branches in the order they
// were declared.
#include "dmf/modules/Dmf_BranchTrack.h"

#include "dmf/framework/DmfUtility.h"
#include "dmf/modules/Dmf_BufferPool.h"
#include "dmf/modules/Dmf_HashTable.h"
#include "platform/trace.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr ULONG kBranchesPoolTag = WdfMakePoolTag("BTMo");
constexpr ULONG kKeyBufferCount = 16;
// Keys are both names plus this much, rounded up to 8: room for the names'
// two terminators and to spare.
constexpr ULONG kKeyRoom = 67;
constexpr ULONG kSymbolicLinkRetries = 4;
constexpr ULONG kSymbolicLinkRetryMilliseconds = 1000;
constexpr size_t kNamesRoom = 3; // the three terminators after a record's header

struct BRANCHTRACK_BRANCH {
    std::atomic<ULONG> Count;
    EVT_DMF_BranchTrack_StatusQuery* StatusQuery;
    ULONG StatusQueryContext;
    CHAR Hint[BRANCHTRACK_MAXIMUM_HINT_LENGTH + 1];
};

struct DMF_CONTEXT_BranchTrack {
    DMFMODULE DmfModuleHashTable;
    DMFMODULE DmfModuleBufferPool;
    ULONG KeyLength;
    BRANCHTRACK_BRANCH* Branches; // memory of the module, made at open
    ULONG NumberOfBranches;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(BranchTrack)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_BranchTrack)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_BranchTrack)

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_BranchTrack_TypeInfo(), FALSE);
}

// The names a key holds, and the branch its value names.
struct BranchView {
    PCSTR ModuleName;
    size_t ModuleNameLength;
    PCSTR BranchName;
    size_t BranchNameLength;
    BRANCHTRACK_BRANCH* Branch;
    size_t HintLength;
};

BranchView BranchViewGet(DMF_CONTEXT_BranchTrack* context, const UCHAR* Key, ULONG KeyLength,
                         const UCHAR* Value) {
    BranchView view{};
    view.ModuleName = reinterpret_cast<PCSTR>(Key);
    view.ModuleNameLength = strnlen(view.ModuleName, KeyLength);
    view.BranchName = view.ModuleName + view.ModuleNameLength + 1;
    view.BranchNameLength = strnlen(view.BranchName, KeyLength - view.ModuleNameLength - 1);
    ULONGLONG index = 0;
    std::memcpy(&index, Value, sizeof(index));
    view.Branch = &context->Branches[index];
    view.HintLength = strnlen(view.Branch->Hint, sizeof(view.Branch->Hint));
    return view;
}

size_t RecordSize(const BranchView& view) {
    return BRANCHTRACK_RECORD_HEADER_SIZE + view.BranchNameLength + view.HintLength +
           view.ModuleNameLength + kNamesRoom;
}

// Writes the module and branch names into a key buffer. The rest of the key
// is zeroed: a pool hands out fresh buffers as they were allocated.
NTSTATUS KeyWrite(DMFMODULE DmfModule, PCSTR ModuleName, PCSTR BranchName, UCHAR* Key) {
    DMF_CONFIG_BranchTrack* config = DMF_CONFIG_GET(DmfModule);
    const size_t moduleLength = std::strlen(ModuleName);
    const size_t branchLength = std::strlen(BranchName);
    if (moduleLength > config->ModuleNameLength || branchLength > config->BranchNameLength) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Name too long: %s / %s", ModuleName, BranchName);
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(Key, 0, DMF_CONTEXT_GET(DmfModule)->KeyLength);
    std::memcpy(Key, ModuleName, moduleLength);
    std::memcpy(Key + moduleLength + 1, BranchName, branchLength);
    return STATUS_SUCCESS;
}

NTSTATUS BranchFind(DMF_CONTEXT_BranchTrack* context, const UCHAR* Key, ULONGLONG* Index) {
    ULONG valueLength = 0;
    return DMF_HashTable_Find(context->DmfModuleHashTable, Key, context->KeyLength,
                              reinterpret_cast<UCHAR*>(Index), sizeof(*Index), &valueLength);
}

// Finds the key's branch, declaring it when it is new.
NTSTATUS BranchGet(DMFMODULE DmfModule, const UCHAR* Key, PCSTR Hint,
                   EVT_DMF_BranchTrack_StatusQuery* StatusQuery, ULONG StatusQueryContext,
                   BRANCHTRACK_BRANCH** Branch) {
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BranchTrack* config = DMF_CONFIG_GET(DmfModule);
    ULONGLONG index = 0;
    NTSTATUS ntStatus = BranchFind(context, Key, &index);
    if (ntStatus == STATUS_NOT_FOUND) {
        DMF_ModuleLock(DmfModule);
        ntStatus = BranchFind(context, Key, &index);
        if (ntStatus == STATUS_NOT_FOUND) {
            index = context->NumberOfBranches;
            if (index == config->MaximumBranches) {
                TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "All %u branches in use",
                            static_cast<unsigned>(config->MaximumBranches));
                ntStatus = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                // The slot is complete before the table names it: others read
                // it without this lock.
                auto* branch = new (&context->Branches[index]) BRANCHTRACK_BRANCH{};
                branch->StatusQuery = StatusQuery;
                branch->StatusQueryContext = StatusQueryContext;
                std::memcpy(branch->Hint, Hint, std::strlen(Hint));
                ntStatus =
                    DMF_HashTable_Insert(context->DmfModuleHashTable, Key, context->KeyLength,
                                         reinterpret_cast<const UCHAR*>(&index), sizeof(index));
                if (NT_SUCCESS(ntStatus)) {
                    context->NumberOfBranches++;
                }
            }
        }
        DMF_ModuleUnlock(DmfModule);
    }
    if (NT_SUCCESS(ntStatus)) {
        *Branch = &context->Branches[index];
    }
    return ntStatus;
}

NTSTATUS BranchRecord(DMFMODULE DmfModule, PCSTR ModuleName, PCSTR BranchName, PCSTR Hint,
                      EVT_DMF_BranchTrack_StatusQuery* StatusQuery, ULONG StatusQueryContext,
                      ULONG Increment) {
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(DmfModule);
    if (std::strlen(Hint) > BRANCHTRACK_MAXIMUM_HINT_LENGTH) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Hint too long: %s", Hint);
        return STATUS_INVALID_PARAMETER;
    }
    PVOID key = nullptr;
    NTSTATUS ntStatus = DMF_BufferPool_Get(context->DmfModuleBufferPool, &key, nullptr);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No key buffer: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ntStatus = KeyWrite(DmfModule, ModuleName, BranchName, static_cast<UCHAR*>(key));
    BRANCHTRACK_BRANCH* branch = nullptr;
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = BranchGet(DmfModule, static_cast<UCHAR*>(key), Hint, StatusQuery,
                             StatusQueryContext, &branch);
    }
    if (NT_SUCCESS(ntStatus)) {
        branch->Count.fetch_add(Increment, std::memory_order_relaxed);
    }
    DMF_BufferPool_Put(context->DmfModuleBufferPool, key);
    return ntStatus;
}

// The IOCTL's command-2 answer, built in two walks over the table: one to
// size it, one to write the records the first walk counted. Branches are only
// ever appended, so one declared in between comes after those and is left out.
struct BRANCHTRACK_ANSWER {
    DMFMODULE DmfModule;
    ULONG Records;
    size_t Size;
    UCHAR* Output;
    UCHAR* PreviousRecord;
};

BOOLEAN AnswerSize(DMFMODULE, const UCHAR* Key, ULONG KeyLength, UCHAR* Value, ULONG,
                   PVOID CallbackContext) {
    auto* answer = static_cast<BRANCHTRACK_ANSWER*>(CallbackContext);
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(answer->DmfModule);
    answer->Size += RecordSize(BranchViewGet(context, Key, KeyLength, Value));
    answer->Records++;
    return TRUE;
}

void PutUlong(UCHAR* at, size_t value) {
    const auto word = static_cast<ULONG>(value);
    std::memcpy(at, &word, sizeof(word));
}

UCHAR* PutName(UCHAR* at, PCSTR name, size_t length) {
    std::memcpy(at, name, length);
    at[length] = 0;
    return at + length + 1;
}

BOOLEAN AnswerWrite(DMFMODULE, const UCHAR* Key, ULONG KeyLength, UCHAR* Value, ULONG,
                    PVOID CallbackContext) {
    auto* answer = static_cast<BRANCHTRACK_ANSWER*>(CallbackContext);
    if (answer->Records == 0) {
        return FALSE;
    }
    answer->Records--;
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(answer->DmfModule);
    const BranchView view = BranchViewGet(context, Key, KeyLength, Value);
    BRANCHTRACK_BRANCH* branch = view.Branch;
    const ULONG count = branch->Count.load(std::memory_order_relaxed);
    const BOOLEAN status = branch->StatusQuery == nullptr
                               ? TRUE
                               : branch->StatusQuery(answer->DmfModule, view.BranchName,
                                                     branch->StatusQueryContext, count);

    UCHAR* record = answer->Output + answer->Size;
    if (answer->PreviousRecord != nullptr) {
        PutUlong(answer->PreviousRecord, static_cast<size_t>(record - answer->PreviousRecord));
    }
    answer->PreviousRecord = record;
    std::memset(record, 0, BRANCHTRACK_RECORD_HEADER_SIZE);
    PutUlong(record + 4, BRANCHTRACK_RECORD_HEADER_SIZE);
    PutUlong(record + 8, count);
    UCHAR* at = record + BRANCHTRACK_RECORD_HEADER_SIZE;
    PutUlong(record + 12, static_cast<size_t>(at - record));
    at = PutName(at, view.BranchName, view.BranchNameLength);
    PutUlong(record + 16, static_cast<size_t>(at - record));
    at = PutName(at, branch->Hint, view.HintLength);
    PutUlong(record + 20, static_cast<size_t>(at - record));
    at = PutName(at, view.ModuleName, view.ModuleNameLength);
    record[24] = status ? 1 : 0;
    std::memcpy(record + 28, &branch->StatusQuery, sizeof(branch->StatusQuery));
    PutUlong(record + 36, branch->StatusQueryContext);
    answer->Size = static_cast<size_t>(at - answer->Output);
    return TRUE;
}

// Completes with STATUS_BUFFER_TOO_SMALL, and no data, when the caller's
// buffer cannot take the whole answer.
NTSTATUS OutputBufferGet(WDFREQUEST Request, size_t Required, UCHAR** Output) {
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS ntStatus = WdfRequestRetrieveOutputBuffer(Request, Required, &buffer, &length);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Output buffer: %zu bytes required, 0x%08X",
                    Required, static_cast<unsigned>(ntStatus));
    }
    *Output = static_cast<UCHAR*>(buffer);
    return ntStatus;
}

NTSTATUS ModuleNameAnswer(DMFMODULE DmfModule, WDFREQUEST Request, size_t* BytesWritten) {
    PCSTR name = DMF_ModuleInstanceNameGet(DmfModule);
    const size_t nameLength = std::strlen(name);
    const size_t required = 4 * sizeof(ULONG) + nameLength + 1;
    UCHAR* output = nullptr;
    NTSTATUS ntStatus = OutputBufferGet(Request, required, &output);
    if (NT_SUCCESS(ntStatus)) {
        std::memset(output, 0, 4 * sizeof(ULONG));
        PutUlong(output, BranchTrack_RequestType_ModuleName);
        PutUlong(output + 4, nameLength + 9);
        PutName(output + 4 * sizeof(ULONG), name, nameLength);
        *BytesWritten = required;
    }
    return ntStatus;
}

NTSTATUS BranchDetailsAnswer(DMFMODULE DmfModule, WDFREQUEST Request, size_t* BytesWritten) {
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(DmfModule);
    BRANCHTRACK_ANSWER answer{};
    answer.DmfModule = DmfModule;
    DMF_HashTable_Enumerate(context->DmfModuleHashTable, AnswerSize, &answer);
    // The records follow {command, 0}.
    constexpr size_t kPrefix = 2 * sizeof(ULONG);
    UCHAR* output = nullptr;
    NTSTATUS ntStatus = OutputBufferGet(Request, kPrefix + answer.Size, &output);
    if (NT_SUCCESS(ntStatus)) {
        PutUlong(output, BranchTrack_RequestType_BranchDetails);
        PutUlong(output + 4, 0);
        answer.Output = output + kPrefix;
        answer.Size = 0;
        DMF_HashTable_Enumerate(context->DmfModuleHashTable, AnswerWrite, &answer);
        *BytesWritten = kPrefix + answer.Size;
    }
    return ntStatus;
}

BOOLEAN BranchTrack_DeviceIoControl(DMFMODULE DmfModule, WDFQUEUE, WDFREQUEST Request, size_t,
                                    size_t, ULONG IoControlCode) {
    if (IoControlCode != IOCTL_BRANCHTRACK_QUERY_INFORMATION) {
        return FALSE;
    }
    FuncEntry(DMF_TRACE);
    PVOID input = nullptr;
    size_t bytesWritten = 0;
    NTSTATUS ntStatus = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), &input, nullptr);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No command: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    } else {
        // Read before anything is written: input and output share one buffer.
        ULONG command = 0;
        std::memcpy(&command, input, sizeof(command));
        switch (command) {
        case BranchTrack_RequestType_ModuleName:
            ntStatus = ModuleNameAnswer(DmfModule, Request, &bytesWritten);
            break;
        case BranchTrack_RequestType_BranchDetails:
            ntStatus = BranchDetailsAnswer(DmfModule, Request, &bytesWritten);
            break;
        default:
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Unknown command %u",
                        static_cast<unsigned>(command));
            ntStatus = STATUS_NOT_SUPPORTED;
            break;
        }
    }
    WdfRequestCompleteWithInformation(Request, ntStatus, bytesWritten);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return TRUE;
}

void BranchTrack_ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*,
                                 PDMFMODULE_INIT DmfModuleInit) {
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BranchTrack* config = DMF_CONFIG_GET(DmfModule);
    context->KeyLength =
        (config->BranchNameLength + config->ModuleNameLength + kKeyRoom + 7u) & ~7u;

    DMF_MODULE_ATTRIBUTES attributes;
    DMF_CONFIG_HashTable hashTableConfig;
    DMF_CONFIG_HashTable_AND_ATTRIBUTES_INIT(&hashTableConfig, &attributes);
    hashTableConfig.MaximumKeyLength = context->KeyLength;
    hashTableConfig.MaximumValueLength = sizeof(ULONGLONG);
    hashTableConfig.MaximumTableSize = config->MaximumBranches;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleHashTable);

    // Key buffers, so that counting a branch allocates nothing in the usual case.
    DMF_CONFIG_BufferPool bufferPoolConfig;
    DMF_CONFIG_BufferPool_AND_ATTRIBUTES_INIT(&bufferPoolConfig, &attributes);
    bufferPoolConfig.BufferPoolMode = BufferPool_Mode_Source;
    bufferPoolConfig.BufferCount = kKeyBufferCount;
    bufferPoolConfig.BufferSize = context->KeyLength;
    bufferPoolConfig.EnableLookAside = 1;
    bufferPoolConfig.PoolType = NonPagedPoolNx;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleBufferPool);
}

NTSTATUS SymbolicLinkCreate(DMFMODULE DmfModule, PCWSTR SymbolicLinkName) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SymbolicLinkName);
    WDFDEVICE device = DMF_ParentDeviceGet(DmfModule);
    NTSTATUS ntStatus = WdfDeviceCreateSymbolicLink(device, &name);
    // The name may still belong to an instance of the device that is going away.
    for (ULONG retry = 0; ntStatus == STATUS_OBJECT_NAME_COLLISION && retry < kSymbolicLinkRetries;
         ++retry) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Symbolic link name taken, retry %u",
                    static_cast<unsigned>(retry + 1));
        DMF_SleepMilliseconds(kSymbolicLinkRetryMilliseconds);
        ntStatus = WdfDeviceCreateSymbolicLink(device, &name);
    }
    return ntStatus;
}

NTSTATUS BranchTrack_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_BranchTrack* config = DMF_CONFIG_GET(DmfModule);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    WDFMEMORY memory = nullptr;
    PVOID branches = nullptr;
    NTSTATUS ntStatus =
        WdfMemoryCreate(&attributes, NonPagedPoolNx, kBranchesPoolTag,
                        sizeof(BRANCHTRACK_BRANCH) * config->MaximumBranches, &memory, &branches);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    context->Branches = static_cast<BRANCHTRACK_BRANCH*>(branches);
    context->NumberOfBranches = 0;

    if (config->BranchesInitialize != nullptr) {
        config->BranchesInitialize(DmfModule);
    }
    if (config->SymbolicLinkName == nullptr) {
        ntStatus = WdfDeviceCreateDeviceInterface(DMF_ParentDeviceGet(DmfModule),
                                                  &GUID_DEVINTERFACE_BranchTrack, nullptr);
    } else {
        ntStatus = SymbolicLinkCreate(DmfModule, config->SymbolicLinkName);
    }
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No interface or link: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void BranchTrack_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    // The branch array goes with the module: this module opens only once.
    DMF_CONTEXT_BranchTrack* context = DMF_CONTEXT_GET(DmfModule);
    context->DmfModuleHashTable = nullptr;
    context->DmfModuleBufferPool = nullptr;
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_BranchTrack_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = BranchTrack_Open;
    callbacksDmf.DeviceClose = BranchTrack_Close;
    callbacksDmf.ChildModulesAdd = BranchTrack_ChildModulesAdd;
    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
    callbacksWdf.DeviceIoControl = BranchTrack_DeviceIoControl;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, BranchTrack, DMF_MODULE_OPTIONS_DISPATCH,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_BranchTrack);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_BranchTrack);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_DmfDeviceInitSetBranchTrackConfig(PDMFDEVICE_INIT DmfDeviceInit,
                                           DMF_CONFIG_BranchTrack* BranchTrackConfig) {
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_MODULE_ATTRIBUTES_INIT(&attributes, sizeof(DMF_CONFIG_BranchTrack), BranchTrackConfig,
                               DMF_BranchTrack_Create);
    DMF_DmfDeviceInitBranchTrackModuleSet(DmfDeviceInit, &attributes);
}

NTSTATUS DMF_BranchTrack_BranchCreate(DMFMODULE DmfModule, PCSTR ModuleName, PCSTR BranchName,
                                      PCSTR Hint, EVT_DMF_BranchTrack_StatusQuery* StatusQuery,
                                      ULONG StatusQueryContext) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    NTSTATUS ntStatus =
        BranchRecord(DmfModule, ModuleName, BranchName, Hint, StatusQuery, StatusQueryContext, 0);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_BranchTrack_BranchTaken(DMFMODULE DmfModule, PCSTR ModuleName, PCSTR BranchName) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    NTSTATUS ntStatus = BranchRecord(DmfModule, ModuleName, BranchName, "", nullptr, 0, 1);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
