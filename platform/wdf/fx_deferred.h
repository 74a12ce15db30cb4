// The executor behind WDF timers and work items: a serial queue of its own
// per object, destroyed off its own thread when the object goes away from
// inside its own callback. Internal to the framework stand-in.
#pragma once

#include "platform/sim/work_queue.h"

#include <memory>

namespace fx {

using QueuePtr = std::shared_ptr<sim::WorkQueue>;

// `name` says what the queue delivers ("WDF timer").
QueuePtr NewQueue(const char* name);
// Drops the queue; from the queue's own thread the join happens elsewhere.
void RetireQueue(QueuePtr& queue);
// Waits until everything posted before this call has run (not from the queue's thread).
void Drain(const QueuePtr& queue);

} // namespace fx
