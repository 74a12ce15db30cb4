// The IoctlHandler module. The client's table is matched in order, so of two
// records with one code only the first is ever used.
#include "dmf/modules/Dmf_IoctlHandler.h"

#include "dmf/framework/DmfDevice.h"
#include "platform/trace.h"

#include <cstring>

namespace {

struct DMF_CONTEXT_IoctlHandler {
    WDFCOLLECTION AdministratorFileObjectsCollection; // mode 4 only
    UNICODE_STRING ReferenceStringUnicode;
    PUNICODE_STRING ReferenceStringUnicodePointer; // NULL without a reference string
    BOOLEAN IsDeviceInterfaceCreated;
    WDFCOLLECTION ReferenceStringFileObjectsCollection; // only with a reference string
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(IoctlHandler)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_IoctlHandler)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_IoctlHandler)

bool UnicodeStringsEqual(const WCHAR* a, size_t aCharacters, const WCHAR* b, size_t bCharacters) {
    return aCharacters == bCharacters &&
           (aCharacters == 0 || std::memcmp(a, b, aCharacters * sizeof(WCHAR)) == 0);
}

bool IsAllZero(const GUID& guid) {
    static const GUID zero{};
    return std::memcmp(&guid, &zero, sizeof(GUID)) == 0;
}

// Whether the collection holds the object; the caller holds the module lock.
bool CollectionContains(WDFCOLLECTION collection, WDFOBJECT object, ULONG* index = nullptr) {
    const ULONG count = WdfCollectionGetCount(collection);
    for (ULONG i = 0; i < count; ++i) {
        if (WdfCollectionGetItem(collection, i) == object) {
            if (index != nullptr) {
                *index = i;
            }
            return true;
        }
    }
    return false;
}

bool FileObjectIsRecorded(DMFMODULE DmfModule, WDFCOLLECTION collection, WDFOBJECT fileObject) {
    DMF_ModuleLock(DmfModule);
    const bool found = CollectionContains(collection, fileObject);
    DMF_ModuleUnlock(DmfModule);
    return found;
}

NTSTATUS IoctlHandler_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_IoctlHandler* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_IoctlHandler* config = DMF_CONFIG_GET(DmfModule);
    WDFDEVICE device = DMF_ParentDeviceGet(DmfModule);
    NTSTATUS ntStatus = STATUS_SUCCESS;

    if (WdfDeviceGetDefaultQueue(device) == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "The device has no default queue");
        ntStatus = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    if (!IsAllZero(config->DeviceInterfaceGuid)) {
        if (config->ReferenceString != nullptr) {
            RtlInitUnicodeString(&context->ReferenceStringUnicode, config->ReferenceString);
            context->ReferenceStringUnicodePointer = &context->ReferenceStringUnicode;
        } else {
            context->ReferenceStringUnicodePointer = nullptr;
        }
        if (!config->InterfaceManualEnable) {
            ntStatus = WdfDeviceCreateDeviceInterface(device, &config->DeviceInterfaceGuid,
                                                      context->ReferenceStringUnicodePointer);
            if (!NT_SUCCESS(ntStatus)) {
                TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                            "WdfDeviceCreateDeviceInterface fails: ntStatus=0x%08X",
                            static_cast<unsigned>(ntStatus));
                goto Exit;
            }
            context->IsDeviceInterfaceCreated = TRUE;
            if (config->PostInterfaceCreateCallback != nullptr) {
                ntStatus =
                    config->PostInterfaceCreateCallback(DmfModule, &config->DeviceInterfaceGuid,
                                                        context->ReferenceStringUnicodePointer);
                if (!NT_SUCCESS(ntStatus)) {
                    TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                                "PostInterfaceCreateCallback fails: ntStatus=0x%08X",
                                static_cast<unsigned>(ntStatus));
                    goto Exit;
                }
            }
        } else {
            // The client enables the interface itself when it is ready.
            WdfDeviceSetDeviceInterfaceState(device, &config->DeviceInterfaceGuid,
                                             context->ReferenceStringUnicodePointer, FALSE);
        }
    }
    if (config->AccessModeFilter == IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl) {
        ntStatus = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES,
                                       &context->AdministratorFileObjectsCollection);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionCreate fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            context->AdministratorFileObjectsCollection = nullptr;
            goto Exit;
        }
    }
    if (context->ReferenceStringUnicodePointer != nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
        ntStatus = WdfCollectionCreate(&attributes, &context->ReferenceStringFileObjectsCollection);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionCreate fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            context->ReferenceStringFileObjectsCollection = nullptr;
            // A failed open is never closed, and the administrator collection
            // belongs to the driver: left alone it would outlive the device.
            if (context->AdministratorFileObjectsCollection != nullptr) {
                WdfObjectDelete(context->AdministratorFileObjectsCollection);
                context->AdministratorFileObjectsCollection = nullptr;
            }
        }
    }
