#include "platform/sim/kernel.h"

#include "platform/sim/clock.h"
#include "platform/sim/quiescence.h"
#include "platform/sim/work_queue.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>
#include <unordered_map>

namespace sim::kernel {
namespace {

// What quiescence knows of a stand-in thread.
struct ThreadRecord {
    DWORD id = 0;
    bool waiting = false;
    std::vector<std::shared_ptr<Object>> waitingOn;
};

struct Dispatcher {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> handles;
    // Handle values are never reused, so a closed handle stays detectably stale.
    std::uintptr_t nextHandle = 0x1000;
    std::set<ThreadRecord*> threads;
    int pendingWork = 0;
    std::condition_variable stateChanged;
};

Dispatcher& TheDispatcher() {
    static Dispatcher* dispatcher = new Dispatcher; // lives until the process ends
    return *dispatcher;
}

thread_local ThreadRecord* tRecord = nullptr;
thread_local DWORD tThreadId = 0;
std::atomic<DWORD> gNextThreadId{0x100};

DWORD NewThreadId() {
    return gNextThreadId.fetch_add(4);
}

bool QuiescentLocked(const Dispatcher& d) {
    if (d.pendingWork != 0) {
        return false;
    }
    for (const ThreadRecord* record : d.threads) {
        if (!record->waiting) {
            return false;
        }
        for (const auto& object : record->waitingOn) {
            if (object->signaled) {
                return false;
            }
        }
    }
    return true;
}

void RemoveWaiter(const std::vector<std::shared_ptr<Object>>& objects,
                  std::condition_variable* cv) {
    for (const auto& object : objects) {
        auto& list = object->waiters;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (*it == cv) {
                list.erase(it);
                break;
            }
        }
    }
}

} // namespace

std::mutex& DispatcherLock() {
    return TheDispatcher().lock;
}

void StateChangedLocked() {
    TheDispatcher().stateChanged.notify_all();
}

HANDLE InsertHandle(std::shared_ptr<Object> object) {
    auto& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    std::uintptr_t value = d.nextHandle;
    d.nextHandle += 4;
    d.handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupLocked(HANDLE handle) {
    auto& d = TheDispatcher();
    auto it = d.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == d.handles.end() ? nullptr : it->second;
}

bool CloseHandleLocked(HANDLE handle) {
    return TheDispatcher().handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
}

void SignalLocked(Object& object) {
    object.signaled = true;
    for (auto* cv : object.waiters) {
        cv->notify_one();
    }
    StateChangedLocked();
}

DWORD WaitAny(const std::vector<std::shared_ptr<Object>>& objects,
              std::unique_lock<std::mutex>& lock, DWORD milliseconds) {
    auto deadline = DeadlineAfter(milliseconds);
    std::condition_variable cv;
    bool registered = false;
    ThreadRecord* record = tRecord;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        bool found = false;
        for (std::size_t i = 0; i < objects.size(); ++i) {
            Object& object = *objects[i];
            if (object.signaled) {
                if (object.kind == ObjectKind::Event && !object.manualReset) {
                    object.signaled = false;
                }
                result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
                found = true;
                break;
            }
        }
        if (found || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        if (!registered) {
            for (const auto& object : objects) {
                object->waiters.push_back(&cv);
            }
            registered = true;
            if (record != nullptr) {
                record->waiting = true;
                record->waitingOn = objects;
                StateChangedLocked();
            }
        }
        if (deadline == std::chrono::steady_clock::time_point::max()) {
            cv.wait(lock);
        } else {
            cv.wait_until(lock, deadline);
        }
    }
    if (registered) {
        RemoveWaiter(objects, &cv);
    }
    if (record != nullptr && record->waiting) {
        record->waiting = false;
        record->waitingOn.clear();
        StateChangedLocked();
    }
    return result;
}

std::size_t OpenHandleCount() {
    auto& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    return d.handles.size();
}

DWORD CurrentThreadId() {
    if (tThreadId == 0) {
        tThreadId = NewThreadId();
    }
    return tThreadId;
}

HANDLE StartThread(std::function<DWORD()> body, DWORD* threadId) {
    auto& d = TheDispatcher();
    auto object = std::make_shared<Object>();
    object->kind = ObjectKind::Thread;
    object->exitCode = STILL_ACTIVE;
    auto* record = new ThreadRecord;
    DWORD id = NewThreadId();
    record->id = id;
    {
        std::lock_guard guard(d.lock);
        d.threads.insert(record);
        StateChangedLocked();
    }
    HANDLE handle = InsertHandle(object);
    try {
        std::thread([object, record, id, body = std::move(body)]() {
            tRecord = record;
            tThreadId = id;
            DWORD exitCode = body();
            auto& dispatcher = TheDispatcher();
            std::lock_guard guard(dispatcher.lock);
            dispatcher.threads.erase(record);
            delete record;
            tRecord = nullptr;
            object->exitCode = exitCode;
            SignalLocked(*object);
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard guard(d.lock);
        d.threads.erase(record);
        delete record;
        CloseHandleLocked(handle);
        StateChangedLocked();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = id;
    }
    return handle;
}

} // namespace sim::kernel

namespace sim {

using kernel::TheDispatcher;

bool Settle(std::chrono::milliseconds bound) {
    auto& d = TheDispatcher();
    std::unique_lock lock(d.lock);
    return d.stateChanged.wait_for(lock, bound, [&] { return kernel::QuiescentLocked(d); });
}

bool IsSettled() {
    auto& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    return kernel::QuiescentLocked(d);
}

std::string OwedWork() {
    std::vector<std::string> owed;
    {
        auto& d = TheDispatcher();
        std::lock_guard guard(d.lock);
        for (const kernel::ThreadRecord* record : d.threads) {
            bool woken = false;
            for (const auto& object : record->waitingOn) {
                woken = woken || object->signaled;
            }
            if (!record->waiting || woken) {
                char text[96];
                std::snprintf(text, sizeof text, "thread 0x%X %s", record->id,
                              record->waiting ? "woken, not yet running" : "running");
                owed.emplace_back(text);
            }
        }
    }
    // The queues are asked with the dispatcher's lock let go, so that no
    // order between their locks and it arises.
    for (std::string& line : WorkQueue::Owed()) {
        owed.push_back(std::move(line));
    }
    std::string text;
    for (const std::string& line : owed) {
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

std::size_t LiveThreadCount() {
    auto& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    return d.threads.size();
}

bool WaitForThreadsToEnd(std::chrono::milliseconds bound) {
    auto& d = TheDispatcher();
    std::unique_lock lock(d.lock);
    return d.stateChanged.wait_for(lock, bound, [&] { return d.threads.empty(); });
}

void AddPendingWork(int delta) {
    auto& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    d.pendingWork += delta;
    kernel::StateChangedLocked();
}

} // namespace sim
