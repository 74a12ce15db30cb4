// Platform base types and status values, with the widths the driver relies on.
#pragma once

#include <cstddef>
#include <cstdint>

using ULONG = std::uint32_t;
using LONG = std::int32_t;
using ULONG64 = std::uint64_t;
using LONG64 = std::int64_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using UCHAR = std::uint8_t;
using CHAR = char;
using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;
using BOOL = std::int32_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using PSTR = char*;
using PCSTR = const char*;
using LPCSTR = const char*;
using PVOID = void*;
using LPVOID = void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = std::int32_t;
using HRESULT = std::int32_t;
using PULONG = ULONG*;
using PLONG = LONG*;
using LPDWORD = DWORD*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef WINAPI
#define WINAPI
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef _In_
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#endif
#ifndef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) (void)(P)
#endif

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;
using REFGUID = const GUID&;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator==(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b);
}

struct UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

// Describes a terminated string in place; Source may be NULL (an empty string).
inline void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
    USHORT bytes = 0;
    if (Source != nullptr) {
        while (Source[bytes / sizeof(WCHAR)] != 0) {
            bytes += sizeof(WCHAR);
        }
    }
    Destination->Length = bytes;
    Destination->MaximumLength = Source != nullptr ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
    Destination->Buffer = const_cast<PWSTR>(Source);
}

struct LARGE_INTEGER {
    LONGLONG QuadPart;
};

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INFINITE 0xFFFFFFFFu

// Wait results.
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_IO_COMPLETION 0x000000C0u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64u

// NTSTATUS values.
#define NT_SUCCESS(Status) (static_cast<NTSTATUS>(Status) >= 0)
#define STATUS_SUCCESS static_cast<NTSTATUS>(0x00000000)
#define STATUS_WAIT_0 static_cast<NTSTATUS>(0x00000000)
#define STATUS_TIMEOUT static_cast<NTSTATUS>(0x00000102)
#define STATUS_PENDING static_cast<NTSTATUS>(0x00000103)
#define STATUS_OBJECT_NAME_EXISTS static_cast<NTSTATUS>(0x40000000)
#define STATUS_BUFFER_OVERFLOW static_cast<NTSTATUS>(0x80000005)
#define STATUS_NO_MORE_ENTRIES static_cast<NTSTATUS>(0x8000001A)
#define STATUS_UNSUCCESSFUL static_cast<NTSTATUS>(0xC0000001)
#define STATUS_NOT_IMPLEMENTED static_cast<NTSTATUS>(0xC0000002)
#define STATUS_INFO_LENGTH_MISMATCH static_cast<NTSTATUS>(0xC0000004)
#define STATUS_INVALID_HANDLE static_cast<NTSTATUS>(0xC0000008)
#define STATUS_INVALID_PARAMETER static_cast<NTSTATUS>(0xC000000D)
#define STATUS_INVALID_DEVICE_REQUEST static_cast<NTSTATUS>(0xC0000010)
#define STATUS_END_OF_FILE static_cast<NTSTATUS>(0xC0000011)
#define STATUS_NO_MEMORY static_cast<NTSTATUS>(0xC0000017)
#define STATUS_ACCESS_DENIED static_cast<NTSTATUS>(0xC0000022)
#define STATUS_BUFFER_TOO_SMALL static_cast<NTSTATUS>(0xC0000023)
#define STATUS_OBJECT_TYPE_MISMATCH static_cast<NTSTATUS>(0xC0000024)
#define STATUS_OBJECT_NAME_INVALID static_cast<NTSTATUS>(0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND static_cast<NTSTATUS>(0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION static_cast<NTSTATUS>(0xC0000035)
#define STATUS_DELETE_PENDING static_cast<NTSTATUS>(0xC0000056)
#define STATUS_INSUFFICIENT_RESOURCES static_cast<NTSTATUS>(0xC000009A)
#define STATUS_DEVICE_NOT_READY static_cast<NTSTATUS>(0xC00000A3)
#define STATUS_NOT_SUPPORTED static_cast<NTSTATUS>(0xC00000BB)
#define STATUS_INTERNAL_ERROR static_cast<NTSTATUS>(0xC00000E5)
#define STATUS_CANCELLED static_cast<NTSTATUS>(0xC0000120)
#define STATUS_NOT_FOUND static_cast<NTSTATUS>(0xC0000225)
#define STATUS_FILE_NOT_AVAILABLE static_cast<NTSTATUS>(0xC0000467)
#define STATUS_CONTEXT_MISMATCH static_cast<NTSTATUS>(0xC0000719)
#define STATUS_IO_TIMEOUT static_cast<NTSTATUS>(0xC00000B5)
#define STATUS_INVALID_DEVICE_STATE static_cast<NTSTATUS>(0xC0000184)
#define STATUS_DEVICE_REMOVED static_cast<NTSTATUS>(0xC00002B6)
#define STATUS_INVALID_BUFFER_SIZE static_cast<NTSTATUS>(0xC0000206)
#define STATUS_OBJECTID_NOT_FOUND static_cast<NTSTATUS>(0xC00002F0)

// Win32 error codes.
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_READY 21u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_TIMEOUT 1460u
#define ERROR_CANCELLED 1223u
#define ERROR_NOT_FOUND 1168u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_DEVICE_NOT_AVAILABLE 4319u
#define ERROR_NO_SYSTEM_RESOURCES 1450u

// HRESULT values.
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define S_OK static_cast<HRESULT>(0x00000000)
#define S_FALSE static_cast<HRESULT>(0x00000001)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002)
#define E_POINTER static_cast<HRESULT>(0x80004003)
#define E_ABORT static_cast<HRESULT>(0x80004004)
#define E_FAIL static_cast<HRESULT>(0x80004005)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFF)
#define E_ACCESSDENIED static_cast<HRESULT>(0x80070005)
#define E_HANDLE static_cast<HRESULT>(0x80070006)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000E)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057)
#define E_ILLEGAL_METHOD_CALL static_cast<HRESULT>(0x8000000E)
#define RPC_E_CHANGED_MODE static_cast<HRESULT>(0x80010106)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154)
// HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
#define HRESULT_ERROR_NOT_SUPPORTED static_cast<HRESULT>(0x80070032)
#define HRESULT_ERROR_TIMEOUT static_cast<HRESULT>(0x800705B4)

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return static_cast<HRESULT>(error) <= 0
               ? static_cast<HRESULT>(error)
               : static_cast<HRESULT>((error & 0x0000FFFFu) | 0x80070000u);
}
