// Small utilities of the framework: event and wait wrappers, a delay, GUID
// comparison and the handler of calls through pure virtual slots.
#pragma once

#include "platform/types.h"

// A manual-reset event that starts signalled.
NTSTATUS DMF_EventCreate(HANDLE* Event);
void DMF_EventSet(HANDLE* Event);
void DMF_EventReset(HANDLE* Event);
void DMF_EventClose(HANDLE* Event);
// Waits without time-out; the wait result as an NTSTATUS.
NTSTATUS DMF_EventWait(HANDLE* Event);

void DMF_SleepMilliseconds(ULONG Milliseconds);
BOOLEAN DMF_GuidsEqual(const GUID* Guid1, const GUID* Guid2);

// The handler of a call through a pure virtual slot of the driver's abstract
// classes: traces the error and returns 0.
extern "C" int _purecall(void);
