// The framework's own records live in framework memory objects, so that each
// goes with the object it is parented to.
#pragma once

#include "platform/wdf.h"

#include <new>

// A memory object holding a value-initialised `Record`; `*Created` points at
// the record, `*Memory` is its handle.
template <typename Record>
NTSTATUS DMF_RecordCreate(WDF_OBJECT_ATTRIBUTES* Attributes, ULONG PoolTag, WDFMEMORY* Memory,
                          Record** Created) {
    PVOID buffer = nullptr;
    NTSTATUS ntStatus =
        WdfMemoryCreate(Attributes, NonPagedPoolNx, PoolTag, sizeof(Record), Memory, &buffer);
    if (NT_SUCCESS(ntStatus)) {
        *Created = new (buffer) Record{};
    }
    return ntStatus;
}
