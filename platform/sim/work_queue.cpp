#include "platform/sim/work_queue.h"

#include "platform/sim/clock.h"
#include "platform/sim/quiescence.h"

#include <cstdio>
#include <set>

namespace sim {

namespace {

// The live queues, for Owed.
struct Queues {
    std::mutex lock;
    std::set<const WorkQueue*> live;
};

Queues& LiveQueues() {
    static Queues* queues = new Queues; // queues of static lifetime outlive every destructor
    return *queues;
}

} // namespace

WorkQueue::WorkQueue(std::string name) : mName(std::move(name)), mThread([this] { Run(); }) {
    auto& queues = LiveQueues();
    std::lock_guard guard(queues.lock);
    queues.live.insert(this);
}

WorkQueue::~WorkQueue() {
    {
        auto& queues = LiveQueues();
        std::lock_guard guard(queues.lock);
        queues.live.erase(this);
    }
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

bool WorkQueue::OnQueueThread() const {
    return std::this_thread::get_id() == mThread.get_id();
}

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

std::vector<std::string> WorkQueue::Owed() {
    auto& queues = LiveQueues();
    std::lock_guard guard(queues.lock);
    std::vector<std::string> owed;
    for (const WorkQueue* queue : queues.live) {
        std::lock_guard queueGuard(queue->mLock);
        if (std::string line = queue->OwedLocked(); !line.empty()) {
            owed.push_back(std::move(line));
        }
    }
    return owed;
}

std::string WorkQueue::OwedLocked() const {
    std::string text;
    if (mRunning != 0) {
        text = "a callback running";
    }
    std::size_t due = 0;
    std::chrono::steady_clock::time_point next;
    for (const auto& [key, item] : mItems) {
        if (item.counted && due++ == 0) {
            next = key.first;
        }
    }
    if (due > 0) {
        const double realMs =
            std::chrono::duration<double, std::milli>(next - std::chrono::steady_clock::now())
                .count();
        char line[96];
        std::snprintf(line, sizeof line, "%zu due, the next in %.0f ms of machine time", due,
                      realMs > 0 ? realMs / TimeScale() : 0.0);
        text += (text.empty() ? "" : ", ") + std::string(line);
    }
    return text.empty() ? text : mName + ": " + text;
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
