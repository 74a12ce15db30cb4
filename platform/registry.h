// Registry access, through the framework (WDFKEY) and through Win32 (HKEY).
// Both views share one key tree: WdfRegistryWdmGetHandle gives the HKEY of
// the same open key. Key and value names are case-insensitive; the subkeys of
// a key enumerate sorted case-insensitively (see platform/sim/registry.h).
#pragma once

#include "platform/types.h"
#include "platform/wdf/wdf_types.h"

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using ACCESS_MASK = ULONG;
using REGSAM = ACCESS_MASK;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Access rights.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

// WdfDeviceOpenRegistryKey key types.
#define PLUGPLAY_REGKEY_DEVICE 1u
#define PLUGPLAY_REGKEY_DRIVER 2u

// The device's hardware key ("Device Parameters") for PLUGPLAY_REGKEY_DEVICE.
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                  ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  WDFKEY* Key);
// The driver's "Parameters" key.
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
// A subkey (or a backslash-separated path) of an open key;
// STATUS_OBJECT_NAME_NOT_FOUND when it does not exist.
NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
void WdfRegistryClose(WDFKEY Key);
HANDLE WdfRegistryWdmGetHandle(WDFKEY Key);

// Copies the value when it fits. Too short a buffer (0 included) gives
// STATUS_BUFFER_OVERFLOW with the needed length; a missing value
// STATUS_OBJECT_NAME_NOT_FOUND. The value's type is returned in every case
// where the value exists.
NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                               PVOID Value, PULONG ValueLengthQueried, PULONG ValueType);
// A REG_DWORD; another type gives STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
// Needs KEY_SET_VALUE on the key.
NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value);

// Win32 view of an open key. Lengths of names are in characters without the
// terminator.
LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
// The name of subkey dwIndex, NUL-terminated; *lpcchName is the buffer's
// length in characters on entry and the name's length on success.
// ERROR_MORE_DATA when the name and its terminator do not fit,
// ERROR_NO_MORE_ITEMS past the last subkey.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime);
