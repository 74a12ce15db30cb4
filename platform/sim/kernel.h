// The stand-in's dispatcher: waitable objects behind handles, the threads the
// stand-in started, and the bookkeeping that quiescence reads. Internal to the
// platform stand-in; the system's code uses platform/win32.h.
#pragma once

#include "platform/types.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::kernel {

enum class ObjectKind { Event, Thread };

struct Object {
    ObjectKind kind = ObjectKind::Event;
    bool signaled = false;
    bool manualReset = false;
    DWORD exitCode = 0;
    std::vector<std::condition_variable*> waiters;
};

// The dispatcher lock guards every object's state and the thread table.
std::mutex& DispatcherLock();

HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object behind a live handle; null for NULL, INVALID_HANDLE_VALUE and closed handles.
std::shared_ptr<Object> LookupLocked(HANDLE handle);
bool CloseHandleLocked(HANDLE handle);

void SignalLocked(Object& object);

// Waits for any of `objects`; returns its index, WAIT_TIMEOUT, or WAIT_FAILED.
DWORD WaitAny(const std::vector<std::shared_ptr<Object>>& objects,
              std::unique_lock<std::mutex>& lock, DWORD milliseconds);

// A stand-in thread: tracked for quiescence until `body` returns.
// Returns NULL (last error set) when no thread could be started.
HANDLE StartThread(std::function<DWORD()> body, DWORD* threadId);

// This thread's id: stand-in threads get theirs at creation, others at first use.
DWORD CurrentThreadId();

// Handles open now (events, threads): the driver host's leak report.
std::size_t OpenHandleCount();

// Called whenever something that quiescence reads may have changed.
void StateChangedLocked();

} // namespace sim::kernel
