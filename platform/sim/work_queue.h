// A serial executor on a thread of its own: the simulated devices deliver
// completions, notifications and timer callbacks through it. An item counts
// as pending work for quiescence from its post until it has run, unless it is
// posted as background work (a periodic timer, an operation that never ends).
// Each queue is named after what it delivers, so that quiescence can say what
// is still owed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class WorkQueue {
public:
    using Id = std::uint64_t;

    explicit WorkQueue(std::string name);
    // Drops what is still queued and waits for a running item to return.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    Id Post(std::function<void()> work, bool counted = true);
    // Runs `work` after `machineMs` milliseconds of machine time.
    Id PostAfter(double machineMs, std::function<void()> work, bool counted = true);
    // True when the item was still queued and will not run.
    bool Cancel(Id id);
    // Whether the calling thread is this queue's thread.
    bool OnQueueThread() const;
    // Waits until the item with `id` has run or was cancelled (not from the queue's thread).
    void WaitUntilDone(Id id);

    // Every queue that owes counted work: "NAME: 2 due, the next in 250 ms of
    // machine time" or "NAME: a callback running".
    static std::vector<std::string> Owed();

private:
    struct Item {
        Id id;
        bool counted;
        std::function<void()> work;
    };
    using Key = std::pair<std::chrono::steady_clock::time_point, Id>;

    void Run();
    std::string OwedLocked() const;

    const std::string mName;
    mutable std::mutex mLock;
    std::condition_variable mChanged;
    std::map<Key, Item> mItems;
    Id mNextId = 1;
    Id mRunning = 0;
    bool mStopping = false;
    std::thread mThread;
};

} // namespace sim
