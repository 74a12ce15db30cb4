// WDF memory objects.
#include "platform/wdf/fx_memory.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace fx {
namespace {
std::atomic<bool> gPoison{false};
}

bool PoisonNewMemory() {
    return gPoison.load();
}
void SetPoisonNewMemory(bool on) {
    gPoison.store(on);
}

Memory::~Memory() {
    if (owned && buffer != nullptr) {
        ::operator delete (buffer, std::align_val_t{16});
    }
}

std::string Memory::Describe() const {
    char tagText[5] = {};
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        tagText[i] = c >= 0x20 && c < 0x7F ? c : '.';
    }
    char text[96];
    std::snprintf(text, sizeof(text), " tag '%s' size %zu", tagText, size);
    std::string line = Object::Describe();
    // The tag goes right after the handle and parent, before any context names.
    auto contexts = line.find(" [");
    line.insert(contexts == std::string::npos ? line.size() : contexts, text);
    return line;
}

} // namespace fx

using fx::Kind;

namespace {

// Copies `length` bytes at `offset` of a memory object in or out (`copy`
// gets where they start), once the range is known to lie inside the buffer.
template <typename Copy>
NTSTATUS CopyWithin(WDFMEMORY Memory, size_t offset, size_t length, const char* call, Copy copy) {
    auto memory = fx::Get<fx::Memory>(Memory, Kind::Memory, call);
    if (!memory) {
        return STATUS_INVALID_HANDLE;
    }
    if (offset > memory->size || length > memory->size - offset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    copy(static_cast<std::uint8_t*>(memory->buffer) + offset, length);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer) {
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (BufferSize == 0) {
        fx::ReportError("WdfMemoryCreate: zero-length buffer");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfMemoryCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    const char tag[5] = {static_cast<char>(PoolTag), static_cast<char>(PoolTag >> 8),
                         static_cast<char>(PoolTag >> 16), static_cast<char>(PoolTag >> 24), 0};
    if (NTSTATUS status = fx::CheckFaultStatus((std::string("WdfMemoryCreate:") + tag).c_str());
        !NT_SUCCESS(status)) {
        return status;
    }
    auto memory = std::make_shared<fx::Memory>();
    memory->buffer = ::operator new (BufferSize, std::align_val_t{16}, std::nothrow);
    if (memory->buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memory->owned = true;
    std::memset(memory->buffer, fx::PoisonNewMemory() ? 0xCD : 0, BufferSize);
    memory->size = BufferSize;
    memory->pool = PoolType;
    memory->tag = PoolTag;
    NTSTATUS status = fx::Insert(memory, Attributes, fx::DefaultParent(), "WdfMemoryCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Memory = reinterpret_cast<WDFMEMORY>(memory->handle());
    if (Buffer != nullptr) {
        *Buffer = memory->buffer;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     size_t BufferSize, WDFMEMORY* Memory) {
    *Memory = nullptr;
    if (Buffer == nullptr || BufferSize == 0) {
        fx::ReportError("WdfMemoryCreatePreallocated: no buffer");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfMemoryCreatePreallocated");
        !NT_SUCCESS(status)) {
        return status;
    }
    auto memory = std::make_shared<fx::Memory>();
    memory->buffer = Buffer;
    memory->size = BufferSize;
    return fx::InsertAs(memory, Attributes, fx::DefaultParent(), "WdfMemoryCreatePreallocated",
                        Memory);
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    if (BufferSize != nullptr) {
        *BufferSize = 0;
    }
    auto memory = fx::Get<fx::Memory>(Memory, Kind::Memory, "WdfMemoryGetBuffer");
    if (!memory) {
        return nullptr;
    }
    if (BufferSize != nullptr) {
        *BufferSize = memory->size;
    }
    return memory->buffer;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                               size_t NumBytesToCopyTo) {
    return CopyWithin(
        SourceMemory, SourceOffset, NumBytesToCopyTo, "WdfMemoryCopyToBuffer",
        [Buffer](std::uint8_t* at, size_t length) { std::memcpy(Buffer, at, length); });
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                 PVOID Buffer, size_t NumBytesToCopyFrom) {
    return CopyWithin(
        DestinationMemory, DestinationOffset, NumBytesToCopyFrom, "WdfMemoryCopyFromBuffer",
        [Buffer](std::uint8_t* at, size_t length) { std::memcpy(at, Buffer, length); });
}
