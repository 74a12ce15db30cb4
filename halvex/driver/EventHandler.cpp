#include "halvex/driver/EventHandler.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/ChannelConfig.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <stdexcept>

namespace {

HANDLE CreateAutoResetEvent(const char* name) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "Failed to create %s event, error %u", name,
                    GetLastError());
    }
    return event;
}

void CloseEvent(HANDLE& event) {
    if (event != nullptr) {
        CloseHandle(event);
        event = nullptr;
    }
}

void TraceWaitFailure(DWORD result) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE,
                "Worker wait failed, result 0x%x, error %u: the channel stops reacting", result,
                GetLastError());
}

} // namespace

EventHandler::EventHandler(DataNotifier* notifier, Interpreter* interpreter, ULONG channelType)
    : mInterpreter(interpreter), mDataNotifier(notifier), mChannelType(channelType) {
    FuncEntry(TRACE_ENGINE);
    mStopEvent = CreateAutoResetEvent("stop");
    mSensorEvent = CreateAutoResetEvent("sensor-changed");
    mResendEvent = CreateAutoResetEvent("resend");
    mBeginEvent = CreateAutoResetEvent("begin-computing");
    FuncExitVoid(TRACE_ENGINE);
}

EventHandler::~EventHandler() {
    FuncEntry(TRACE_ENGINE);
    if (mThread != nullptr) {
        // A worker given up on by Stop (or never stopped) still uses the
        // providers, the table and the notifier: it must end first.
        if (mStopEvent != nullptr) {
            SetEvent(mStopEvent);
        }
        // The caller frees this object whatever happens here, so a failed
        // wait is no reason to leave while the worker may still run.
        while (WaitForSingleObject(mThread, INFINITE) != WAIT_OBJECT_0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE,
                        "Cannot wait for the channel worker (error %u), waiting again",
                        GetLastError());
            Sleep(kRetryWaitMs);
        }
        CloseHandle(mThread);
        mThread = nullptr;
    }
    delete mInterpreter;
    mInterpreter = nullptr;
    delete mDataNotifier;
    mDataNotifier = nullptr;
    // The providers hold copies of the sensor-changed event: they go before it is closed.
    for (DataProvider* provider : mSensors) {
        delete provider;
    }
    mSensors.clear();
    CloseEvent(mStopEvent);
    CloseEvent(mSensorEvent);
    CloseEvent(mResendEvent);
    CloseEvent(mBeginEvent);
    FuncExitVoid(TRACE_ENGINE);
}

void EventHandler::AddSensor(DataProvider* provider) {
    if (provider != nullptr) {
        mSensors.push_back(provider);
    }
}

bool EventHandler::ReapAbandonedWorker(DWORD milliseconds) {
    DWORD result = WaitForSingleObject(mThread, milliseconds);
    if (result != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(mThread);
    mThread = nullptr;
    mWorkerAbandoned = false;
    return true;
}

bool EventHandler::Start() {
    FuncEntry(TRACE_ENGINE);
    if (mThread != nullptr) {
        if (!mWorkerAbandoned) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "EventHandler already started");
            return false;
        }
        if (!ReapAbandonedWorker(kStopTimeoutMs)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE,
                        "The previous channel worker is still running, not starting");
            return false;
        }
    }
    try {
        // A stop signalled while no worker ran must not end the new one at
        // once, nor a BeginComputing meant for a worker that was running let
        // the new one compute before the other channels have started.
        for (HANDLE event : {mStopEvent, mBeginEvent}) {
            if (event != nullptr) {
                ResetEvent(event);
            }
        }
        mThread = CreateThread(nullptr, 0, WorkerThread, this, 0, nullptr);
        if (mThread == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "CreateThread failed, error %u",
                        GetLastError());
            throw std::runtime_error("Failed to create EventHandlerThread!");
        }
        StartComponents();
        FuncExit(TRACE_ENGINE, "true");
        return true;
    } catch (...) {
        TraceCaughtException(TRACE_ENGINE);
    }
    FuncExit(TRACE_ENGINE, "false");
    return false;
}

void EventHandler::BeginComputing() {
    // Without its own event the worker computes at every signal from its
    // start; a resend then stands in for the first compute.
    HANDLE event = mBeginEvent != nullptr ? mBeginEvent : mResendEvent;
    if (event != nullptr) {
        SetEvent(event);
    }
}

