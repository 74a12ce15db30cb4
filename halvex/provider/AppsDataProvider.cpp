// The APPS sensor provider.
#include "halvex/provider/AppsDataProvider.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/provider/ProximitySensorWatcher.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <exception>
#include <stdexcept>

AppsDataProvider::AppsDataProvider(uint32_t sensorId, HANDLE sensorEvent, WDFDEVICE device)
    : mSensorId(sensorId), mSensorEvent(sensorEvent), mLock(nullptr) {
    FuncEntry(TRACE_PROVIDER);
    SetModuleDevice(device);
    mLock = CreateWaitLock(sensorId);
    FuncExitVoid(TRACE_PROVIDER);
}

AppsDataProvider::~AppsDataProvider() {
    if (mLock != nullptr) {
        WdfObjectDelete(mLock);
        mLock = nullptr;
    }
}

bool AppsDataProvider::Start() {
    AwaitDisplayState();
    return true;
}

bool AppsDataProvider::Stop() {
    return true;
}

bool AppsDataProvider::IsActive() {
    return ValueOrForcedActive();
}

void AppsDataProvider::AcquireLock() {
    AcquireWaitLock(mLock, mFallbackLock);
}

void AppsDataProvider::ReleaseLock() {
    ReleaseWaitLock(mLock, mFallbackLock);
}

void AppsDataProvider::OnPowerSettingChange(ULONG type, const POWERBROADCAST_SETTING* setting) {
    (void)type;
    FuncEntry(TRACE_PROVIDER);
    std::optional<DWORD> state = DisplayStateOf(setting);
    if (!state) {
        FuncExitVoid(TRACE_PROVIDER);
        return;
    }
    ProximitySensorWatcher* opened = nullptr;
    AcquireLock();
    try {
        DWORD displayState = *state;
        mDisplayState.store(static_cast<int32_t>(displayState));
        bool first = TakeFirstDisplayState();
        try {
            PDEVICE_CONTEXT context =
                ModuleDevice() != nullptr ? DeviceGetContext(ModuleDevice()) : nullptr;
            if (context == nullptr) {
                throw std::runtime_error("Device Context is NULL");
            }
            // The watcher passes readings on only while the display is on;
            // while it is off the forced flag stands in for them. The first
            // state a start hears of opens the gate unless it is off: a
            // dimmed display is on, and a gate left closed would hold every
            // reading back until the display next comes on.
            ProximitySensorWatcher* watcher = context->ProximityWatcher;
            const bool on = displayState == 1 || (first && displayState != 0);
            if (watcher != nullptr && (displayState == 0 || on)) {
                watcher->mDisplayOn.store(on ? 1 : 0);
                opened = on ? watcher : nullptr;
            }
            if (ForceForDisplay(displayState, first) && mSensorEvent != nullptr) {
                SetEvent(mSensorEvent);
            }
        } catch (const std::runtime_error& e) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "%s", e.what());
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    ReleaseLock();
    // Outside the lock: passing a reading on takes the lock of every provider
    // of its sensor ID, this one's among them.
    if (opened != nullptr) {
        opened->PassKeptReadings();
    }
    FuncExitVoid(TRACE_PROVIDER);
}
