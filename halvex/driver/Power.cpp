// Starting and stopping the device's channels, watcher and display-state
// notification across power transitions, and the device cleanup.
#include "halvex/driver/Power.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/Channels.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/EventHandler.h"
#include "halvex/provider/ProximitySensorWatcher.h"
#include "platform/power_notify.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <stdexcept>

namespace {

PDEVICE_CONTEXT RequireDeviceContext(WDFDEVICE device, const char* message) {
    PDEVICE_CONTEXT deviceContext = DeviceGetContext(device);
    if (deviceContext == nullptr) {
        throw std::runtime_error(message);
    }
    return deviceContext;
}

// A failed start of the device watcher is traced by the watcher, so that the
// display-state registration after it still happens; a failed stop is raised
// and caught at the callback's boundary.
void StartWatcher(PDEVICE_CONTEXT deviceContext) {
    ProximitySensorWatcher* watcher = deviceContext->ProximityWatcher;
    if (watcher == nullptr || !watcher->mDeviceWatcher) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "No proximity-sensor watcher to start");
        return;
    }
    watcher->StartWatching();
}

void StopWatcher(PDEVICE_CONTEXT deviceContext) {
    ProximitySensorWatcher* watcher = deviceContext->ProximityWatcher;
    if (watcher == nullptr || !watcher->mDeviceWatcher) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "No proximity-sensor watcher to stop");
        return;
    }
    watcher->StopWatching();
}

// Calls `action` with the number and handler of every built channel, in slot order.
template <typename Action> void ForEachChannel(PDEVICE_CONTEXT deviceContext, Action action) {
    for (ULONG i = 0; i < deviceContext->ConfiguredCount && deviceContext->ChannelObjects; ++i) {
        if (EventHandler* handler = deviceContext->ChannelObjects[i]) {
            action(i, handler);
        }
    }
}

// Once per starting D0 entry, whichever comes first: the registration's first
// delivery having reached every provider, or the start ending without a new
// registration (nothing will be delivered then).
void LetChannelsCompute(PDEVICE_CONTEXT deviceContext) {
    if (InterlockedExchange(&deviceContext->ComputeAfterDisplayState, 0) != 1) {
        return;
    }
    ForEachChannel(deviceContext, [](ULONG, EventHandler* handler) { handler->BeginComputing(); });
}

// Every channel computes once, after all of them have started and the display
// state has reached their providers: a channel that computed earlier would
// hand a shared radio its index while another channel had not said what it
// asks for, and a start whose registration fails would leave a channel whose
// sensors have not reported without any compute at all.
void StartEverything(WDFDEVICE device, PDEVICE_CONTEXT deviceContext) {
    try {
        ForEachChannel(deviceContext, [](ULONG i, EventHandler* handler) {
            // Slots are filled without gaps, so slot i need not hold record i.
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "Starting channel %u (%s)", i,
                        handler->GetChannelType() == ChannelTypeModem ? "MODEM" : "WLAN");
            handler->Start();
        });
        StartWatcher(deviceContext);
    } catch (...) {
        // What did start must still compute and hear of the display.
        TraceCaughtException(TRACE_DEVICE);
    }
    // Set only now: a delivery of a registration kept from before must not
    // let a channel compute before the last one has started.
    InterlockedExchange(&deviceContext->ComputeAfterDisplayState, 1);
    if (!RegisterDisplayStateNotification(device)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                    "RegisterDisplayStateNotification failed (last error %u)", GetLastError());
        LetChannelsCompute(deviceContext);
    }
}

void StopEverything(WDFDEVICE device, PDEVICE_CONTEXT deviceContext) {
    deviceContext->IsStopped = 1;
    if (!UnregisterDisplayStateNotification(device)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "UnregisterDisplayStateNotification failed");
    }
    ForEachChannel(deviceContext, [](ULONG, EventHandler* handler) { handler->Stop(); });
    StopWatcher(deviceContext);
}

