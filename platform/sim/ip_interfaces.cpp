#include "platform/sim/ip_interfaces.h"

#include "platform/sim/ip_stack.h"

#include <optional>

namespace sim::ip {

Stack& TheStack() {
    static Stack* stack = new Stack; // deliveries may still run at exit
    return *stack;
}

WorkQueue& NotificationQueue() {
    static WorkQueue* queue = new WorkQueue("IP interface notifications");
    return *queue;
}

void PostNotification(std::uintptr_t handle, const Adapter* adapter, ADDRESS_FAMILY family,
                      MIB_NOTIFICATION_TYPE type) {
    std::optional<Adapter> copy;
    if (adapter != nullptr) {
        copy = *adapter;
    }
    NotificationQueue().Post([handle, copy, family, type] {
        auto& stack = TheStack();
        Registration registration;
        {
            std::lock_guard guard(stack.lock);
            auto it = stack.registrations.find(handle);
            if (it == stack.registrations.end()) {
                return; // cancelled meanwhile
            }
            registration = it->second;
            stack.running = handle;
        }
        MIB_IPINTERFACE_ROW row{};
        if (copy) {
            row.Family = family;
            row.InterfaceIndex = copy->index;
            row.InterfaceLuid.Info.IfType = copy->type;
            row.InterfaceLuid.Info.NetLuidIndex = copy->luidIndex;
            row.Mtu = 1500;
            row.Connected = TRUE;
        }
        registration.callback(registration.context, copy ? &row : nullptr, type);
        {
            std::lock_guard guard(stack.lock);
            stack.running = 0;
            ++stack.delivered;
        }
        stack.changed.notify_all();
    });
}

void NotifyLocked(Stack& stack, const Adapter* adapter, ADDRESS_FAMILY family,
                  MIB_NOTIFICATION_TYPE type) {
    for (const auto& [handle, registration] : stack.registrations) {
        if (registration.family == AF_UNSPEC || registration.family == family) {
            PostNotification(handle, adapter, family, type);
        }
    }
}

namespace {

void NotifyBothFamiliesLocked(Stack& stack, const Adapter& adapter, MIB_NOTIFICATION_TYPE type) {
    NotifyLocked(stack, &adapter, AF_INET, type);
    NotifyLocked(stack, &adapter, AF_INET6, type);
}

} // namespace

void Reset() {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    stack.adapters.clear();
    stack.outstandingTables = 0;
}

void AddInterface(IFTYPE type) {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    NET_IFINDEX index = stack.nextIndex++;
    stack.adapters.push_back({type, index, index});
    NotifyBothFamiliesLocked(stack, stack.adapters.back(), MibAddInstance);
}

bool RemoveInterface(IFTYPE type) {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    for (auto it = stack.adapters.rbegin(); it != stack.adapters.rend(); ++it) {
        if (it->type == type) {
            Adapter gone = *it;
            stack.adapters.erase(std::next(it).base());
            NotifyBothFamiliesLocked(stack, gone, MibDeleteInstance);
            return true;
        }
    }
    return false;
}

bool ChangeInterfaceParameters(IFTYPE type) {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    for (auto it = stack.adapters.rbegin(); it != stack.adapters.rend(); ++it) {
        if (it->type == type) {
            NotifyBothFamiliesLocked(stack, *it, MibParameterNotification);
            return true;
        }
    }
    return false;
}

std::vector<IFTYPE> InterfaceTypes() {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    std::vector<IFTYPE> types;
    for (const Adapter& adapter : stack.adapters) {
        types.push_back(adapter.type);
    }
    return types;
}

std::size_t RegistrationCount() {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    return stack.registrations.size();
}

std::size_t DeliveredCount() {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    return stack.delivered;
}

std::size_t OutstandingTables() {
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    return stack.outstandingTables;
}

} // namespace sim::ip
