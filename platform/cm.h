// The configuration manager as drivers use it: notifications of device
// interfaces of a class arriving and going, and of the device behind an open
// file handle going through removal; and the list of the interfaces of a class.
#pragma once

#include "platform/types.h"

using CONFIGRET = DWORD;
#define CR_SUCCESS 0x00u
#define CR_OUT_OF_MEMORY 0x02u
#define CR_INVALID_POINTER 0x03u
#define CR_INVALID_FLAG 0x04u
#define CR_FAILURE 0x13u
#define CR_BUFFER_SMALL 0x1Au
#define CR_INVALID_DEVICE_ID 0x1Eu
#define CR_INVALID_DATA 0x1Fu

struct HCMNOTIFICATION__;
using HCMNOTIFICATION = HCMNOTIFICATION__*;
using PHCMNOTIFICATION = HCMNOTIFICATION*;

enum CM_NOTIFY_FILTER_TYPE {
    CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0,
    CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE = 1,
    CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE = 2,
};

#define MAX_DEVICE_ID_LEN 200

// 416 bytes whatever the filter type.
struct CM_NOTIFY_FILTER {
    DWORD cbSize;
    DWORD Flags;
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
        } DeviceInterface;
        struct {
            HANDLE hTarget;
        } DeviceHandle;
        struct {
            WCHAR InstanceId[MAX_DEVICE_ID_LEN];
        } DeviceInstance;
    } u;
};
using PCM_NOTIFY_FILTER = CM_NOTIFY_FILTER*;

enum CM_NOTIFY_ACTION {
    CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL = 0,
    CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL = 1,
    CM_NOTIFY_ACTION_DEVICEQUERYREMOVE = 2,
    CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED = 3,
    CM_NOTIFY_ACTION_DEVICEREMOVEPENDING = 4,
    CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE = 5,
    CM_NOTIFY_ACTION_DEVICECUSTOMEVENT = 6,
};

// What a callback is given: for an interface, its class and its symbolic
// link (NUL-terminated, running past the end of the declared record).
struct CM_NOTIFY_EVENT_DATA {
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
            WCHAR SymbolicLink[1];
        } DeviceInterface;
        struct {
            GUID EventGuid;
            LONG NameOffset;
            DWORD DataSize;
            BYTE Data[1];
        } DeviceHandle;
    } u;
};
using PCM_NOTIFY_EVENT_DATA = CM_NOTIFY_EVENT_DATA*;

// Answers ERROR_SUCCESS; to a query-remove, any other value vetoes the removal.
using CM_NOTIFY_CALLBACK = DWORD(HCMNOTIFICATION hNotify, PVOID Context, CM_NOTIFY_ACTION Action,
                                 PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize);
using PCM_NOTIFY_CALLBACK = CM_NOTIFY_CALLBACK*;

// Interface classes (flags 0) and device handles (the file handle of an open
// I/O target). Callbacks run on a notification thread of the platform; once
// CM_Unregister_Notification has returned, none of that registration runs.
CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                   PCM_NOTIFY_CALLBACK pCallback, PHCMNOTIFICATION pNotifyContext);
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION NotifyContext);

#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x0u
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x1u

// The symbolic links of the interfaces of a class as a list of NUL-terminated
// strings ended by an empty one; the size is in characters, both NULs
// counted (1 for an empty list). pDeviceID must be NULL.
CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                             PWSTR pDeviceID, ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, PWSTR pDeviceID, PWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags);
