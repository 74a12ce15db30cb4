// The HashTable module. The slot array maps a hash to the first entry of its
// chain; entries are taken from the entry array in order and chained through
// their link word, so an insert never allocates and enumeration walks the
// entries in the order they were inserted. Every method works under the
// module lock.
#include "dmf/modules/Dmf_HashTable.h"

#include "platform/trace.h"

#include <cstring>

namespace {

constexpr ULONG kHashTablePoolTag = WdfMakePoolTag("HTMo");
constexpr ULONG kNoEntry = 0xFFFFFFFFu;
constexpr ULONGLONG kFnvOffsetBasis = 0xCBF29CE484222325ull;
constexpr ULONGLONG kFnvPrime = 0x100000001B3ull;

// Each entry: this header, MaximumKeyLength key bytes, MaximumValueLength
// value bytes, padded to a multiple of 8.
struct HASHTABLE_ENTRY {
    ULONG KeyLength;
    ULONG ValueLength;
    ULONG NextIndex; // next entry of the same slot, kNoEntry at the end
};
static_assert(sizeof(HASHTABLE_ENTRY) == 12);

struct DMF_CONTEXT_HashTable {
    ULONG MaximumKeyLength;
    ULONG MaximumValueLength;
    size_t EntrySize;
    size_t NumberOfHashSlots;
    ULONG MaximumTableSize;
    ULONG NumberOfEntries;
    ULONG* HashMap;
    WDFMEMORY HashMapMemory;
    UCHAR* DataBlock;
    WDFMEMORY DataBlockMemory;
    EVT_DMF_HashTable_HashCalculate* HashCalculate;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(HashTable)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_HashTable)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_HashTable)

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_HashTable_TypeInfo(), FALSE);
}

HASHTABLE_ENTRY* EntryGet(DMF_CONTEXT_HashTable* context, ULONG index) {
    return reinterpret_cast<HASHTABLE_ENTRY*>(context->DataBlock + index * context->EntrySize);
}

UCHAR* EntryKey(HASHTABLE_ENTRY* entry) {
    return reinterpret_cast<UCHAR*>(entry + 1);
}

UCHAR* EntryValue(DMF_CONTEXT_HashTable* context, HASHTABLE_ENTRY* entry) {
    return EntryKey(entry) + context->MaximumKeyLength;
}

ULONG* SlotGet(DMF_CONTEXT_HashTable* context, const UCHAR* Key, ULONG KeyLength) {
    return &context->HashMap[context->HashCalculate(Key, KeyLength) % context->NumberOfHashSlots];
}

// The entry holding the key, or NULL; the caller holds the module lock.
HASHTABLE_ENTRY* EntryFind(DMF_CONTEXT_HashTable* context, const UCHAR* Key, ULONG KeyLength) {
    for (ULONG index = *SlotGet(context, Key, KeyLength); index != kNoEntry;) {
        HASHTABLE_ENTRY* entry = EntryGet(context, index);
        if (entry->KeyLength == KeyLength && std::memcmp(EntryKey(entry), Key, KeyLength) == 0) {
            return entry;
        }
        index = entry->NextIndex;
    }
    return nullptr;
}

void ArraysDelete(DMF_CONTEXT_HashTable* context) {
    if (context->HashMapMemory != nullptr) {
        WdfObjectDelete(context->HashMapMemory);
        context->HashMapMemory = nullptr;
        context->HashMap = nullptr;
    }
    if (context->DataBlockMemory != nullptr) {
        WdfObjectDelete(context->DataBlockMemory);
        context->DataBlockMemory = nullptr;
        context->DataBlock = nullptr;
    }
}

NTSTATUS ArrayCreate(DMFMODULE DmfModule, size_t size, WDFMEMORY* Memory, PVOID* Buffer) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    NTSTATUS ntStatus =
        WdfMemoryCreate(&attributes, NonPagedPoolNx, kHashTablePoolTag, size, Memory, Buffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        *Memory = nullptr;
        *Buffer = nullptr;
    }
    return ntStatus;
}

