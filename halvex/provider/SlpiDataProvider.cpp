// The SLPI sensor provider: its object, its worker thread, its hub client's
// life and its reaction to the display and to the loss of the sensor service.
#include "halvex/provider/SlpiDataProvider.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/DeviceContext.h"
#include "hmx/sns_client_service.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <stdexcept>

namespace {

// The worker's events, in the order of its wait.
enum WorkerWake : DWORD { WakeStop = 0, WakePower = 1, WakeSuidFound = 2, WakeReinit = 3 };

} // namespace

SlpiDataProvider::SlpiDataProvider(uint32_t sensorId, HANDLE sensorEvent, uint64_t suidLow,
                                   uint64_t suidHigh, WDFDEVICE device)
    : mLock(nullptr), mSensorEvent(sensorEvent), mConfigSuidLow(suidLow),
      mConfigSuidHigh(suidHigh) {
    FuncEntry(TRACE_PROVIDER);
    SetModuleDevice(device);
    mLock = CreateWaitLock(sensorId);
    FuncExitVoid(TRACE_PROVIDER);
}

SlpiDataProvider::~SlpiDataProvider() {
    FuncEntry(TRACE_PROVIDER);
    Stop();
    // A worker that Stop gave up on still uses this object: it must end first.
    ReapWorker();
    CloseEvents();
    if (mLock != nullptr) {
        WdfObjectDelete(mLock);
        mLock = nullptr;
    }
    FuncExitVoid(TRACE_PROVIDER);
}

void SlpiDataProvider::AcquireLock() {
    AcquireWaitLock(mLock, mFallbackLock);
}

void SlpiDataProvider::ReleaseLock() {
    ReleaseWaitLock(mLock, mFallbackLock);
}

std::pair<uint64_t, uint64_t> SlpiDataProvider::Suid() {
    std::lock_guard guard(mSuidLock);
    return {mSuidLow, mSuidHigh};
}

void SlpiDataProvider::SetSuid(uint64_t low, uint64_t high) {
    std::lock_guard guard(mSuidLock);
    mSuidLow = low;
    mSuidHigh = high;
}

bool SlpiDataProvider::IsActive() {
    return ValueOrForcedActive();
}

void SlpiDataProvider::OnPowerSettingChange(ULONG type, const POWERBROADCAST_SETTING* setting) {
    (void)type;
    FuncEntry(TRACE_PROVIDER);
    std::optional<DWORD> state = DisplayStateOf(setting);
    if (!state) {
        FuncExitVoid(TRACE_PROVIDER);
        return;
    }
    mDisplayState.store(static_cast<int32_t>(*state));
    // Display off forces the sensor active at once, and on ends the forcing
    // at once: the worker, which keeps the client, may be waiting for the
    // service for as long as it stays away.
    if (ForceForDisplay(*state, TakeFirstDisplayState()) && mSensorEvent != nullptr) {
        SetEvent(mSensorEvent);
    }
    if (mPowerEvent != nullptr) {
        SetEvent(mPowerEvent);
    }
    FuncExitVoid(TRACE_PROVIDER);
}

