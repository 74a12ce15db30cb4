#include "platform/sim/work_queue.h"

#include "platform/sim/clock.h"
#include "platform/sim/quiescence.h"

namespace sim {

WorkQueue::WorkQueue() : mThread([this] { Run(); }) {}

WorkQueue::~WorkQueue() {
    int dropped = 0;
    {
        std::lock_guard guard(mLock);
        mStopping = true;
        for (const auto& [key, item] : mItems) {
            dropped += item.counted ? 1 : 0;
        }
        mItems.clear();
    }
    mChanged.notify_all();
    if (mThread.joinable()) {
        mThread.join();
    }
    if (dropped != 0) {
        AddPendingWork(-dropped);
    }
}

WorkQueue::Id WorkQueue::Post(std::function<void()> work, bool counted) {
    return PostAfter(0.0, std::move(work), counted);
}

WorkQueue::Id WorkQueue::PostAfter(double machineMs, std::function<void()> work, bool counted) {
    if (counted) {
        AddPendingWork(1);
    }
    auto due = std::chrono::steady_clock::now() + RealDuration(machineMs);
    Id id;
    {
        std::lock_guard guard(mLock);
        id = mNextId++;
        mItems.emplace(Key{due, id}, Item{id, counted, std::move(work)});
    }
    mChanged.notify_all();
    return id;
}

bool WorkQueue::Cancel(Id id) {
    bool counted = false;
    {
        std::lock_guard guard(mLock);
        auto it = mItems.begin();
        for (; it != mItems.end() && it->second.id != id; ++it) {
        }
        if (it == mItems.end()) {
            return false;
        }
        counted = it->second.counted;
        mItems.erase(it);
    }
    mChanged.notify_all();
    if (counted) {
        AddPendingWork(-1);
    }
    return true;
}

bool WorkQueue::OnQueueThread() const { return std::this_thread::get_id() == mThread.get_id(); }

void WorkQueue::WaitUntilDone(Id id) {
    std::unique_lock lock(mLock);
    mChanged.wait(lock, [&] {
        if (mRunning == id) {
            return false;
        }
        for (const auto& [key, item] : mItems) {
            if (item.id == id) {
                return false;
            }
        }
        return true;
    });
}

void WorkQueue::Run() {
    std::unique_lock lock(mLock);
    while (!mStopping) {
        if (mItems.empty()) {
            mChanged.wait(lock);
            continue;
        }
        auto first = mItems.begin();
        if (first->first.first > std::chrono::steady_clock::now()) {
            // A copy: the wait reads the deadline after waking, when Cancel or the
            // destructor may have erased the item that held it.
            auto due = first->first.first;
            mChanged.wait_until(lock, due);
            continue;
        }
        Item item = std::move(first->second);
        mItems.erase(first);
        mRunning = item.id;
        lock.unlock();
        if (!item.counted) {
            AddPendingWork(1); // a running callback is never quiet
        }
        item.work();
        AddPendingWork(-1);
        lock.lock();
        mRunning = 0;
        mChanged.notify_all();
    }
}

} // namespace sim
