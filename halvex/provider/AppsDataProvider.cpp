// The APPS sensor provider.
#include "halvex/provider/AppsDataProvider.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/DeviceContext.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstring>
#include <exception>
#include <stdexcept>

AppsDataProvider::AppsDataProvider(uint32_t sensorId, HANDLE sensorEvent, WDFDEVICE device)
    : mSensorId(sensorId), mSensorEvent(sensorEvent), mLock(nullptr) {
    FuncEntry(TRACE_PROVIDER);
    SetModuleDevice(device);
    NTSTATUS ntStatus = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &mLock);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "WdfWaitLockCreate fails for sensor %u: ntStatus=0x%08X",
                    static_cast<unsigned>(sensorId), static_cast<unsigned>(ntStatus));
        mLock = nullptr;
    }
    FuncExitVoid(TRACE_PROVIDER);
}

AppsDataProvider::~AppsDataProvider() {
    if (mLock != nullptr) {
        WdfObjectDelete(mLock);
        mLock = nullptr;
    }
}

bool AppsDataProvider::Start() {
    return true;
}

bool AppsDataProvider::Stop() {
    return true;
}

bool AppsDataProvider::IsActive() {
    return ValueOrForcedActive();
}

void AppsDataProvider::AcquireLock() {
    if (mLock != nullptr) {
        WdfWaitLockAcquire(mLock, nullptr);
    } else {
        mFallbackLock.lock();
    }
}

void AppsDataProvider::ReleaseLock() {
    if (mLock != nullptr) {
        WdfWaitLockRelease(mLock);
    } else {
        mFallbackLock.unlock();
    }
}

void AppsDataProvider::OnPowerSettingChange(ULONG type, const POWERBROADCAST_SETTING* setting) {
    (void)type;
    FuncEntry(TRACE_PROVIDER);
    // Only the first DWORD of the record is used; a record too short for it
    // carries no display state.
    if (setting == nullptr || setting->DataLength < sizeof(DWORD)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "Power setting record without a display state ignored");
        FuncExitVoid(TRACE_PROVIDER);
        return;
    }
    AcquireLock();
    try {
        DWORD displayState = 0;
        std::memcpy(&displayState, setting->Data, sizeof(displayState));
        mDisplayState.store(static_cast<int32_t>(displayState));
        try {
            PDEVICE_CONTEXT context =
                ModuleDevice() != nullptr ? DeviceGetContext(ModuleDevice()) : nullptr;
            if (context == nullptr) {
                throw std::runtime_error("Device Context is NULL");
            }
            // The proximity watcher's display gate is written by the watcher's
            // own code once the device has one; without it only the forced flag
            // follows the display.
            bool signal = false;
            if (displayState == 0) {
                mForcedActive.store(1);
                signal = true;
            } else if (displayState == 1) {
                mForcedActive.store(0);
                signal = true;
            }
            if (signal && mSensorEvent != nullptr) {
                SetEvent(mSensorEvent);
            }
        } catch (const std::runtime_error& e) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "%s", e.what());
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    ReleaseLock();
    FuncExitVoid(TRACE_PROVIDER);
}