bool SlpiDataProvider::Start() {
    FuncEntry(TRACE_PROVIDER);
    bool result = true;
    try {
        // A worker given up on by the last Stop may still be running.
        ReapWorker();
        AwaitDisplayState();
        for (HANDLE* event : {&mStopEvent, &mPowerEvent, &mSuidFoundEvent, &mReinitEvent}) {
            if (*event == nullptr) {
                *event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
                if (*event == nullptr) {
                    throw std::runtime_error("CreateEvent failed");
                }
            }
        }
        mStopRequested.store(false);
        // The worker runs whatever comes of the open: it re-opens the client
        // at the next display-on or service error, and it waits for a service
        // that is not up yet, which the D0 entry must not.
        Open open = OpenClient(false);
        if (open == Open::Failed) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "initSensorChannel failed");
            result = false;
        } else if (open == Open::NoService) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "The sensor service is not up: the worker waits for it");
            SetEvent(mReinitEvent);
        }
        AcquireLock();
        if (mThread == nullptr) {
            // A stop signalled to an earlier worker must not end this one.
            ResetEvent(mStopEvent);
            mThread = CreateThread(nullptr, 0, ReinitThreadProc, this, 0, nullptr);
            if (mThread == nullptr) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                            "CreateThread for the SLPI worker failed: %u", GetLastError());
                result = false;
            }
        }
        ReleaseLock();
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
        result = false;
    }
    if (mThread == nullptr) {
        // Without a worker no report is asked for: until the next start the
        // sensor cannot be read.
        mValue.store(1.0f);
    }
    // The channel hears of the sensor once whatever came of the start, so a
    // sensor that cannot be read, or has not reported yet, counts as
    // detected at the radio.
    if (mSensorEvent != nullptr) {
        SetEvent(mSensorEvent);
    }
    FuncExit(TRACE_PROVIDER, "%s", result ? "true" : "false");
    return result;
}

bool SlpiDataProvider::Stop() {
    FuncEntry(TRACE_PROVIDER);
    mStopRequested.store(true);
    ReleaseClient();
    if (mThread != nullptr) {
        SetEvent(mStopEvent);
        DWORD wait = WaitForSingleObject(mThread, kStopTimeoutMs);
        if (wait != WAIT_OBJECT_0) {
            // The worker's wait for the service ends within a slice of the
            // stop, but a response it waits for may not come. It still uses
            // its events and this object: keep both until it has ended (the
            // next Start or the destructor waits for it).
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "SLPI worker did not end within %u ms (wait 0x%08X); kept until it does",
                        static_cast<unsigned>(kStopTimeoutMs), static_cast<unsigned>(wait));
            FuncExit(TRACE_PROVIDER, "true");
            return true;
        }
        if (!CloseHandle(mThread)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "CloseHandle(thread) failed: %u",
                        GetLastError());
        }
        mThread = nullptr;
        // The worker may have opened a client after the release above.
        ReleaseClient();
    }
    CloseEvents();
    FuncExit(TRACE_PROVIDER, "true");
    return true;
}

void SlpiDataProvider::ReapWorker() {
    if (mThread == nullptr) {
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Waiting for the SLPI worker to end");
    mStopRequested.store(true);
    SetEvent(mStopEvent);
    WaitForSingleObject(mThread, INFINITE);
    CloseHandle(mThread);
    mThread = nullptr;
    ReleaseClient();
}

void SlpiDataProvider::CloseEvents() {
    for (HANDLE* event : {&mStopEvent, &mPowerEvent, &mSuidFoundEvent, &mReinitEvent}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

bool SlpiDataProvider::initSensorChannel() {
    return OpenClient(true) == Open::Opened;
}

int32_t SlpiDataProvider::WaitForService(bool keepWaiting, hmx_client_type* client) {
    // What counts is how long the sensor has gone unread, whatever display
    // changes and power transitions came between: a new wait does not start
    // the count again. With no client configured since the device was added,
    // the sensor has not reported, and counts as detected already.
    const ULONGLONG unreadSince = [this] {
        std::lock_guard guard(mReadLock);
        return mUnreadSince.value_or(GetTickCount64());
    }();
    ULONGLONG waits = 0;
    int32_t previous = HMX_NO_ERR;
    // The first look does not wait: with the service away, a reading that
    // has gone unread too long counts as detected at once (at a display-on,
    // or as the worker takes the wait over from a start).
    for (bool first = true;; first = false) {
        int32_t rc =
            hmx_client_wait_for_service(&hmx_sns_client_service_object, IndicationCallback, this,
                                        keepWaiting && !first ? kServiceSliceMs : 0, client);
        if (rc == HMX_NO_ERR) {
            return rc;
        }
        if (!keepWaiting) {
            if (rc != HMX_TIMEOUT_ERR) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                            "hmx_client_wait_for_service failed. hmx_err = %d", rc);
            }
            return rc;
        }
        if (rc != HMX_TIMEOUT_ERR) {
            // A failed open is tried again a slice later, not at once (the
            // worker would spin) and not only at the next display-on (the
            // sensor would go unread until then).
            if (rc != previous) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                            "hmx_client_wait_for_service failed. hmx_err = %d; trying again", rc);
            }
            Sleep(kServiceSliceMs);
        }
        previous = rc;
        if (mStopRequested.load()) {
            return rc;
        }
        CountUnreadWaits(unreadSince, waits, rc);
    }
}