Exit:
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void IoctlHandler_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_IoctlHandler* context = DMF_CONTEXT_GET(DmfModule);
    if (context->AdministratorFileObjectsCollection != nullptr) {
        WdfObjectDelete(context->AdministratorFileObjectsCollection);
        context->AdministratorFileObjectsCollection = nullptr;
    }
    FuncExitVoid(DMF_TRACE);
}

BOOLEAN IoctlHandler_FileCreate(DMFMODULE DmfModule, WDFDEVICE Device, WDFREQUEST Request,
                                WDFFILEOBJECT FileObject) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_IoctlHandler* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_IoctlHandler* config = DMF_CONFIG_GET(DmfModule);
    BOOLEAN handled = FALSE;

    if (context->ReferenceStringUnicodePointer != nullptr &&
        context->ReferenceStringFileObjectsCollection != nullptr &&
        WdfRequestGetFileObject(Request) != nullptr) {
        PUNICODE_STRING fileName = WdfFileObjectGetFileName(FileObject);
        bool record = true;
        if (fileName != nullptr && fileName->Length > sizeof(WCHAR)) {
            // The name starts with the separator; what follows must be the
            // reference string exactly.
            record = UnicodeStringsEqual(fileName->Buffer + 1, fileName->Length / sizeof(WCHAR) - 1,
                                         context->ReferenceStringUnicode.Buffer,
                                         context->ReferenceStringUnicode.Length / sizeof(WCHAR));
            if (!record) {
                TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE,
                            "File name does not match the reference string");
                FuncExit(DMF_TRACE, "handled=%d", FALSE);
                return FALSE;
            }
        }
        DMF_ModuleLock(DmfModule);
        NTSTATUS ntStatus =
            WdfCollectionAdd(context->ReferenceStringFileObjectsCollection, FileObject);
        DMF_ModuleUnlock(DmfModule);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionAdd fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            handled = DMF_ModuleRequestCompleteOrForward(DmfModule, Request, ntStatus);
            FuncExit(DMF_TRACE, "handled=%d", handled);
            return handled;
        }
    }

    switch (config->AccessModeFilter) {
    case IoctlHandler_AccessModeDefault:
    case IoctlHandler_AccessModeFilterKernelModeOnly:
        // Not claimed: on a filter device the framework passes the create
        // down, otherwise it completes it.
        handled = FALSE;
        break;
    case IoctlHandler_AccessModeFilterClientCallback:
        handled = config->AccessModeFilterCallback != nullptr
                      ? config->AccessModeFilterCallback(DmfModule, Device, Request, FileObject)
                      : FALSE;
        break;
    case IoctlHandler_AccessModeFilterAdministratorOnly:
    case IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl: {
        // This platform offers no administrator test: every create is refused.
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WdfRequestGetParameters(Request, &parameters);
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Create refused: administrator required");
        handled = DMF_ModuleRequestCompleteOrForward(DmfModule, Request, STATUS_ACCESS_DENIED);
        break;
    }
    default:
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Unsupported AccessModeFilter=%d",
                    static_cast<int>(config->AccessModeFilter));
        handled = FALSE;
        break;
    }
    FuncExit(DMF_TRACE, "handled=%d", handled);
    return handled;
}

