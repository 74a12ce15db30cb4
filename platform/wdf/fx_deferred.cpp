#include "platform/wdf/fx_deferred.h"

namespace fx {

QueuePtr NewQueue(const char* name) {
    return std::make_shared<sim::WorkQueue>(name);
}

void RetireQueue(QueuePtr& queue) {
    if (!queue) {
        return;
    }
    if (queue->OnQueueThread()) {
        static sim::WorkQueue* reaper =
            new sim::WorkQueue("retired WDF queues"); // lives until the process ends
        reaper->Post([retired = std::move(queue)]() mutable { retired.reset(); });
    }
    queue.reset();
}

void Drain(const QueuePtr& queue) {
    // The queue is serial: a no-op posted now runs after the item in progress.
    queue->WaitUntilDone(queue->Post([] {}));
}

} // namespace fx
