// The Registry module. Every key it opens is opened for reading; subkeys it
// opens while enumerating are closed before the next one is visited.
#include "dmf/modules/Dmf_Registry.h"

#include "platform/trace.h"

#include <cstring>

namespace {

DMF_MODULE_DECLARE_CUSTOM_TYPE(Registry)

// 'RegM' in memory order.
constexpr ULONG kRegistryPoolTag = 0x4D676552u;

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_Registry_TypeInfo(), FALSE);
}

UNICODE_STRING AsUnicode(PCWSTR text) {
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, text);
    return unicode;
}

} // namespace

NTSTATUS DMF_Registry_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                             WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);

    DMF_MODULE_DESCRIPTOR descriptor;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, Registry, DMF_MODULE_OPTIONS_PASSIVE,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_Registry_HandleOpenById(DMFMODULE DmfModule, WDFKEY* Key) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    WDFKEY key = nullptr;
    NTSTATUS ntStatus =
        WdfDeviceOpenRegistryKey(DMF_ParentDeviceGet(DmfModule), PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                 WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfDeviceOpenRegistryKey fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        key = nullptr;
    }
    *Key = key;
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_Registry_HandleClose(DMFMODULE DmfModule, WDFKEY Key) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    WdfRegistryClose(Key);
    FuncExitVoid(DMF_TRACE);
}

BOOLEAN
DMF_Registry_AllSubKeysFromHandleEnumerate(DMFMODULE DmfModule, WDFKEY Key,
                                           EVT_DMF_Registry_KeyEnumerationCallback* Callback,
                                           PVOID ClientContext) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);

    auto handle = static_cast<HKEY>(WdfRegistryWdmGetHandle(Key));
    DWORD subkeyCount = 0;
    DWORD longestName = 0;
    LSTATUS result = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeyCount, &longestName,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (result != static_cast<LSTATUS>(ERROR_SUCCESS)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "RegQueryInfoKeyW fails: result=%d",
                    static_cast<int>(result));
        FuncExit(DMF_TRACE, "returnValue=%d", FALSE);
        return FALSE;
    }
    if (subkeyCount == 0) {
        FuncExit(DMF_TRACE, "returnValue=%d", TRUE);
        return TRUE;
    }

    // One buffer for every name: the longest one and its terminator.
    const DWORD bufferCharacters = longestName + 1;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    WDFMEMORY nameMemory = nullptr;
    PVOID nameBuffer = nullptr;
    NTSTATUS ntStatus = WdfMemoryCreate(&attributes, PagedPool, kRegistryPoolTag,
                                        bufferCharacters * sizeof(WCHAR), &nameMemory, &nameBuffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        FuncExit(DMF_TRACE, "returnValue=%d", FALSE);
        return FALSE;
    }
    auto* name = static_cast<PWSTR>(nameBuffer);

    BOOLEAN returnValue = TRUE;
    for (DWORD index = 0; index < subkeyCount; ++index) {
        DWORD nameLength = bufferCharacters;
        std::memset(name, 0, bufferCharacters * sizeof(WCHAR));
        result =
            RegEnumKeyExW(handle, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (result != static_cast<LSTATUS>(ERROR_SUCCESS)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "RegEnumKeyExW fails: index=%u result=%d",
                        static_cast<unsigned>(index), static_cast<int>(result));
            returnValue = FALSE;
            break;
        }
        UNICODE_STRING subkeyName = AsUnicode(name);
        WDFKEY subkey = nullptr;
        ntStatus =
            WdfRegistryOpenKey(Key, &subkeyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &subkey);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRegistryOpenKey fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            returnValue = FALSE;
            break;
        }
        const BOOLEAN goOn = Callback(ClientContext, subkey, name);
        WdfRegistryClose(subkey);
        if (!goOn) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Enumeration stopped by the client at %u",
                        static_cast<unsigned>(index));
            returnValue = FALSE;
            break;
        }
    }
    WdfObjectDelete(nameMemory);
    FuncExit(DMF_TRACE, "returnValue=%d", returnValue);
    return returnValue;
}

NTSTATUS DMF_Registry_HandleValueRead(DMFMODULE DmfModule, WDFKEY Key, PCWSTR ValueName,
                                      PVOID Buffer, ULONG BufferSize, PULONG BytesRead) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    if (BytesRead != nullptr) {
        *BytesRead = 0;
    }
    if (Key == nullptr || ValueName == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Invalid key or value name");
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name = AsUnicode(ValueName);
    ULONG valueLength = 0;
    ULONG valueType = 0; // any type is read
    NTSTATUS ntStatus = WdfRegistryQueryValue(Key, &name, 0, nullptr, &valueLength, &valueType);
    if (ntStatus != STATUS_BUFFER_OVERFLOW) {
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                        "WdfRegistryQueryValue fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
        }
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    WDFMEMORY memory = nullptr;
    PVOID valueBuffer = nullptr;
    ntStatus = WdfMemoryCreate(&attributes, PagedPool, kRegistryPoolTag, valueLength, &memory,
                               &valueBuffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    ULONG readLength = 0;
    ntStatus = WdfRegistryQueryValue(Key, &name, valueLength, valueBuffer, &readLength, &valueType);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRegistryQueryValue fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    } else {
        if (readLength > (Buffer != nullptr ? BufferSize : 0)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Buffer too small: needed=%u given=%u",
                        static_cast<unsigned>(readLength), static_cast<unsigned>(BufferSize));
            ntStatus = STATUS_BUFFER_TOO_SMALL;
        } else if (readLength != 0) {
            std::memcpy(Buffer, valueBuffer, readLength);
        }
        if (BytesRead != nullptr) {
            *BytesRead = readLength;
        }
    }
    WdfObjectDelete(memory);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_Registry_HandleValueReadDword(DMFMODULE DmfModule, WDFKEY Key, PCWSTR ValueName,
                                           PULONG Buffer) {
    ULONG bytesRead = 0;
    return DMF_Registry_HandleValueRead(DmfModule, Key, ValueName, Buffer, sizeof(ULONG),
                                        &bytesRead);
}

NTSTATUS DMF_Registry_HandleValueReadString(DMFMODULE DmfModule, WDFKEY Key, PCWSTR ValueName,
                                            PWSTR Buffer, ULONG NumberOfCharacters,
                                            PULONG BytesRead) {
    return DMF_Registry_HandleValueRead(DmfModule, Key, ValueName, Buffer,
                                        NumberOfCharacters * static_cast<ULONG>(sizeof(WCHAR)),
                                        BytesRead);
}
