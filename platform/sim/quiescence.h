// Quiescence: the machine is settled when every thread the stand-in started is
// blocked in a wait with nothing it waits on signalled, and no asynchronous
// work that the machine owes (a completion, a notification to deliver) is
// pending. Periodic timers do not count, nor does a one-shot timer due later
// than kSettleBound: a wait for it could only run out. Tests use it to show
// that something did not happen.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace sim {

// The longest a settle waits unless told otherwise (real time).
inline constexpr std::chrono::seconds kSettleBound(10);

// Returns true as soon as the machine is settled, false when `bound` (real
// time) passes first.
bool Settle(std::chrono::milliseconds bound = kSettleBound);
bool IsSettled();

// What keeps the machine from being settled now, for a person: the threads
// at work or woken and the work each device's queue owes ("modem: 1 due in
// 250 ms"). Empty when it is settled.
std::string OwedWork();

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