BOOLEAN IoctlHandler_FileCleanupOrClose(DMFMODULE DmfModule, WDFFILEOBJECT FileObject) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_IoctlHandler* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_IoctlHandler* config = DMF_CONFIG_GET(DmfModule);

    bool forget = FileObject == nullptr || context->ReferenceStringUnicodePointer == nullptr;
    if (!forget && context->ReferenceStringFileObjectsCollection != nullptr) {
        DMF_ModuleLock(DmfModule);
        ULONG index = 0;
        if (CollectionContains(context->ReferenceStringFileObjectsCollection, FileObject, &index)) {
            WdfCollectionRemoveItem(context->ReferenceStringFileObjectsCollection, index);
            forget = true;
        }
        DMF_ModuleUnlock(DmfModule);
    }
    if (forget &&
        config->AccessModeFilter == IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl &&
        context->AdministratorFileObjectsCollection != nullptr && FileObject != nullptr) {
        DMF_ModuleLock(DmfModule);
        ULONG index = 0;
        if (CollectionContains(context->AdministratorFileObjectsCollection, FileObject, &index)) {
            WdfCollectionRemoveItem(context->AdministratorFileObjectsCollection, index);
        }
        DMF_ModuleUnlock(DmfModule);
    }
    FuncExit(DMF_TRACE, "handled=%d", FALSE);
    return FALSE;
}

BOOLEAN IoctlHandler_FileCleanup(DMFMODULE DmfModule, WDFFILEOBJECT FileObject) {
    return IoctlHandler_FileCleanupOrClose(DmfModule, FileObject);
}

BOOLEAN IoctlHandler_FileClose(DMFMODULE DmfModule, WDFFILEOBJECT FileObject) {
    return IoctlHandler_FileCleanupOrClose(DmfModule, FileObject);
}

BOOLEAN ForwardOrLeave(DMFMODULE DmfModule, WDFREQUEST Request) {
    DMF_CONFIG_IoctlHandler* config = DMF_CONFIG_GET(DmfModule);
    if (!config->ForwardUnmatchedRequests) {
        return FALSE;
    }
    WDFIOTARGET target = WdfDeviceGetIoTarget(DMF_ParentDeviceGet(DmfModule));
    WdfRequestFormatRequestUsingCurrentType(Request);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(Request, target, &options)) {
        NTSTATUS ntStatus = WdfRequestGetStatus(Request);
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfRequestSend fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        WdfRequestComplete(Request, ntStatus);
    }
    return TRUE;
}

