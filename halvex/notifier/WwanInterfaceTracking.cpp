#include "halvex/notifier/WwanInterfaceTracking.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/notifier/ModemChannelState.h"
#include "halvex/notifier/ModemDataNotifier.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <exception>
#include <mutex>

namespace {

bool IsWwanType(ULONG type) {
    return type == IF_TYPE_WWANPP || type == IF_TYPE_WWANPP2;
}

// Not under gModemMutex: a send holds it for up to three modem waits, and
// this runs on the IP Helper's thread. The list lock keeps every notifier
// walked here, and so its channel's resend event, alive meanwhile.
void RequestRecomputeOfEveryModemChannel() {
    std::lock_guard guard(gModemNotifiersLock);
    for (const ModemDataNotifier* notifier : gModemNotifiers) {
        notifier->RequestRecompute();
    }
}

} // namespace

const char* MibNotificationTypeName(MIB_NOTIFICATION_TYPE type) {
    switch (type) {
    case MibParameterNotification:
        return "MibParameterNotification";
    case MibAddInstance:
        return "MibAddInstance";
    case MibDeleteInstance:
        return "MibDeleteInstance";
    case MibInitialNotification:
        return "MibInitialNotification";
    }
    return "UnKnown MibNotification";
}

DWORD RegisterIpInterfaceChange() {
    FuncEntry(TRACE_NOTIFIER);
    DWORD result = NotifyIpInterfaceChange(AF_UNSPEC, IpInterfaceChangeCallback, nullptr, TRUE,
                                           &gIpInterfaceChangeHandle);
    if (result != NO_ERROR) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "NotifyIpInterfaceChange failed, error %u",
                    result);
        gIpInterfaceChangeHandle = nullptr;
    }
    FuncExit(TRACE_NOTIFIER, "%u", result);
    return result;
}

void IpInterfaceChangeCallback(PVOID callerContext, PMIB_IPINTERFACE_ROW row,
                               MIB_NOTIFICATION_TYPE notificationType) {
    UNREFERENCED_PARAMETER(callerContext);
    ULONG interfaceType = row != nullptr ? static_cast<ULONG>(row->InterfaceLuid.Info.IfType) : 0;
    const char* name = MibNotificationTypeName(notificationType);

    switch (notificationType) {
    case MibAddInstance:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "%s: interface type %u", name,
                    interfaceType);
        // While back-off is enabled the modem already has the channel's index;
        // only a fresh enable (after a reset) needs the interface again.
        if (IsWwanType(interfaceType) && gBackoffEnabled.load() == 0) {
            gWwanInterfacePresent.store(1);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "WWAN interface arrived");
            // Every index computed while there was no interface was kept, not
            // sent: waiting for a sensor to change would leave a modem that
            // comes up beside a near sensor without back-off for as long as
            // it stays near.
            RequestRecomputeOfEveryModemChannel();
        }
        break;
    case MibDeleteInstance:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "%s: interface type %u", name,
                    interfaceType);
        if (IsWwanType(interfaceType)) {
            LONG status = ResetModemState();
            if (status < 0) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "ResetModemState failed, %d",
                            status);
            }
        } else {
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Ignoring removal of type %u",
                        interfaceType);
        }
        break;
    case MibInitialNotification:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "%s", name);
        break;
    default:
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "%s: interface type %u", name,
                    interfaceType);
        break;
    }
}

NETIO_STATUS ScanForWwanInterface() {
    FuncEntry(TRACE_NOTIFIER);
    NETIO_STATUS status = NO_ERROR;
    PMIB_IF_TABLE2 table = nullptr;
    try {
        status = GetIfTable2(&table);
        if (status != NO_ERROR) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "GetIfTable2 failed, error %u", status);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER, "Interface table has %u rows",
                        table->NumEntries);
            for (ULONG i = 0; i < table->NumEntries; ++i) {
                ULONG type = table->Table[i].Type;
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Row %u: type %u", i, type);
                if (IsWwanType(type)) {
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                                "WWAN interface found at row %u (type %u)", i, type);
                    gWwanInterfacePresent.store(1);
                    break;
                }
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    if (table != nullptr) {
        FreeMibTable(table);
    }
    FuncExit(TRACE_NOTIFIER, "%u", status);
    return status;
}

LONG ResetModemState() {
    FuncEntry(TRACE_NOTIFIER);
    try {
        // The presence flag goes first: an enable step that completes meanwhile
        // re-reads it after setting gBackoffEnabled, so either it sees the
        // removal or the removal clears the flag it set.
        gModemStateResets.fetch_add(1);
        gWwanInterfacePresent.store(0);
        gBackoffEnabled.store(0);
        gSarSupported.store(1);
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
    }
    FuncExit(TRACE_NOTIFIER, "0");
    return 0;
}
