// Registration for power-setting notifications delivered to a callback.
#pragma once

#include "platform/power.h"
#include "platform/types.h"

// The recipient is a DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS record.
#define DEVICE_NOTIFY_CALLBACK 2u

// The console display state: a DWORD, 0 off, 1 on, 2 dimmed.
inline constexpr GUID GUID_CONSOLE_DISPLAY_STATE = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};

// Subscribes the callback of `Recipient` to `SettingGuid`. The current value is
// delivered once right after the registration is made, and every change after
// that, each on a notification thread with PBT_POWERSETTINGCHANGE as the type
// and a POWERBROADCAST_SETTING as the setting. ERROR_SUCCESS or a Win32 error.
DWORD PowerSettingRegisterNotification(LPCGUID SettingGuid, DWORD Flags, HANDLE Recipient,
                                       PHPOWERNOTIFY RegistrationHandle);
// Ends the registration: once it returns no callback of it runs.
DWORD PowerSettingUnregisterNotification(HPOWERNOTIFY RegistrationHandle);
