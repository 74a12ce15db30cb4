// The driver host's callback threads for a parallel queue: stand-in threads
// kept for reuse, so that presenting a request costs a wake-up rather than a
// thread start. A job goes to an idle worker, or to a new one when every
// worker is busy, so any number of requests may be with the driver at once.
//
// Workers are stand-in threads, so a driver callback that waits is seen by
// quiescence like any other waiting thread; an idle worker waits on an
// unsignalled event and so counts as settled. They belong to the host, not
// the driver: the host ends them when the device goes (Close) and before it
// counts the threads a driver left behind (Trim).
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace sim {

class CallbackPool {
public:
    CallbackPool();
    // Closes the pool without waiting: busy workers end after their job.
    ~CallbackPool();
    CallbackPool(const CallbackPool&) = delete;
    CallbackPool& operator=(const CallbackPool&) = delete;

    // Runs `job` on a worker. Without a thread to run it on, it runs here.
    void Run(std::function<void()> job);

    // Idle workers end now, busy ones once their job has returned; waits
    // (real time) at most `bound` for the idle ones to be gone, and returns
    // whether they are. The pool still takes work; a later job starts a worker.
    bool Trim(std::chrono::milliseconds bound);
    // As Trim, waiting for the busy workers too, and from now on a worker
    // ends after its job instead of waiting for the next one: nothing of the
    // pool outlives the device.
    bool Close(std::chrono::milliseconds bound);

    // Workers not yet ended, busy or idle.
    std::size_t Workers() const;

private:
    struct Shared;
    std::shared_ptr<Shared> mShared;
};

} // namespace sim
