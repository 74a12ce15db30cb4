#include "platform/wpp.h"

#include "platform/sim/faults.h"
#include "platform/sim/wpp_control.h"
#include "platform/win32.h"

#include <condition_variable>
#include <map>
#include <mutex>

namespace {

struct Registration {
    GUID controlGuid;
    WMIDPREQUEST callback;
    PVOID context;
};

// What an enable request carries: read back through GetTraceLoggerHandle and friends.
struct SessionHeader {
    TRACEHANDLE logger;
    UCHAR level;
    ULONG flags;
};

struct Providers {
    std::mutex lock;
    std::condition_variable changed;
    std::map<TRACEHANDLE, Registration> registrations;
    TRACEHANDLE nextHandle = 0x5100;
    TRACEHANDLE nextLogger = 0x9000;
    // Registrations whose control callback runs now, with how many calls.
    std::map<TRACEHANDLE, int> running;
    std::map<TRACEHANDLE, SessionHeader> sessions; // by logger handle
    bool autoLogRunning = false;
    std::size_t autoLogStarts = 0;
    std::size_t autoLogStops = 0;
};

Providers& TheProviders() {
    static Providers* providers = new Providers; // a late unregistration may come at exit
    return *providers;
}

ULONG Fail(ULONG error) {
    SetLastError(error);
    return error;
}

ULONG Control(const GUID& controlGuid, WMIDPREQUESTCODE code, const SessionHeader* header) {
    auto& providers = TheProviders();
    std::unique_lock lock(providers.lock);
    for (auto& [handle, registration] : providers.registrations) {
        if (!(registration.controlGuid == controlGuid)) {
            continue;
        }
        Registration copy = registration;
        TRACEHANDLE key = handle;
        SessionHeader session{};
        if (header != nullptr) {
            session = *header;
            session.logger = providers.nextLogger++;
            providers.sessions[session.logger] = session;
        }
        ++providers.running[key];
        lock.unlock();
        ULONG size = header != nullptr ? sizeof(SessionHeader) : 0;
        ULONG result =
            copy.callback(code, copy.context, &size, header != nullptr ? &session : nullptr);
        lock.lock();
        if (--providers.running[key] == 0) {
            providers.running.erase(key);
        }
        providers.changed.notify_all();
        return result;
    }
    return ERROR_NOT_FOUND;
}

} // namespace

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid,
                          ULONG GuidCount, PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR, LPCWSTR,
                          PTRACEHANDLE RegistrationHandle) {
    if (auto code = sim::CheckFault("RegisterTraceGuidsW")) {
        return Fail(sim::FaultCodeOr<ULONG>(*code, ERROR_NOT_ENOUGH_MEMORY));
    }
    if (RequestAddress == nullptr || ControlGuid == nullptr || RegistrationHandle == nullptr ||
        (GuidCount > 0 && TraceGuidReg == nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    TRACEHANDLE handle = providers.nextHandle++;
    providers.registrations.emplace(handle,
                                    Registration{*ControlGuid, RequestAddress, RequestContext});
    for (ULONG i = 0; i < GuidCount; ++i) {
        TraceGuidReg[i].RegHandle = reinterpret_cast<HANDLE>(handle);
    }
    *RegistrationHandle = handle;
    return ERROR_SUCCESS;
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
    if (auto code = sim::CheckFault("UnregisterTraceGuids")) {
        return Fail(sim::FaultCodeOr<ULONG>(*code, ERROR_INVALID_PARAMETER));
    }
    auto& providers = TheProviders();
    std::unique_lock lock(providers.lock);
    if (providers.registrations.erase(RegistrationHandle) == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // A control callback of this registration that runs now must end first.
    providers.changed.wait(lock, [&] { return providers.running.count(RegistrationHandle) == 0; });
    return ERROR_SUCCESS;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) {
    if (Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<TRACEHANDLE>(-1);
    }
    return static_cast<const SessionHeader*>(Buffer)->logger;
}

UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    auto it = providers.sessions.find(TraceHandle);
    return it == providers.sessions.end() ? 0 : it->second.level;
}

ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    auto it = providers.sessions.find(TraceHandle);
    return it == providers.sessions.end() ? 0 : it->second.flags;
}

void WppAutoLogStart(PVOID, PDRIVER_OBJECT, PCUNICODE_STRING) {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    providers.autoLogRunning = true;
    ++providers.autoLogStarts;
}

void WppAutoLogStop(PVOID, PDRIVER_OBJECT) {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    providers.autoLogRunning = false;
    ++providers.autoLogStops;
}

namespace sim::wpp {

void Reset() {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    providers.registrations.clear();
    providers.sessions.clear();
    providers.autoLogRunning = false;
    providers.autoLogStarts = 0;
    providers.autoLogStops = 0;
}

bool IsRegistered(const GUID& controlGuid) {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    for (const auto& entry : providers.registrations) {
        if (entry.second.controlGuid == controlGuid) {
            return true;
        }
    }
    return false;
}

std::size_t RegistrationCount() {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    return providers.registrations.size();
}

bool AutoLogRunning() {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    return providers.autoLogRunning;
}

std::size_t AutoLogStarts() {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    return providers.autoLogStarts;
}

std::size_t AutoLogStops() {
    auto& providers = TheProviders();
    std::lock_guard guard(providers.lock);
    return providers.autoLogStops;
}

ULONG EnableProvider(const GUID& controlGuid, UCHAR level, ULONG flags) {
    SessionHeader header{0, level, flags};
    return Control(controlGuid, WMI_ENABLE_EVENTS, &header);
}

ULONG DisableProvider(const GUID& controlGuid) {
    return Control(controlGuid, WMI_DISABLE_EVENTS, nullptr);
}

ULONG SendControlRequest(const GUID& controlGuid, ULONG requestCode) {
    return Control(controlGuid, static_cast<WMIDPREQUESTCODE>(requestCode), nullptr);
}

} // namespace sim::wpp
