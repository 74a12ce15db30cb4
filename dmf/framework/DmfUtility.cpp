#include "dmf/framework/DmfUtility.h"

#include "platform/trace.h"
#include "platform/win32.h"

#include <cstring>

NTSTATUS DMF_EventCreate(HANDLE* Event) {
    *Event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (*Event != nullptr) {
        return STATUS_SUCCESS;
    }
    DWORD lastError = GetLastError();
    NTSTATUS ntStatus;
    if (lastError == ERROR_SUCCESS) {
        // A failure must not read as success to the caller.
        ntStatus = STATUS_UNSUCCESSFUL;
    } else if (static_cast<LONG>(lastError) < 0) {
        ntStatus = static_cast<NTSTATUS>(lastError);
    } else {
        ntStatus = static_cast<NTSTATUS>(0xC0070000u | (lastError & 0xFFFFu));
    }
    TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "CreateEventW fails: lastError=%u ntStatus=0x%08X",
                lastError, static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_EventSet(HANDLE* Event) {
    SetEvent(*Event);
}

void DMF_EventReset(HANDLE* Event) {
    ResetEvent(*Event);
}

void DMF_EventClose(HANDLE* Event) {
    if (*Event != nullptr) {
        CloseHandle(*Event);
        *Event = nullptr;
    }
}

NTSTATUS DMF_EventWait(HANDLE* Event) {
    DWORD result = WaitForSingleObjectEx(*Event, INFINITE, FALSE);
    switch (result) {
    case WAIT_OBJECT_0:
        return STATUS_SUCCESS;
    case WAIT_TIMEOUT:
        return STATUS_TIMEOUT;
    case WAIT_ABANDONED:
        return static_cast<NTSTATUS>(0x00000080);
    case WAIT_IO_COMPLETION:
        return static_cast<NTSTATUS>(0x00000101); // alerted
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

void DMF_SleepMilliseconds(ULONG Milliseconds) {
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Sleep %u ms", Milliseconds);
    Sleep(Milliseconds);
}

BOOLEAN DMF_GuidsEqual(const GUID* Guid1, const GUID* Guid2) {
    return std::memcmp(Guid1, Guid2, sizeof(GUID)) == 0 ? TRUE : FALSE;
}

// Pure virtual slots of the driver's abstract classes are meant to land here:
// a call through one is a defect, reported rather than fatal.
extern "C" int _purecall(void) {
    TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Pure virtual function called");
    return 0;
}

// The compiler fills every pure virtual slot with this hook. Defined here, it
// binds inside the driver library (which exports nothing but its entry), so the
// driver's slots reach _purecall while the host keeps the runtime's own hook,
// which ends the process.
extern "C" __attribute__((visibility("hidden"))) int __cxa_pure_virtual(void) {
    return _purecall();
}
