// The device handle shared by every provider of the module.
#include "halvex/provider/DataProvider.h"

#include "platform/trace.h"
#include "platform/wdf.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<WDFDEVICE> gProviderDevice{nullptr};
} // namespace

WDFDEVICE DataProvider::ModuleDevice() {
    return gProviderDevice.load();
}

void DataProvider::SetModuleDevice(WDFDEVICE device) {
    gProviderDevice.store(device);
}

WDFWAITLOCK DataProvider::CreateWaitLock(uint32_t sensorId) {
    WDFWAITLOCK lock = nullptr;
    NTSTATUS ntStatus = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "WdfWaitLockCreate fails for sensor %u: ntStatus=0x%08X",
                    static_cast<unsigned>(sensorId), static_cast<unsigned>(ntStatus));
        return nullptr;
    }
    return lock;
}

void DataProvider::AcquireWaitLock(WDFWAITLOCK lock, std::mutex& fallback) {
    if (lock != nullptr) {
        WdfWaitLockAcquire(lock, nullptr);
    } else {
        fallback.lock();
    }
}

void DataProvider::ReleaseWaitLock(WDFWAITLOCK lock, std::mutex& fallback) {
    if (lock != nullptr) {
        WdfWaitLockRelease(lock);
    } else {
        fallback.unlock();
    }
}

std::optional<DWORD> DataProvider::DisplayStateOf(const POWERBROADCAST_SETTING* setting) {
    if (setting == nullptr || setting->DataLength < sizeof(DWORD)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "Power setting record without a display state ignored");
        return std::nullopt;
    }
    DWORD displayState = 0;
    std::memcpy(&displayState, setting->Data, sizeof(displayState));
    return displayState;
}

bool DataProvider::ForceForDisplay(DWORD displayState, bool first) {
    if (displayState == 0) {
        mForcedActive.store(1);
        return true;
    }
    // The registration's delivery is the channel's first word on the display
    // since it started: whatever the state, the channel computes, so that a
    // start while the display is dimmed does not leave the radio unset until
    // a sensor reports.
    if (displayState == 1 || first) {
        mForcedActive.store(0);
        return true;
    }
    return false;
}