void SlpiDataProvider::CountUnreadWaits(ULONGLONG unreadSince, ULONGLONG& waits, int32_t rc) {
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG unread = now > unreadSince ? now - unreadSince : 0;
    if (unread / kServiceWaitMs <= waits) {
        return;
    }
    waits = unread / kServiceWaitMs;
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                "hmx_client_wait_for_service failed. hmx_err = %d", rc);
    // The last reading is stale by now, and no error callback can come
    // without a client: the sensor counts as detected until it reports
    // again, and the wait goes on.
    CountAsDetected();
}

void SlpiDataProvider::ClientConfigured(hmx_client_type client) {
    AcquireLock();
    // A client released meanwhile (display off, stop) is not read through.
    if (client != 0 && mClient.load() == client) {
        std::lock_guard guard(mReadLock);
        mConfiguredClient = client;
    }
    ReleaseLock();
}

void SlpiDataProvider::ClientGone(hmx_client_type client) {
    std::lock_guard guard(mReadLock);
    if (client != 0 && client == mConfiguredClient) {
        mConfiguredClient = 0;
        mUnreadSince = GetTickCount64();
    }
}

void SlpiDataProvider::CountAsDetected() {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                "The SAR sensor cannot be read: it counts as detected");
    SetValue(1.0f);
}

SlpiDataProvider::Open SlpiDataProvider::OpenClient(bool waitForService) {
    FuncEntry(TRACE_PROVIDER);
    if (mServiceError.load() != 0) {
        ReleaseClient();
    }
    if (mSuidFound.load() == 1) {
        FuncExit(TRACE_PROVIDER, "false (SUID already found)");
        return Open::Failed;
    }
    // The hub's services are not ready in the first second after boot.
    ULONGLONG now = GetTickCount64();
    if (now < kBootWaitMs) {
        TraceEvents(
            TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "Machine up %llu ms: waiting until %llu ms",
            static_cast<unsigned long long>(now), static_cast<unsigned long long>(kBootWaitMs));
        Sleep(static_cast<DWORD>(kBootWaitMs - now));
    }

    AcquireLock();
    if (hmx_client_type old = mClient.load(); old != 0) {
        if (int32_t rc = hmx_client_release(old); rc == HMX_CLIENT_INVALID_SIG) {
            // The old client is still open: kept for the next release, as in
            // ReleaseClient, rather than forgotten behind a new one.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "hmx_client_release failed: %d", rc);
            ReleaseLock();
            FuncExit(TRACE_PROVIDER, "false");
            return Open::Failed;
        }
        mSuidFound.store(0);
    }
    mClient.store(0);

    hmx_client_type client = 0;
    int32_t rc = WaitForService(waitForService, &client);
    if (rc != HMX_NO_ERR) {
        mClient.store(0);
        ReleaseLock();
        FuncExit(TRACE_PROVIDER, "false (no service)");
        return Open::NoService;
    }
    mClient.store(client);

    rc = hmx_client_set_error_callback(client, ServiceErrorCallback, this);
    if (rc != HMX_NO_ERR) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                    "hmx_client_set_error_callback failed. hmx_err = %d", rc);
        hmx_client_release(client);
        mClient.store(0);
        ReleaseLock();
        return UnreadAfterOpen();
    }

    std::string lookup;
    if (!BuildSuidLookup(lookup)) {
        hmx_client_release(client);
        mClient.store(0);
        ReleaseLock();
        return UnreadAfterOpen();
    }
    rc = SendRequest(client, lookup);
    ReleaseLock();
    if (rc != HMX_NO_ERR) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "SUID lookup failed: %d", rc);
        return UnreadAfterOpen();
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER, "SUID lookup for \"SAR\" sent");
    FuncExit(TRACE_PROVIDER, "true");
    return Open::Opened;
}

