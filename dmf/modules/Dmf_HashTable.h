// The HashTable module: a fixed-capacity table of keys and values of bounded
// length, laid out in two arrays made when the module opens. Nothing is ever
// allocated or removed afterwards, so entries keep the order they were
// inserted in and a full table stays full.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"

using EVT_DMF_HashTable_HashCalculate = ULONGLONG(const UCHAR* Key, ULONG KeyLength);

struct DMF_CONFIG_HashTable {
    ULONG MaximumKeyLength;   // bytes
    ULONG MaximumValueLength; // bytes
    ULONG MaximumTableSize;   // entries, at least 1
    // NULL: 64-bit FNV-1a over the key bytes.
    EVT_DMF_HashTable_HashCalculate* EvtHashTableHashCalculate;
};

NTSTATUS DMF_HashTable_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                              WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_HashTable_AND_ATTRIBUTES_INIT(DMF_CONFIG_HashTable* Config,
                                                     DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_HashTable), Config,
                               DMF_HashTable_Create);
}

// The table's default hash: 64-bit FNV-1a.
ULONGLONG DMF_HashTable_DefaultHashCalculate(const UCHAR* Key, ULONG KeyLength);

// Adds the key with its value, or replaces the value of a key already in the
// table. STATUS_INVALID_PARAMETER for an empty or over-long key or an
// over-long value; STATUS_INSUFFICIENT_RESOURCES for a new key when every
// entry is in use.
NTSTATUS DMF_HashTable_Insert(DMFMODULE DmfModule, const UCHAR* Key, ULONG KeyLength,
                              const UCHAR* Value, ULONG ValueLength);

// Copies the key's value into Value. STATUS_NOT_FOUND for a key not in the
// table; STATUS_BUFFER_TOO_SMALL when the value does not fit. *ValueLength
// receives the value's length whenever the key was found.
NTSTATUS DMF_HashTable_Find(DMFMODULE DmfModule, const UCHAR* Key, ULONG KeyLength, UCHAR* Value,
                            ULONG ValueBufferLength, ULONG* ValueLength);

// Called under the module lock for each entry, in insertion order, until it
// returns FALSE. It must not call the table's other methods.
using EVT_DMF_HashTable_Enumerate = BOOLEAN(DMFMODULE DmfModule, const UCHAR* Key, ULONG KeyLength,
                                            UCHAR* Value, ULONG ValueLength, PVOID CallbackContext);
void DMF_HashTable_Enumerate(DMFMODULE DmfModule, EVT_DMF_HashTable_Enumerate* CallbackEnumerate,
                             PVOID CallbackContext);
