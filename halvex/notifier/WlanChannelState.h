// The state every WLAN notifier shares: one WLAN API client handle, one
// interface that receives the commands, one set of notification
// registrations, one refresh timer and one initialisation thread for the
// whole process.
#pragma once

#include "platform/types.h"
#include "platform/wdf.h"

#include <atomic>
#include <list>
#include <mutex>

class WlanDataNotifier;

// No refresh period: the provisioning file was not read, or asks for none.
inline constexpr ULONG kWlanNoRefresh = 0xFFFFFFFFu;

// Every live WLAN notifier, in construction order; the merge walks it in this order.
extern std::list<WlanDataNotifier*> gWlanNotifiers;
// Held while the client handle is opened and registered, while the interface
// list is read, and around every change of the handle and the interface.
// Taken after gWlanWaitLock where both are held.
extern std::mutex gWlanMutex;
// Serialises every send: the channels' own, the merged ones and the removal send.
extern std::atomic<WDFWAITLOCK> gWlanWaitLock;

// The client handle for enumeration, registrations and commands.
extern std::atomic<HANDLE> mWlanNotifHandle;
extern std::atomic<ULONG> gWlanDeviceServiceRegistered;
extern std::atomic<ULONG> gWlanNotificationRegistered;
// A WLAN interface is present; nothing is sent while it is 0.
extern std::atomic<BYTE> gWlanUp;
// The interface that receives every command: written and read under gWlanMutex.
extern GUID gWlanInterfaceGuid;
extern std::atomic<BYTE> gWlanInterfaceGuidValid;
// N: the device's WlanAntCount, the entry slots of every command.
extern std::atomic<ULONG> gWlanAntennaCount;

// The refresh period the provisioning file gives, in milliseconds.
extern std::atomic<ULONG> gWlanRefreshPeriodMs;
// What the refresh timer runs on: 0.9 times the file's period.
extern std::atomic<ULONG> gWlanTimerPeriodMs;
extern std::atomic<WDFTIMER> gWlanRefreshTimer;
// The initialisation thread of the latest start; power callbacks only.
extern HANDLE gWlanInitThread;
// The removal-time merged send has succeeded: nothing else is sent until the
// removal is over. Cleared by every start.
extern std::atomic<ULONG> gWlanSentOnRemoval;
// The first device given to a notifier: the way to the device's contexts and
// the refresh timer's parent.
extern WDFDEVICE gWlanDevice;
