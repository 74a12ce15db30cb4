// The native WLAN API as the system uses it: a client handle, the interface
// list, notification registrations and vendor device-service commands.
// Every call returns a Win32 error code, ERROR_SUCCESS on success.
// Notifications arrive on the stand-in's WLAN notification thread.
#pragma once

#include "platform/types.h"

using PDWORD = DWORD*;

// Client versions WlanOpenHandle accepts.
#define WLAN_API_VERSION_1_0 1u
#define WLAN_API_VERSION_2_0 2u

// Notification sources, as a mask.
#define WLAN_NOTIFICATION_SOURCE_NONE 0x0000u
#define WLAN_NOTIFICATION_SOURCE_ACM 0x0008u
#define WLAN_NOTIFICATION_SOURCE_DEVICE_SERVICE 0x0800u

// Codes of the ACM source.
#define WLAN_NOTIFICATION_ACM_INTERFACE_ARRIVAL 13u
#define WLAN_NOTIFICATION_ACM_INTERFACE_REMOVAL 14u

enum WLAN_INTERFACE_STATE {
    wlan_interface_state_not_ready = 0,
    wlan_interface_state_connected = 1,
    wlan_interface_state_disconnected = 4,
};

struct WLAN_INTERFACE_INFO {
    GUID InterfaceGuid;
    WCHAR strInterfaceDescription[256];
    WLAN_INTERFACE_STATE isState;
};

// dwNumberOfItems interfaces; dwIndex names the current one.
struct WLAN_INTERFACE_INFO_LIST {
    DWORD dwNumberOfItems;
    DWORD dwIndex;
    WLAN_INTERFACE_INFO InterfaceInfo[1];
};
using PWLAN_INTERFACE_INFO_LIST = WLAN_INTERFACE_INFO_LIST*;

struct WLAN_DEVICE_SERVICE_GUID_LIST {
    DWORD dwNumberOfItems;
    DWORD dwIndex;
    GUID DeviceService[1];
};
using PWLAN_DEVICE_SERVICE_GUID_LIST = WLAN_DEVICE_SERVICE_GUID_LIST*;

struct WLAN_NOTIFICATION_DATA {
    DWORD NotificationSource;
    DWORD NotificationCode;
    GUID InterfaceGuid;
    DWORD dwDataSize; // bytes at pData
    PVOID pData;
};
using PWLAN_NOTIFICATION_DATA = WLAN_NOTIFICATION_DATA*;

// The data block of a device-service notification.
struct WLAN_DEVICE_SERVICE_NOTIFICATION_DATA {
    GUID DeviceService;
    DWORD dwOpCode;
    DWORD dwDataSize;
    BYTE DataBlob[1];
};
using PWLAN_DEVICE_SERVICE_NOTIFICATION_DATA = WLAN_DEVICE_SERVICE_NOTIFICATION_DATA*;

using WLAN_NOTIFICATION_CALLBACK = void(WINAPI*)(PWLAN_NOTIFICATION_DATA data, PVOID context);

DWORD WlanOpenHandle(DWORD dwClientVersion, PVOID pReserved, PDWORD pdwNegotiatedVersion,
                     PHANDLE phClientHandle);
// No notification callback of the handle runs after this returns (when called
// off the notification thread); a callback that runs now is waited for.
DWORD WlanCloseHandle(HANDLE hClientHandle, PVOID pReserved);

// The list is the caller's until WlanFreeMemory.
DWORD WlanEnumInterfaces(HANDLE hClientHandle, PVOID pReserved,
                         PWLAN_INTERFACE_INFO_LIST* ppInterfaceList);
void WlanFreeMemory(PVOID pMemory);

// The device services whose notifications the handle wants; NULL: none.
DWORD WlanRegisterDeviceServiceNotification(HANDLE hClientHandle,
                                            const WLAN_DEVICE_SERVICE_GUID_LIST* pDevSvcGuidList);
// Replaces the handle's sources and callback. WLAN_NOTIFICATION_SOURCE_NONE
// stops every notification: no callback of the handle runs after it returns
// (off the notification thread).
DWORD WlanRegisterNotification(HANDLE hClientHandle, DWORD dwNotifSource, BOOL bIgnoreDuplicate,
                               WLAN_NOTIFICATION_CALLBACK funcCallback, PVOID pCallbackContext,
                               PVOID pReserved, PDWORD pdwPrevNotifSource);

// One operation of a device service on an interface. *pdwBytesReturned is
// the number of bytes the service wrote to pOutBuffer.
DWORD WlanDeviceServiceCommand(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                               const GUID* pDeviceServiceGuid, DWORD dwOpCode, DWORD dwInBufferSize,
                               PVOID pInBuffer, DWORD dwOutBufferSize, PVOID pOutBuffer,
                               PDWORD pdwBytesReturned);
