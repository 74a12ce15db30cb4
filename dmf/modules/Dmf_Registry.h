// The Registry module: the device's registry key, subkey enumeration with a
// client callback, and value reads into client buffers. It keeps no state.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/registry.h"
#include "platform/types.h"

// FALSE stops the enumeration. The subkey and its name are valid for the call only.
using EVT_DMF_Registry_KeyEnumerationCallback = BOOLEAN(PVOID ClientContext, WDFKEY Key,
                                                        PWSTR KeyName);

NTSTATUS DMF_Registry_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                             WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

// The module has no configuration.
inline void DMF_Registry_ATTRIBUTES_INIT(DMF_MODULE_ATTRIBUTES* Attributes) {
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, 0, nullptr, DMF_Registry_Create);
}

// The device's "Device Parameters" key, for reading; *Key is NULL on failure.
NTSTATUS DMF_Registry_HandleOpenById(DMFMODULE DmfModule, WDFKEY* Key);
void DMF_Registry_HandleClose(DMFMODULE DmfModule, WDFKEY Key);

// Calls back once per subkey, in the registry's enumeration order. FALSE when
// the key cannot be enumerated, a subkey cannot be opened, or the callback
// said stop; the callbacks already made stand.
BOOLEAN
DMF_Registry_AllSubKeysFromHandleEnumerate(DMFMODULE DmfModule, WDFKEY Key,
                                           EVT_DMF_Registry_KeyEnumerationCallback* Callback,
                                           PVOID ClientContext);

// Copies a value of any type to the start of Buffer when it fits (no
// terminator is added), else STATUS_BUFFER_TOO_SMALL; *BytesRead receives the
// value's length in either case. A zero-length value reads as success.
NTSTATUS DMF_Registry_HandleValueRead(DMFMODULE DmfModule, WDFKEY Key, PCWSTR ValueName,
                                      PVOID Buffer, ULONG BufferSize, PULONG BytesRead);
// A value of 1 to 4 bytes into the low-order bytes of *Buffer.
NTSTATUS DMF_Registry_HandleValueReadDword(DMFMODULE DmfModule, WDFKEY Key, PCWSTR ValueName,
                                           PULONG Buffer);
// NULL and 0 characters ask for the size: STATUS_BUFFER_TOO_SMALL with the
// stored length in bytes (terminator included, as stored).
NTSTATUS DMF_Registry_HandleValueReadString(DMFMODULE DmfModule, WDFKEY Key, PCWSTR ValueName,
                                            PWSTR Buffer, ULONG NumberOfCharacters,
                                            PULONG BytesRead);
