// The SocPartition module: the files of a partition of the SoC's storage,
// listed and read through the SoC partition file service, another driver's
// device interface {5F797E8F-E6A4-41F0-B5A8-560A4D0BBC20}. A DeviceInterfaceTarget
// child keeps a target open on the service whenever it is present; both
// methods are synchronous and give up after 5000 ms.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"
#include "platform/wdf.h"

// Which partition: its identity and its name (NUL-terminated, at most 35 characters).
struct SocPartition_PartitionInfo {
    GUID PartitionGuid;
    WCHAR PartitionName[36];
};
static_assert(sizeof(SocPartition_PartitionInfo) == 88);

// "FOLDER\NAME", NUL-terminated, at most 47 characters; the first is not NUL.
struct SocPartition_FileName {
    WCHAR Name[48];
};
static_assert(sizeof(SocPartition_FileName) == 96);

// One entry of a listing. A name that fills its field has no terminator.
struct SocPartition_FileEntry {
    WCHAR FileName[49];
    WCHAR FolderName[51];
    ULONG UsedSize; // the file's size in bytes
    BYTE Reserved[40];
};
static_assert(sizeof(SocPartition_FileEntry) == 244);
static_assert(offsetof(SocPartition_FileEntry, FolderName) == 98);
static_assert(offsetof(SocPartition_FileEntry, UsedSize) == 200);

using EVT_SocPartition_ChildOpened = void(DMFMODULE DmfModule);
// With a reference on the child held for the call.
using EVT_SocPartition_TargetAvailable = void(DMFMODULE DmfModule, WDFIOTARGET IoTarget);
using EVT_SocPartition_ChildClosing = void(DMFMODULE DmfModule);
// The child's state changes (DeviceInterfaceTarget_StateType); a failure
// vetoes an open or a query-remove.
using EVT_SocPartition_TargetStateChanged = NTSTATUS(DMFMODULE DmfModule, ULONG IoTargetState);

// Every callback is optional.
struct DMF_CONFIG_SocPartition {
    EVT_SocPartition_ChildOpened* EvtChildOpened;
    EVT_SocPartition_TargetAvailable* EvtTargetAvailable;
    EVT_SocPartition_ChildClosing* EvtChildClosing;
    EVT_SocPartition_TargetStateChanged* EvtTargetStateChanged;
};

NTSTATUS DMF_SocPartition_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                 WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_SocPartition_AND_ATTRIBUTES_INIT(DMF_CONFIG_SocPartition* Config,
                                                        DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_SocPartition), Config,
                               DMF_SocPartition_Create);
}

// Both methods take *Size as the capacity of Buffer in bytes (0 with a NULL
// Buffer to ask for the size) and return in it the bytes the service gave
// (success) or the bytes it needs (STATUS_BUFFER_TOO_SMALL, and for a read
// also STATUS_BUFFER_OVERFLOW); other failures leave it as it was. Without
// the service's interface: STATUS_DEVICE_NOT_READY.

// The entries (SocPartition_FileEntry) of the partition's "TSRL" folder.
NTSTATUS DMF_SocPartition_TSFS_ListDirectoryFiles(DMFMODULE DmfModule,
                                                  SocPartition_PartitionInfo* PartitionInfo,
                                                  PVOID Unused, PVOID Buffer, ULONG* Size);
// One file's bytes.
NTSTATUS DMF_SocPartition_TSFS_ReadFile(DMFMODULE DmfModule,
                                        SocPartition_PartitionInfo* PartitionInfo,
                                        SocPartition_FileName* FileName, PVOID Buffer, ULONG* Size);
