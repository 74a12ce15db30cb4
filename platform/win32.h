// Win32 threads, events, waits, errors and locks, as the driver uses them.
#pragma once

#include "platform/types.h"

#include <mutex>
#include <shared_mutex>

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);

// Threads. A thread handle is signalled once the thread procedure has returned;
// closing the handle does not stop the thread.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
DWORD GetCurrentThreadId();
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
#define STILL_ACTIVE 259u

// Events.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits. Time-outs are milliseconds of the machine's clock (see sim/clock.h).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                               BOOL alertable);

BOOL CloseHandle(HANDLE handle);

DWORD GetLastError();
void SetLastError(DWORD error);

void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64();

// The process heap. HeapAlloc fails (NULL, no exception) when the fault point
// "HeapAlloc" fires.
#define HEAP_ZERO_MEMORY 0x00000008u
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

// The debugger.
void OutputDebugStringA(LPCSTR text);
void DebugBreak();

// Critical sections and slim reader/writer locks.
struct CRITICAL_SECTION {
    std::recursive_mutex* Lock;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

// Statically initialisable, never deleted: the lock lives in the record itself.
struct SRWLOCK {
    std::shared_mutex Lock;
};
#define SRWLOCK_INIT                                                                               \
    {}
using PSRWLOCK = SRWLOCK*;
inline void InitializeSRWLock(PSRWLOCK) {}
inline void AcquireSRWLockExclusive(PSRWLOCK lock) {
    lock->Lock.lock();
}
inline void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    lock->Lock.unlock();
}
inline void AcquireSRWLockShared(PSRWLOCK lock) {
    lock->Lock.lock_shared();
}
inline void ReleaseSRWLockShared(PSRWLOCK lock) {
    lock->Lock.unlock_shared();
}

// Interlocked operations: sequentially consistent, on aligned 32-bit words and pointers.
inline LONG InterlockedIncrement(LONG volatile* target) {
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* target) {
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(LONG volatile* target, LONG value) {
    return __atomic_add_fetch(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
