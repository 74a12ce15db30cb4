// IP Helper as the system uses it: IP-interface change notifications and the
// interface table. Notifications arrive on the stand-in's notification thread.
#pragma once

#include "platform/types.h"

using NETIO_STATUS = DWORD;
using ADDRESS_FAMILY = USHORT;
using NET_IFINDEX = ULONG;
using IFTYPE = ULONG;

#ifndef NO_ERROR
#define NO_ERROR 0u
#endif
#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23

// IANA ifType values.
#define IF_TYPE_OTHER 1
#define IF_TYPE_ETHERNET_CSMACD 6
#define IF_TYPE_SOFTWARE_LOOPBACK 24
#define IF_TYPE_IEEE80211 71
#define IF_TYPE_TUNNEL 131
#define IF_TYPE_WWANPP 243
#define IF_TYPE_WWANPP2 244

// 64 bits: 24 reserved, 24 index, and the interface type in the top 16.
union NET_LUID {
    ULONG64 Value;
    struct {
        ULONG64 Reserved : 24;
        ULONG64 NetLuidIndex : 24;
        ULONG64 IfType : 16;
    } Info;
};
using PNET_LUID = NET_LUID*;

enum MIB_NOTIFICATION_TYPE {
    MibParameterNotification = 0,
    MibAddInstance = 1,
    MibDeleteInstance = 2,
    MibInitialNotification = 3,
};

// The fields of an IP interface the system reads.
struct MIB_IPINTERFACE_ROW {
    ADDRESS_FAMILY Family;
    NET_LUID InterfaceLuid;
    NET_IFINDEX InterfaceIndex;
    ULONG Mtu;
    BOOLEAN Connected;
};
using PMIB_IPINTERFACE_ROW = MIB_IPINTERFACE_ROW*;

struct MIB_IF_ROW2 {
    NET_LUID InterfaceLuid;
    NET_IFINDEX InterfaceIndex;
    WCHAR Alias[257];
    IFTYPE Type;
    ULONG Mtu;
};
using PMIB_IF_ROW2 = MIB_IF_ROW2*;

struct MIB_IF_TABLE2 {
    ULONG NumEntries;
    MIB_IF_ROW2 Table[1]; // NumEntries rows
};
using PMIB_IF_TABLE2 = MIB_IF_TABLE2*;

using PIPINTERFACE_CHANGE_CALLBACK = void (*)(PVOID callerContext, PMIB_IPINTERFACE_ROW row,
                                              MIB_NOTIFICATION_TYPE notificationType);

// Registers `callback` for IP-interface changes of `family` (AF_UNSPEC: IPv4
// and IPv6). With `initialNotification` the callback is called once with
// MibInitialNotification and a NULL row right after registering.
NETIO_STATUS NotifyIpInterfaceChange(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                     PVOID callerContext, BOOLEAN initialNotification,
                                     HANDLE* notificationHandle);
// No callback of the registration runs after this returns (when called off the
// notification thread).
NETIO_STATUS CancelMibChangeNotify2(HANDLE notificationHandle);

// One row per network adapter; the table is freed with FreeMibTable.
NETIO_STATUS GetIfTable2(PMIB_IF_TABLE2* table);
void FreeMibTable(PVOID memory);
