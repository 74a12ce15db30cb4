// The simulated IP stack shared by the IP Helper stand-in and the adapter
// control of ip_interfaces.h. Internal to the platform stand-in.
#pragma once

#include "platform/iphlpapi.h"
#include "platform/sim/work_queue.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace sim::ip {

struct Adapter {
    IFTYPE type;
    NET_IFINDEX index;
    std::uint32_t luidIndex;
};

struct Registration {
    ADDRESS_FAMILY family;
    PIPINTERFACE_CHANGE_CALLBACK callback;
    PVOID context;
};

struct Stack {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Adapter> adapters;
    std::map<std::uintptr_t, Registration> registrations;
    std::uintptr_t nextHandle = 0x7000;
    NET_IFINDEX nextIndex = 10;
    // The registration whose callback runs now, 0 when none.
    std::uintptr_t running = 0;
    std::size_t delivered = 0;
    std::size_t outstandingTables = 0;
};

Stack& TheStack();
WorkQueue& NotificationQueue();

// Queues one notification per registration that wants `family`.
void NotifyLocked(Stack& stack, const Adapter* adapter, ADDRESS_FAMILY family,
                  MIB_NOTIFICATION_TYPE type);
// Queues a notification for one registration.
void PostNotification(std::uintptr_t handle, const Adapter* adapter, ADDRESS_FAMILY family,
                      MIB_NOTIFICATION_TYPE type);

} // namespace sim::ip
