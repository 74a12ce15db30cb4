// Power-setting notifications: the record a setting change arrives in.
#pragma once

#include "platform/types.h"

struct POWERBROADCAST_SETTING {
    GUID PowerSetting;
    DWORD DataLength;
    UCHAR Data[1];
};
using PPOWERBROADCAST_SETTING = POWERBROADCAST_SETTING*;

#define PBT_POWERSETTINGCHANGE 0x8013u
