// The driver's IOCTL interface: its device interface, its two IOCTLs and the
// table the IoctlHandler module serves them from.
#pragma once

#include "dmf/modules/Dmf_IoctlHandler.h"
#include "platform/types.h"

// {9825D2DA-7C05-49E4-BDF3-06D2DEB1911C}
inline constexpr GUID GUID_DEVINTERFACE_HALVEX = {
    0x9825D2DA, 0x7C05, 0x49E4, {0xBD, 0xF3, 0x06, 0xD2, 0xDE, 0xB1, 0x91, 0x1C}};

// Device type 0x8129, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr ULONG HALVEX_CTL_CODE(ULONG function) {
    return (0x8129u << 16) | (function << 2);
}
inline constexpr ULONG IOCTL_HALVEX_GET_INFO = HALVEX_CTL_CODE(0x200);
inline constexpr ULONG IOCTL_HALVEX_SET_SENSOR_STATE = HALVEX_CTL_CODE(0x201);

// Input of IOCTL_HALVEX_SET_SENSOR_STATE; bytes beyond it are ignored.
struct SAR_SENSOR_STATE_INPUT {
    ULONG SensorId; // registry "ID" of an APPS sensor
    ULONG State;    // 0 nothing detected, 1 detected
};

// Output of IOCTL_HALVEX_GET_INFO: two u32, both 1.
struct HALVEX_INFO_OUTPUT {
    ULONG Value0;
    ULONG Value1;
};

EVT_DMF_IoctlHandler_Callback IoctlGetInfo;
EVT_DMF_IoctlHandler_Callback IoctlSetSensorState;

// The IoctlHandler module keeps a pointer to it: it lives as long as the driver.
extern IoctlHandler_IoctlRecord HalvexIoctlHandlerTable[2];
inline constexpr ULONG HalvexIoctlHandlerTableCount = 2;
