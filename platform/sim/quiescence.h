// Quiescence: the machine is settled when every thread the stand-in started is
// blocked in a wait with nothing it waits on signalled, and no asynchronous
// work that the machine owes (a completion, a notification to deliver) is
// pending. Periodic timers do not count. Tests use it to show that something
// did not happen.
#pragma once

#include <chrono>
#include <cstddef>

namespace sim {

// Returns true as soon as the machine is settled, false when `bound` (real
// time) passes first.
bool Settle(std::chrono::milliseconds bound = std::chrono::seconds(10));
bool IsSettled();

// Threads started through CreateThread that have not ended yet.
std::size_t LiveThreadCount();

// Waits (real time) until every thread started through CreateThread has ended.
bool WaitForThreadsToEnd(std::chrono::milliseconds bound = std::chrono::seconds(10));

// Work the machine owes: simulated devices count what they have yet to deliver.
void AddPendingWork(int delta);

class PendingWorkToken {
public:
    PendingWorkToken() { AddPendingWork(1); }
    ~PendingWorkToken() { AddPendingWork(-1); }
    PendingWorkToken(const PendingWorkToken&) = delete;
    PendingWorkToken& operator=(const PendingWorkToken&) = delete;
};

} // namespace sim
