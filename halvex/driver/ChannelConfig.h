// The SAR configuration as read from the registry: channels, their sensors and
// their mapping tables. Written once at device add, read-only afterwards.
#pragma once

#include "platform/types.h"

enum CHANNEL_TYPE : ULONG {
    ChannelTypeModem = 0,
    ChannelTypeWlan = 1,
    ChannelTypeInvalid = 2,
};

enum SENSOR_TYPE : ULONG {
    SensorTypeSlpi = 0,
    SensorTypeApps = 1,
    SensorTypeInvalid = 2,
};

// A missing or unreadable "ID".
constexpr ULONG SENSOR_ID_NONE = 0xFFFFFFFFu;
// A mapping entry that sends nothing.
constexpr LONG BACKOFF_INDEX_NONE = -1;

struct SENSOR_INFO {
    ULONG Type;       // SENSOR_TYPE
    ULONG ID;         // SENSOR_ID_NONE when missing
    ULONG Valid;      // 1 when Type is SLPI or APPS and ID is present
    ULONG64 SuidLow;  // SUID_LOW_H:SUID_LOW_L
    ULONG64 SuidHigh; // SUID_HIGH_H:SUID_HIGH_L
};
using PSENSOR_INFO = SENSOR_INFO*;

struct SAR_DATA_MAPPING {
    ULONG StateMask;   // equals the entry's position
    LONG BackoffIndex; // BACKOFF_INDEX_NONE: nothing is sent for this state
};
using PSAR_DATA_MAPPING = SAR_DATA_MAPPING*;

struct CHANNEL_INFO {
    ULONG SensorCount;
    PSENSOR_INFO Sensors;  // SensorCount records, slot i from the sensor subkey named i
    ULONG ChannelType;     // CHANNEL_TYPE
    PULONG WlanAntennaInfo; // WLAN only: element 0 is the channel's antenna bit mask
    ULONG Valid;
    ULONG SarMappingCount; // 2 to 10
    PSAR_DATA_MAPPING SarDataMapping;
};
using PCHANNEL_INFO = CHANNEL_INFO*;