SlpiDataProvider::Open SlpiDataProvider::UnreadAfterOpen() {
    // Nothing asks the hub for reports until the next display-on or service
    // error opens the client again, so the last reading is stale until then.
    // An open that a stop ended says nothing of the sensor.
    if (!mStopRequested.load()) {
        CountAsDetected();
    }
    FuncExit(TRACE_PROVIDER, "false");
    return Open::Failed;
}

void SlpiDataProvider::ReleaseClient() {
    if (mClient.load() == 0) {
        return;
    }
    AcquireLock();
    if (hmx_client_type client = mClient.load(); client != 0) {
        int32_t rc = hmx_client_release(client);
        if (rc != HMX_NO_ERR) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "hmx_client_release failed: %d", rc);
        }
        if (rc == HMX_CLIENT_INVALID_SIG) {
            // No wait event: the library left the client open. It is kept, so
            // that the next release (the next lookup's, or the stop's) closes
            // it instead of leaving it to the process's end.
            ReleaseLock();
            return;
        }
        ClientGone(client);
    }
    mClient.store(0);
    mSuidFound.store(0);
    ReleaseLock();
}

DWORD WINAPI SlpiDataProvider::ReinitThreadProc(LPVOID parameter) {
    FuncEntry(TRACE_PROVIDER);
    try {
        if (parameter == nullptr) {
            throw std::runtime_error("Reinit context is null");
        }
        static_cast<SlpiDataProvider*>(parameter)->ReinitThreadLoop();
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExit(TRACE_PROVIDER, "0");
    return 0;
}

void SlpiDataProvider::ReinitThreadLoop() {
    HANDLE events[] = {mStopEvent, mPowerEvent, mSuidFoundEvent, mReinitEvent};
    for (;;) {
        DWORD wake = WaitForMultipleObjects(4, events, FALSE, INFINITE);
        switch (wake) {
        case WakeStop:
            return;
        case WakePower:
            // The forcing changed already, when the state was delivered.
            if (mDisplayState.load() == 0) {
                ReleaseClient();
            } else if (mDisplayState.load() == 1) {
                initSensorChannel();
            }
            break;
        case WakeSuidFound:
            SendSensorRequest(1);
            SendSensorRequest(514);
            break;
        case WakeReinit:
            initSensorChannel();
            break;
        default:
            // Waiting again would fail again at once: end instead of spinning.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "SLPI worker wait failed (0x%08X, error %u); the worker ends",
                        static_cast<unsigned>(wake), GetLastError());
            return;
        }
    }
}

void SlpiDataProvider::ServiceErrorCallback(hmx_client_type client, int32_t error, void* data) {
    FuncEntry(TRACE_PROVIDER);
    try {
        WDFDEVICE device = ModuleDevice();
        PDEVICE_CONTEXT context = device != nullptr ? DeviceGetContext(device) : nullptr;
        if (context == nullptr) {
            throw std::runtime_error("Device Context is NULL");
        }
        auto* provider = static_cast<SlpiDataProvider*>(data);
        if (provider == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER, "Service error without a provider");
        } else if (InterlockedCompareExchange(&context->InHibernate, 0, 0) == 1) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_PROVIDER,
                        "Service error %d on client %u ignored while hibernating", error,
                        static_cast<unsigned>(client));
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_PROVIDER,
                        "Service error %d on client %u: re-opening the client", error,
                        static_cast<unsigned>(client));
            provider->mServiceError.store(1);
            SetEvent(provider->mReinitEvent);
        }
    } catch (...) {
        TraceCaughtException(TRACE_PROVIDER);
    }
    FuncExitVoid(TRACE_PROVIDER);
}
