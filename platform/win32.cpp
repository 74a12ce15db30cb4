#include "platform/win32.h"

#include "platform/sim/clock.h"
#include "platform/sim/faults.h"
#include "platform/sim/kernel.h"

#include <cstdlib>

namespace kernel = sim::kernel;

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

// Fails the call with the fault's Win32 error when `point` fires.
bool Faulted(std::string_view point, DWORD fallbackError) {
    if (auto code = sim::CheckFault(point)) {
        SetLastError(sim::FaultCodeOr<DWORD>(*code, fallbackError));
        return true;
    }
    return false;
}

std::shared_ptr<kernel::Object> LookupEvent(HANDLE handle) {
    auto object = kernel::LookupLocked(handle);
    if (!object || object->kind != kernel::ObjectKind::Event) {
        return nullptr;
    }
    return object;
}

} // namespace

DWORD GetLastError() {
    return tLastError;
}
void SetLastError(DWORD error) {
    tLastError = error;
}

DWORD GetCurrentThreadId() {
    return kernel::CurrentThreadId();
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (startAddress == nullptr || creationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (Faulted("CreateThread", ERROR_NOT_ENOUGH_MEMORY)) {
        return nullptr;
    }
    return kernel::StartThread([startAddress, parameter] { return startAddress(parameter); },
                               threadId);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    std::lock_guard guard(kernel::DispatcherLock());
    auto object = kernel::LookupLocked(thread);
    if (!object || object->kind != kernel::ObjectKind::Thread || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->exitCode;
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER); // named events are not part of this machine
        return nullptr;
    }
    if (Faulted("CreateEventW", ERROR_NOT_ENOUGH_MEMORY)) {
        return nullptr;
    }
    auto object = std::make_shared<kernel::Object>();
    object->kind = kernel::ObjectKind::Event;
    object->manualReset = manualReset != FALSE;
    object->signaled = initialState != FALSE;
    return kernel::InsertHandle(std::move(object));
}

BOOL SetEvent(HANDLE event) {
    if (Faulted("SetEvent", ERROR_INVALID_HANDLE)) {
        return FALSE;
    }
    std::lock_guard guard(kernel::DispatcherLock());
    auto object = LookupEvent(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    kernel::SignalLocked(*object);
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    std::lock_guard guard(kernel::DispatcherLock());
    auto object = LookupEvent(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->signaled = false;
    kernel::StateChangedLocked();
    return TRUE;
}

DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                               BOOL) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (Faulted("WaitForMultipleObjects", ERROR_INVALID_HANDLE)) {
        return WAIT_FAILED;
    }
    std::unique_lock lock(kernel::DispatcherLock());
    std::vector<std::shared_ptr<kernel::Object>> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto object = kernel::LookupLocked(handles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return kernel::WaitAny(objects, lock, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return WaitForMultipleObjectsEx(count, handles, waitAll, milliseconds, FALSE);
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL) {
    if (Faulted("WaitForSingleObject", ERROR_INVALID_HANDLE)) {
        return WAIT_FAILED;
    }
    std::unique_lock lock(kernel::DispatcherLock());
    auto object = kernel::LookupLocked(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return kernel::WaitAny({object}, lock, milliseconds);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForSingleObjectEx(handle, milliseconds, FALSE);
}

BOOL CloseHandle(HANDLE handle) {
    if (Faulted("CloseHandle", ERROR_INVALID_HANDLE)) {
        return FALSE;
    }
    std::lock_guard guard(kernel::DispatcherLock());
    if (!kernel::CloseHandleLocked(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::unique_lock lock(kernel::DispatcherLock());
    kernel::WaitAny({}, lock, milliseconds);
}

HANDLE GetProcessHeap() {
    static int heap;
    return &heap;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != GetProcessHeap() || Faulted("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY)) {
        return nullptr;
    }
    // Never NULL for a request of 0 bytes, as on the platform.
    return (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, bytes == 0 ? 1 : bytes)
                                           : std::malloc(bytes == 0 ? 1 : bytes);
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (heap != GetProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(memory);
    return TRUE;
}

ULONGLONG GetTickCount64() {
    return sim::UptimeMs();
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    section->Lock = new std::recursive_mutex;
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete section->Lock;
    section->Lock = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    section->Lock->lock();
}
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return section->Lock->try_lock() ? TRUE : FALSE;
}
void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    section->Lock->unlock();
}