NTSTATUS HashTable_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_HashTable* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_HashTable* config = DMF_CONFIG_GET(DmfModule);
    // An empty table would leave no slot to hash into.
    if (config->MaximumTableSize == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "A table of no entries");
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_INVALID_PARAMETER));
        return STATUS_INVALID_PARAMETER;
    }
    context->MaximumKeyLength = config->MaximumKeyLength;
    context->MaximumValueLength = config->MaximumValueLength;
    context->EntrySize = (sizeof(HASHTABLE_ENTRY) + static_cast<size_t>(config->MaximumKeyLength) +
                          config->MaximumValueLength + 7u) &
                         ~static_cast<size_t>(7u);
    context->NumberOfHashSlots = 2u * static_cast<size_t>(config->MaximumTableSize);
    context->MaximumTableSize = config->MaximumTableSize;
    context->NumberOfEntries = 0;
    context->HashCalculate = config->EvtHashTableHashCalculate != nullptr
                                 ? config->EvtHashTableHashCalculate
                                 : DMF_HashTable_DefaultHashCalculate;

    PVOID hashMap = nullptr;
    PVOID dataBlock = nullptr;
    NTSTATUS ntStatus = ArrayCreate(DmfModule, context->NumberOfHashSlots * sizeof(ULONG),
                                    &context->HashMapMemory, &hashMap);
    if (NT_SUCCESS(ntStatus)) {
        context->HashMap = static_cast<ULONG*>(hashMap);
        std::memset(context->HashMap, 0xFF, context->NumberOfHashSlots * sizeof(ULONG));
        const size_t dataSize = context->MaximumTableSize * context->EntrySize;
        ntStatus = ArrayCreate(DmfModule, dataSize, &context->DataBlockMemory, &dataBlock);
        if (NT_SUCCESS(ntStatus)) {
            context->DataBlock = static_cast<UCHAR*>(dataBlock);
            std::memset(context->DataBlock, 0, dataSize);
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        ArraysDelete(context);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void HashTable_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    ArraysDelete(DMF_CONTEXT_GET(DmfModule));
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_HashTable_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                              WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = HashTable_Open;
    callbacksDmf.DeviceClose = HashTable_Close;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, HashTable, DMF_MODULE_OPTIONS_DISPATCH,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_HashTable);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_HashTable);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

ULONGLONG DMF_HashTable_DefaultHashCalculate(const UCHAR* Key, ULONG KeyLength) {
    ULONGLONG hash = kFnvOffsetBasis;
    for (ULONG index = 0; index < KeyLength; ++index) {
        hash ^= Key[index];
        hash *= kFnvPrime;
    }
    return hash;
}

NTSTATUS DMF_HashTable_Insert(DMFMODULE DmfModule, const UCHAR* Key, ULONG KeyLength,
                              const UCHAR* Value, ULONG ValueLength) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_HashTable* context = DMF_CONTEXT_GET(DmfModule);
    if (KeyLength == 0 || KeyLength > context->MaximumKeyLength ||
        ValueLength > context->MaximumValueLength) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Key of %u or value of %u bytes refused",
                    static_cast<unsigned>(KeyLength), static_cast<unsigned>(ValueLength));
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_INVALID_PARAMETER));
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS ntStatus = STATUS_SUCCESS;
    DMF_ModuleLock(DmfModule);
    HASHTABLE_ENTRY* entry = EntryFind(context, Key, KeyLength);
    if (entry == nullptr) {
        if (context->NumberOfEntries == context->MaximumTableSize) {
            ntStatus = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ULONG* slot = SlotGet(context, Key, KeyLength);
            const ULONG index = context->NumberOfEntries++;
            entry = EntryGet(context, index);
            entry->KeyLength = KeyLength;
            std::memcpy(EntryKey(entry), Key, KeyLength);
            entry->NextIndex = *slot;
            *slot = index;
        }
    }
    if (entry != nullptr) {
        entry->ValueLength = ValueLength;
        if (ValueLength != 0) {
            std::memcpy(EntryValue(context, entry), Value, ValueLength);
        }
    }
    DMF_ModuleUnlock(DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Table full: %u entries",
                    static_cast<unsigned>(context->MaximumTableSize));
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_HashTable_Find(DMFMODULE DmfModule, const UCHAR* Key, ULONG KeyLength, UCHAR* Value,
                            ULONG ValueBufferLength, ULONG* ValueLength) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_HashTable* context = DMF_CONTEXT_GET(DmfModule);
    NTSTATUS ntStatus = STATUS_NOT_FOUND;
    DMF_ModuleLock(DmfModule);
    HASHTABLE_ENTRY* entry = EntryFind(context, Key, KeyLength);
    if (entry != nullptr) {
        *ValueLength = entry->ValueLength;
        ntStatus = STATUS_BUFFER_TOO_SMALL;
        if (entry->ValueLength <= ValueBufferLength) {
            if (entry->ValueLength != 0) {
                std::memcpy(Value, EntryValue(context, entry), entry->ValueLength);
            }
            ntStatus = STATUS_SUCCESS;
        }
    }
    DMF_ModuleUnlock(DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_HashTable_Enumerate(DMFMODULE DmfModule, EVT_DMF_HashTable_Enumerate* CallbackEnumerate,
                             PVOID CallbackContext) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_HashTable* context = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    for (ULONG index = 0; index < context->NumberOfEntries; ++index) {
        HASHTABLE_ENTRY* entry = EntryGet(context, index);
        if (!CallbackEnumerate(DmfModule, EntryKey(entry), entry->KeyLength,
                               EntryValue(context, entry), entry->ValueLength, CallbackContext)) {
            break;
        }
    }
    DMF_ModuleUnlock(DmfModule);
    FuncExitVoid(DMF_TRACE);
}