BOOLEAN IoctlHandler_DeviceIoControl(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request,
                                     size_t OutputBufferLength, size_t InputBufferLength,
                                     ULONG IoControlCode) {
    (void)OutputBufferLength;
    (void)InputBufferLength;
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_IoctlHandler* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_IoctlHandler* config = DMF_CONFIG_GET(DmfModule);

    if (context->ReferenceStringUnicodePointer != nullptr) {
        WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
        if (fileObject != nullptr &&
            (context->ReferenceStringFileObjectsCollection == nullptr ||
             !FileObjectIsRecorded(DmfModule, context->ReferenceStringFileObjectsCollection,
                                   fileObject))) {
            BOOLEAN handled = ForwardOrLeave(DmfModule, Request);
            FuncExit(DMF_TRACE, "handled=%d", handled);
            return handled;
        }
    }

    const IoctlHandler_IoctlRecord* record = nullptr;
    for (ULONG i = 0; i < config->IoctlRecordCount; ++i) {
        if (config->IoctlRecords[i].IoctlCode == IoControlCode) {
            record = &config->IoctlRecords[i];
            break;
        }
    }
    if (record == nullptr) {
        BOOLEAN handled = ForwardOrLeave(DmfModule, Request);
        FuncExit(DMF_TRACE, "handled=%d", handled);
        return handled;
    }

    if (config->KernelModeOnly && WdfRequestGetRequestorMode(Request) == UserMode) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "IOCTL 0x%08X refused: user-mode caller",
                    static_cast<unsigned>(IoControlCode));
        WdfRequestCompleteWithInformation(Request, STATUS_ACCESS_DENIED, 0);
        FuncExit(DMF_TRACE, "handled=%d", TRUE);
        return TRUE;
    }
    if (config->AccessModeFilter == IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl &&
        record->AdministratorOnly) {
        WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
        if (context->AdministratorFileObjectsCollection == nullptr ||
            !FileObjectIsRecorded(DmfModule, context->AdministratorFileObjectsCollection,
                                  fileObject)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "IOCTL 0x%08X refused: administrator only",
                        static_cast<unsigned>(IoControlCode));
            WdfRequestCompleteWithInformation(Request, STATUS_ACCESS_DENIED, 0);
            FuncExit(DMF_TRACE, "handled=%d", TRUE);
            return TRUE;
        }
    }

    PVOID inputBuffer = nullptr;
    size_t inputLength = 0;
    NTSTATUS ntStatus = WdfRequestRetrieveInputBuffer(Request, record->MinimumInputSize,
                                                      &inputBuffer, &inputLength);
    if (!NT_SUCCESS(ntStatus)) {
        if (ntStatus == STATUS_BUFFER_TOO_SMALL && record->MinimumInputSize == 0) {
            inputBuffer = nullptr;
            inputLength = 0;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "IOCTL 0x%08X input buffer: ntStatus=0x%08X",
                        static_cast<unsigned>(IoControlCode), static_cast<unsigned>(ntStatus));
            WdfRequestCompleteWithInformation(Request, ntStatus, 0);
            FuncExit(DMF_TRACE, "handled=%d", TRUE);
            return TRUE;
        }
    }
    PVOID outputBuffer = nullptr;
    size_t outputLength = 0;
    ntStatus = WdfRequestRetrieveOutputBuffer(Request, record->MinimumOutputSize, &outputBuffer,
                                              &outputLength);
    if (!NT_SUCCESS(ntStatus)) {
        if (ntStatus == STATUS_BUFFER_TOO_SMALL && record->MinimumOutputSize == 0) {
            outputBuffer = nullptr;
            outputLength = 0;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "IOCTL 0x%08X output buffer: ntStatus=0x%08X",
                        static_cast<unsigned>(IoControlCode), static_cast<unsigned>(ntStatus));
            WdfRequestCompleteWithInformation(Request, ntStatus, 0);
            FuncExit(DMF_TRACE, "handled=%d", TRUE);
            return TRUE;
        }
    }

    size_t bytesReturned = 0;
    ntStatus = record->Handler(DmfModule, Queue, Request, IoControlCode, inputBuffer, inputLength,
                               outputBuffer, outputLength, &bytesReturned);
    if (ntStatus != STATUS_PENDING) {
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "IOCTL 0x%08X handler: ntStatus=0x%08X",
                        static_cast<unsigned>(IoControlCode), static_cast<unsigned>(ntStatus));
        }
        WdfRequestCompleteWithInformation(Request, ntStatus, bytesReturned);
    }
    FuncExit(DMF_TRACE, "handled=%d", TRUE);
    return TRUE;
}

} // namespace

NTSTATUS DMF_IoctlHandler_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                 WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = IoctlHandler_Open;
    callbacksDmf.DeviceClose = IoctlHandler_Close;

    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
    // Mode 5 serves the internal device-control requests instead.
    const auto* config = static_cast<const DMF_CONFIG_IoctlHandler*>(
        DmfModuleAttributes != nullptr ? DmfModuleAttributes->ModuleConfigPointer : nullptr);
    if (config != nullptr &&
        config->AccessModeFilter == IoctlHandler_AccessModeFilterKernelModeOnly) {
        callbacksWdf.InternalDeviceIoControl = IoctlHandler_DeviceIoControl;
    } else {
        callbacksWdf.DeviceIoControl = IoctlHandler_DeviceIoControl;
    }
    callbacksWdf.FileCreate = IoctlHandler_FileCreate;
    callbacksWdf.FileCleanup = IoctlHandler_FileCleanup;
    callbacksWdf.FileClose = IoctlHandler_FileClose;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, IoctlHandler, DMF_MODULE_OPTIONS_PASSIVE,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_IoctlHandler);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_IoctlHandler);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