void SetFlag(LONG volatile* flag, LONG from, LONG to, const char* name) {
    if (InterlockedCompareExchange(flag, to, from) == from) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "%s %d -> %d", name, from, to);
    }
}

} // namespace

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    FuncEntry(TRACE_DEVICE);
    try {
        POWER_ACTION action = WdfDeviceGetSystemPowerAction(Device);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "D0 entry from %s, action %s",
                    WdfPowerDeviceStateName(PreviousState), PowerActionName(action));
        PDEVICE_CONTEXT deviceContext = RequireDeviceContext(Device, " Device Context is NULL");

        InterlockedExchange(reinterpret_cast<LONG volatile*>(&deviceContext->IsDeviceRemoval), 0);
        // What the last D0 exit stopped is started again whatever this
        // entry's action: an entry reported with another action than its
        // exit's would otherwise leave the device running with nothing started.
        if (deviceContext->IsStopped != 0 || action == PowerActionHibernate ||
            PreviousState == WdfPowerDeviceD3Final) {
            // Back from whatever stopped it: a flag left at 1 would have the
            // sensor-hub provider ignore every service restart from here on.
            SetFlag(&deviceContext->InHibernate, 1, 0, "InHibernate");
            deviceContext->IsStopped = 0;
            StartEverything(Device, deviceContext);
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExit(TRACE_DEVICE, "STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    FuncEntry(TRACE_DEVICE);
    try {
        POWER_ACTION action = WdfDeviceGetSystemPowerAction(Device);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "D0 exit to %s, action %s",
                    WdfPowerDeviceStateName(TargetState), PowerActionName(action));
        PDEVICE_CONTEXT deviceContext = RequireDeviceContext(Device, " Device Context is NULL");

        if (TargetState == WdfPowerDeviceD3Final) {
            if (action == PowerActionNone) {
                InterlockedExchange(
                    reinterpret_cast<LONG volatile*>(&deviceContext->IsDeviceRemoval), 1);
            } else if (action == PowerActionHibernate) {
                SetFlag(&deviceContext->InHibernate, 0, 1, "InHibernate");
            }
            StopEverything(Device, deviceContext);
        } else if (action == PowerActionHibernate) {
            SetFlag(&deviceContext->InHibernate, 0, 1, "InHibernate");
            StopEverything(Device, deviceContext);
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExit(TRACE_DEVICE, "STATUS_SUCCESS");
    return STATUS_SUCCESS;
}

BOOLEAN RegisterDisplayStateNotification(WDFDEVICE Device) {
    FuncEntry(TRACE_DEVICE);
    BOOLEAN registered = FALSE;
    try {
        PDEVICE_CONTEXT deviceContext = RequireDeviceContext(Device, " Device Context is NULL");
        if (deviceContext->PowerNotifyHandle == nullptr) {
            deviceContext->PowerNotifyParams.Callback = ConsoleDisplayStateCallback;
            deviceContext->PowerNotifyParams.Context = Device;
            DWORD result = PowerSettingRegisterNotification(
                &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_CALLBACK,
                &deviceContext->PowerNotifyParams, &deviceContext->PowerNotifyHandle);
            if (result == ERROR_SUCCESS) {
                registered = TRUE;
            } else {
                deviceContext->PowerNotifyHandle = nullptr;
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                            "PowerSettingRegisterNotification failed %u (last error %u)", result,
                            GetLastError());
            }
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                        "Display-state notification already registered");
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExit(TRACE_DEVICE, "%s", registered ? "TRUE" : "FALSE");
    return registered;
}

BOOLEAN UnregisterDisplayStateNotification(WDFDEVICE Device) {
    FuncEntry(TRACE_DEVICE);
    BOOLEAN unregistered = FALSE;
    try {
        PDEVICE_CONTEXT deviceContext = RequireDeviceContext(Device, "Device Context is NULL");
        if (deviceContext->PowerNotifyHandle != nullptr) {
            DWORD result = PowerSettingUnregisterNotification(deviceContext->PowerNotifyHandle);
            if (result == ERROR_SUCCESS) {
                deviceContext->PowerNotifyHandle = nullptr;
                unregistered = TRUE;
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                            "PowerSettingUnregisterNotification failed %u (last error %u)", result,
                            GetLastError());
            }
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExit(TRACE_DEVICE, "%s", unregistered ? "TRUE" : "FALSE");
    return unregistered;
}

ULONG CALLBACK ConsoleDisplayStateCallback(PVOID Context, ULONG Type, PVOID Setting) {
    FuncEntry(TRACE_DEVICE);
    try {
        if (Context == nullptr) {
            throw std::runtime_error("Context received is NULL");
        }
        auto device = static_cast<WDFDEVICE>(Context);
        PDEVICE_CONTEXT deviceContext = RequireDeviceContext(device, "Device Context is NULL");
        auto* setting = static_cast<const POWERBROADCAST_SETTING*>(Setting);
        try {
            ForEachChannel(deviceContext, [&](ULONG, EventHandler* handler) {
                for (DataProvider* provider : handler->GetSensorList()) {
                    provider->OnPowerSettingChange(Type, setting);
                }
            });
        } catch (...) {
            TraceCaughtException(TRACE_DEVICE);
        }
        // The first delivery of a start's registration: every provider has
        // its display state, and the channels compute once with it.
        LetChannelsCompute(deviceContext);
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExit(TRACE_DEVICE, "0");
    return 0;
}

void EvtDeviceContextCleanup(WDFOBJECT Device) {
    FuncEntry(TRACE_DEVICE);
    try {
        auto device = static_cast<WDFDEVICE>(Device);
        PDEVICE_CONTEXT deviceContext = RequireDeviceContext(device, "Device Context is NULL");

        // A registration kept after a failed unregistration would call back
        // into this device once it is gone: it ends here at the latest.
        if (deviceContext->PowerNotifyHandle != nullptr) {
            DWORD result = PowerSettingUnregisterNotification(deviceContext->PowerNotifyHandle);
            if (result != ERROR_SUCCESS) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                            "PowerSettingUnregisterNotification at cleanup failed %u", result);
            }
            deviceContext->PowerNotifyHandle = nullptr;
        }

        // The watcher's handlers update the channels' providers: they are
        // shut out, and the running ones waited for, before any provider goes.
        if (deviceContext->ProximityWatcher != nullptr) {
            deviceContext->ProximityWatcher->ShutDown();
        }

        if (deviceContext->ChannelObjects != nullptr) {
            for (ULONG i = 0; i < deviceContext->ConfiguredCount; ++i) {
                EventHandler* handler = deviceContext->ChannelObjects[i];
                if (handler == nullptr) {
                    continue;
                }
                // The map must not outlive the providers it points at: a
                // device added again in this process starts with a clean map.
                RemoveSensorStateEntries(handler);
                delete handler;
                deviceContext->ChannelObjects[i] = nullptr;
            }
            delete[] deviceContext->ChannelObjects;
            deviceContext->ChannelObjects = nullptr;
        }

        delete deviceContext->ProximityWatcher;
        deviceContext->ProximityWatcher = nullptr;
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExitVoid(TRACE_DEVICE);
}

const char* WdfPowerDeviceStateName(WDF_POWER_DEVICE_STATE State) {
    switch (State) {
    case WdfPowerDeviceInvalid:
        return "WdfPowerDeviceInvalid";
    case WdfPowerDeviceD0:
        return "WdfPowerDeviceD0";
    case WdfPowerDeviceD1:
        return "WdfPowerDeviceD1";
    case WdfPowerDeviceD2:
        return "WdfPowerDeviceD2";
    case WdfPowerDeviceD3:
        return "WdfPowerDeviceD3";
    case WdfPowerDeviceD3Final:
        return "WdfPowerDeviceD3Final";
    case WdfPowerDevicePrepareForHibernation:
        return "WdfPowerDevicePrepareForHibernation";
    case WdfPowerDeviceMaximum:
        return "WdfPowerDeviceMaximum";
    default:
        return "UnKnown Device Power State";
    }
}

const char* PowerActionName(POWER_ACTION Action) {
    switch (Action) {
    case PowerActionNone:
        return "PowerActionNone";
    case PowerActionSleep:
        return "PowerActionSleep";
    case PowerActionHibernate:
        return "PowerActionHibernate";
    case PowerActionShutdown:
        return "PowerActionShutdown";
    case PowerActionShutdownReset:
        return "PowerActionShutdownReset";
    case PowerActionShutdownOff:
        return "PowerActionShutdownOff";
    default:
        return "UnKnown Power Action Enum";
    }
}