void EventHandler::StartComponents() {
    for (DataProvider* provider : mSensors) {
        if (provider == nullptr) {
            throw std::runtime_error("iterator is NULL");
        }
        if (!provider->Start()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "Sensor provider failed to start");
        }
    }
    if (mDataNotifier == nullptr) {
        throw std::runtime_error(" mDataNotifier is NULL");
    }
    mDataNotifier->Start();
}

void EventHandler::Stop() {
    FuncEntry(TRACE_ENGINE);
    try {
        if (mThread != nullptr) {
            if (mStopEvent != nullptr) {
                SetEvent(mStopEvent);
            }
            DWORD result = WaitForSingleObject(mThread, kStopTimeoutMs);
            if (result == WAIT_OBJECT_0) {
                if (!CloseHandle(mThread)) {
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE,
                                "CloseHandle of the worker failed, error %u", GetLastError());
                }
                mThread = nullptr;
                mWorkerAbandoned = false;
            } else {
                // Keep the handle: the destructor and the next Start wait for this worker.
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE,
                            "Channel worker did not end in time, wait result 0x%x", result);
                mWorkerAbandoned = true;
            }
        }
        StopComponents();
    } catch (...) {
        TraceCaughtException(TRACE_ENGINE);
    }
    FuncExitVoid(TRACE_ENGINE);
}

void EventHandler::StopComponents() {
    for (DataProvider* provider : mSensors) {
        if (provider == nullptr) {
            throw std::runtime_error("iterator is NULL");
        }
        if (!provider->Stop()) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "Sensor provider failed to stop");
        }
    }
    if (mDataNotifier == nullptr) {
        throw std::runtime_error(" mDataNotifier is NULL");
    }
    mDataNotifier->Stop();
}

DWORD WINAPI EventHandler::WorkerThread(LPVOID parameter) {
    if (parameter == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "EventHandler thread started without handler");
        return 0;
    }
    static_cast<EventHandler*>(parameter)->RunWorker();
    return 0;
}

void EventHandler::RunWorker() {
    FuncEntry(TRACE_ENGINE);
    // The modem notifier's WinRT calls run on this thread. Without the apartment
    // the loop still runs: the notifier catches its own WinRT failures.
    bool inApartment = false;
    if (mChannelType == ChannelTypeModem) {
        HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(result)) {
            inApartment = true;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE,
                        "Worker could not join the multithreaded apartment (0x%08X), running "
                        "without COM",
                        static_cast<unsigned>(result));
        }
    }

    const HANDLE events[] = {mStopEvent, mResendEvent, mSensorEvent};
    bool running = ComputeOnceAllHaveStarted();
    while (running) {
        DWORD result = WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + 1 || result == WAIT_OBJECT_0 + 2) {
            ComputeAndNotify();
            continue;
        }
        if (result != WAIT_OBJECT_0) {
            TraceWaitFailure(result);
        }
        running = false;
    }

    if (inApartment) {
        CoUninitialize();
    }
    FuncExitVoid(TRACE_ENGINE);
}

// A compute before every channel has started would reach a shared radio
// while another channel has not said what it asks for, and each signal the
// start draws (a provider's start, the display state's first delivery, a
// found interface) would be a compute of its own: a radio that fails would
// get a round of resends for each.
bool EventHandler::ComputeOnceAllHaveStarted() {
    if (mBeginEvent == nullptr) {
        return true;
    }
    const HANDLE events[] = {mStopEvent, mBeginEvent};
    DWORD result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) {
        return false;
    }
    if (result != WAIT_OBJECT_0 + 1) {
        TraceWaitFailure(result);
        return false;
    }
    // This compute reads the providers' latest states: what was signalled
    // before it is covered.
    for (HANDLE event : {mResendEvent, mSensorEvent}) {
        if (event != nullptr) {
            ResetEvent(event);
        }
    }
    ComputeAndNotify();
    return true;
}

void EventHandler::ComputeAndNotify() {
    ULONG stateMask = 0;
    for (DataProvider* provider : mSensors) {
        stateMask |= provider->IsActive() ? 1u : 0u;
    }
    LONG backoffIndex = BACKOFF_INDEX_NONE;
    bool found = mInterpreter != nullptr && mInterpreter->GetBackoffIndex(stateMask, &backoffIndex);
    if (!found || backoffIndex == BACKOFF_INDEX_NONE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_ENGINE, "No back-off index for state mask %u",
                    stateMask);
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_ENGINE, "State mask %u -> back-off index %d",
                stateMask, backoffIndex);
    if (mDataNotifier != nullptr) {
        mDataNotifier->Notify(stateMask, &backoffIndex);
    }
}
