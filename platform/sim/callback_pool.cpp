#include "platform/sim/callback_pool.h"

#include "platform/sim/clock.h"
#include "platform/sim/kernel.h"
#include "platform/win32.h"

#include <algorithm>
#include <vector>

namespace sim {
namespace {

struct Worker {
    // Auto-reset: an idle worker waits on it for its next job or its end.
    std::shared_ptr<kernel::Object> wake = std::make_shared<kernel::Object>();
    // Signalled by the dispatcher once the thread has ended; null until the
    // thread has been started.
    std::shared_ptr<kernel::Object> ended;
    DWORD threadId = 0;
    std::function<void()> job;
    bool retire = false;
};

} // namespace

// Everything here is guarded by the dispatcher lock, which also guards the
// events the workers wait on: handing a job over and waking its worker is
// one step for quiescence.
struct CallbackPool::Shared {
    std::vector<std::shared_ptr<Worker>> workers; // not yet ended
    std::vector<std::shared_ptr<Worker>> idle;
    bool closed = false;

    DWORD WorkerMain(const std::shared_ptr<Worker>& worker) {
        std::function<void()> job;
        {
            std::lock_guard guard(kernel::DispatcherLock());
            job = std::move(worker->job);
        }
        for (;;) {
            // Each request finds the thread as a new one would be.
            SetLastError(ERROR_SUCCESS);
            job();
            // What the job holds goes before the worker waits again.
            job = nullptr;
            std::unique_lock lock(kernel::DispatcherLock());
            if (!closed && !worker->retire) {
                idle.push_back(worker);
                kernel::WaitAny({worker->wake}, lock, INFINITE);
                job = std::move(worker->job);
            }
            if (!job) {
                std::erase(workers, worker);
                return 0;
            }
        }
    }

    // Under the dispatcher lock: idle workers end now, busy ones after their
    // job. Returns the ends to wait for: every worker's, or the idle ones'.
    std::vector<std::shared_ptr<kernel::Object>> RetireLocked(bool busyToo) {
        std::vector<std::shared_ptr<kernel::Object>> ends;
        DWORD self = kernel::CurrentThreadId();
        for (const auto& worker : workers) {
            worker->retire = true;
            bool isIdle = std::find(idle.begin(), idle.end(), worker) != idle.end();
            // A job that closes its own pool can not wait for itself.
            if (worker->ended && worker->threadId != self && (busyToo || isIdle)) {
                ends.push_back(worker->ended);
            }
        }
        for (const auto& worker : idle) {
            kernel::SignalLocked(*worker->wake);
        }
        idle.clear();
        return ends;
    }
};

namespace {

bool WaitForEnds(const std::vector<std::shared_ptr<kernel::Object>>& ends,
                 std::unique_lock<std::mutex>& lock, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (const auto& end : ends) {
        while (!end->signaled) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            // The dispatcher's waits count machine time.
            double machineMs = static_cast<double>(left.count()) / TimeScale();
            DWORD ms = machineMs >= static_cast<double>(INFINITE - 1)
                           ? INFINITE - 1
                           : std::max<DWORD>(1, static_cast<DWORD>(machineMs));
            kernel::WaitAny({end}, lock, ms);
        }
    }
    return true;
}

} // namespace

CallbackPool::CallbackPool() : mShared(std::make_shared<Shared>()) {}

CallbackPool::~CallbackPool() {
    std::lock_guard guard(kernel::DispatcherLock());
    mShared->closed = true;
    mShared->RetireLocked(false);
}

void CallbackPool::Run(std::function<void()> job) {
    auto worker = std::make_shared<Worker>();
    {
        std::lock_guard guard(kernel::DispatcherLock());
        if (!mShared->idle.empty()) {
            auto idle = mShared->idle.back();
            mShared->idle.pop_back();
            idle->job = std::move(job);
            kernel::SignalLocked(*idle->wake);
            return;
        }
        worker->job = std::move(job);
        // Listed before it starts: its first job may be over before the
        // thread could be recorded.
        mShared->workers.push_back(worker);
    }
    DWORD threadId = 0;
    HANDLE thread = kernel::StartThread(
        [shared = mShared, worker]() -> DWORD { return shared->WorkerMain(worker); }, &threadId);
    std::function<void()> orphan;
    {
        std::lock_guard guard(kernel::DispatcherLock());
        if (thread == nullptr) {
            std::erase(mShared->workers, worker);
            orphan = std::move(worker->job);
        } else {
            worker->threadId = threadId;
            worker->ended = kernel::LookupLocked(thread);
            // The pool waits on the thread object itself: it keeps no handle.
            kernel::CloseHandleLocked(thread);
        }
    }
    if (orphan) {
        orphan();
    }
}

bool CallbackPool::Trim(std::chrono::milliseconds bound) {
    std::unique_lock lock(kernel::DispatcherLock());
    auto ends = mShared->RetireLocked(false);
    return WaitForEnds(ends, lock, bound);
}

bool CallbackPool::Close(std::chrono::milliseconds bound) {
    std::unique_lock lock(kernel::DispatcherLock());
    mShared->closed = true;
    auto ends = mShared->RetireLocked(true);
    return WaitForEnds(ends, lock, bound);
}

std::size_t CallbackPool::Workers() const {
    std::lock_guard guard(kernel::DispatcherLock());
    return mShared->workers.size();
}

} // namespace sim
