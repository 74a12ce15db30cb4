// Whether the machine has a WWAN IP interface, followed through IP-interface
// change notifications, and the reset of the modem state when it goes.
#pragma once

#include "platform/iphlpapi.h"
#include "platform/types.h"

// Subscribes IpInterfaceChangeCallback; a Win32 error, 0 on success.
DWORD RegisterIpInterfaceChange();
// A WWAN interface that arrives while back-off is not enabled makes every
// modem channel compute again; a WWAN interface that goes resets the state.
void IpInterfaceChangeCallback(PVOID callerContext, PMIB_IPINTERFACE_ROW row,
                               MIB_NOTIFICATION_TYPE notificationType);
// Sets the WWAN flag when the interface table has a WWAN row; never clears it.
// Returns the status of GetIfTable2.
NETIO_STATUS ScanForWwanInterface();
// No WWAN interface, back-off disabled, SAR support assumed again. Always 0.
LONG ResetModemState();
const char* MibNotificationTypeName(MIB_NOTIFICATION_TYPE type);
