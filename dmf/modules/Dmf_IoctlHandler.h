// The IoctlHandler module: a device interface and a table-driven IOCTL
// dispatcher, with an optional reference string and access-mode filter on
// the file objects that may send IOCTLs.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"
#include "platform/wdf.h"

using EVT_DMF_IoctlHandler_Callback = NTSTATUS(DMFMODULE DmfModule, WDFQUEUE Queue,
                                               WDFREQUEST Request, ULONG IoctlCode,
                                               PVOID InputBuffer, size_t InputBufferSize,
                                               PVOID OutputBuffer, size_t OutputBufferSize,
                                               size_t* BytesReturned);

// TRUE when the callback handled the create.
using EVT_DMF_IoctlHandler_AccessModeFilter = BOOLEAN(DMFMODULE DmfModule, WDFDEVICE Device,
                                                      WDFREQUEST Request, WDFFILEOBJECT FileObject);

using EVT_DMF_IoctlHandler_PostDeviceInterfaceCreate = NTSTATUS(DMFMODULE DmfModule,
                                                                GUID* DeviceInterfaceGuid,
                                                                UNICODE_STRING* ReferenceString);

struct IoctlHandler_IoctlRecord {
    ULONG IoctlCode;
    ULONG MinimumInputSize;  // 0: the request may come without an input buffer
    ULONG MinimumOutputSize; // 0: the request may come without an output buffer
    EVT_DMF_IoctlHandler_Callback* Handler;
    BOOLEAN AdministratorOnly; // only with IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl
};

enum IoctlHandler_AccessModeFilterType : LONG {
    IoctlHandler_AccessModeDefault = 0,
    IoctlHandler_AccessModeFilterClientCallback = 1,
    IoctlHandler_AccessModeFilterDoNotAllowUserMode = 2,
    IoctlHandler_AccessModeFilterAdministratorOnly = 3,
    IoctlHandler_AccessModeFilterAdministratorOnlyPerIoctl = 4,
    IoctlHandler_AccessModeFilterKernelModeOnly = 5, // served on the internal device-control slot
};

struct DMF_CONFIG_IoctlHandler {
    GUID DeviceInterfaceGuid; // all zero: no interface
    LONG AccessModeFilter;    // IoctlHandler_AccessModeFilterType
    EVT_DMF_IoctlHandler_AccessModeFilter* AccessModeFilterCallback;
    IoctlHandler_IoctlRecord* IoctlRecords; // not copied: must outlive the module
    ULONG IoctlRecordCount;
    BOOLEAN InterfaceManualEnable;
    BOOLEAN KernelModeOnly;
    EVT_DMF_IoctlHandler_PostDeviceInterfaceCreate* PostInterfaceCreateCallback;
    BOOLEAN ForwardUnmatchedRequests;
    PCWSTR ReferenceString; // NUL-terminated, or NULL
};

NTSTATUS DMF_IoctlHandler_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                 WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_IoctlHandler_AND_ATTRIBUTES_INIT(DMF_CONFIG_IoctlHandler* Config,
                                                        DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_IoctlHandler), Config,
                               DMF_IoctlHandler_Create);
}
