// The driver's two contexts on its WDF device: its SAR configuration, channel
// objects and power flags, and the handles of its framework modules. Both are
// zero-filled by WDF and have no constructor or destructor of their own.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "halvex/driver/ChannelConfig.h"
#include "platform/power.h"
#include "platform/types.h"
#include "platform/wdf.h"

class EventHandler;
class ProximitySensorWatcher;

struct DEVICE_CONTEXT {
    ULONG NumberOfChannels; // records in Channels
    ULONG WlanAntCount;     // 1 or 2 when valid
    PCHANNEL_INFO Channels; // WDF memory parented to the device
    ULONG ConfiguredCount;  // valid records 0 .. ConfiguredCount - 1; slots of ChannelObjects
    EventHandler** ChannelObjects;            // owned; filled from slot 0 without gaps
    ProximitySensorWatcher* ProximityWatcher; // owned
    LONG InHibernate;               // changed only by compare-exchange; read on sensor-hub threads
    HPOWERNOTIFY PowerNotifyHandle; // console display-state registration, NULL when none
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS PowerNotifyParams;
    ULONG IsDeviceRemoval; // set by a D0 exit to D3Final with no power action
    // 1 from a D0 exit that stopped everything until the D0 entry that starts
    // it again; written by the D0 callbacks only.
    ULONG IsStopped;
    // 1 from a starting D0 entry's display-state registration until its first
    // delivery has reached every provider: the channels compute after it.
    LONG ComputeAfterDisplayState;
};
using PDEVICE_CONTEXT = DEVICE_CONTEXT*;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)

struct HALVEX_DMF_DEVICE_CONTEXT {
    DMFMODULE DmfModuleSocPartition;
    DMFMODULE DmfModuleIoctlHandler;
    DMFMODULE DmfModuleRegistry;
};
using PHALVEX_DMF_DEVICE_CONTEXT = HALVEX_DMF_DEVICE_CONTEXT*;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HALVEX_DMF_DEVICE_CONTEXT, HalvexDmfDeviceGetContext)
