#include "platform/iphlpapi.h"

#include "platform/sim/faults.h"
#include "platform/sim/ip_stack.h"

#include <cstdlib>
#include <cstring>

using sim::ip::TheStack;

NETIO_STATUS NotifyIpInterfaceChange(ADDRESS_FAMILY family, PIPINTERFACE_CHANGE_CALLBACK callback,
                                     PVOID callerContext, BOOLEAN initialNotification,
                                     HANDLE* notificationHandle) {
    if (auto code = sim::CheckFault("NotifyIpInterfaceChange")) {
        return sim::FaultCodeOr<NETIO_STATUS>(*code, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (callback == nullptr || notificationHandle == nullptr ||
        (family != AF_UNSPEC && family != AF_INET && family != AF_INET6)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    std::uintptr_t handle = stack.nextHandle;
    stack.nextHandle += 4;
    stack.registrations.emplace(handle, sim::ip::Registration{family, callback, callerContext});
    *notificationHandle = reinterpret_cast<HANDLE>(handle);
    if (initialNotification) {
        sim::ip::PostNotification(handle, nullptr, AF_UNSPEC, MibInitialNotification);
    }
    return NO_ERROR;
}

NETIO_STATUS CancelMibChangeNotify2(HANDLE notificationHandle) {
    if (auto code = sim::CheckFault("CancelMibChangeNotify2")) {
        return sim::FaultCodeOr<NETIO_STATUS>(*code, ERROR_INVALID_HANDLE);
    }
    auto key = reinterpret_cast<std::uintptr_t>(notificationHandle);
    auto& stack = TheStack();
    std::unique_lock lock(stack.lock);
    if (stack.registrations.erase(key) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    // A callback of this registration that is running now must end first;
    // from the notification thread itself that would never happen.
    if (!sim::ip::NotificationQueue().OnQueueThread()) {
        stack.changed.wait(lock, [&] { return stack.running != key; });
    }
    return NO_ERROR;
}

NETIO_STATUS GetIfTable2(PMIB_IF_TABLE2* table) {
    if (table == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *table = nullptr;
    if (auto code = sim::CheckFault("GetIfTable2")) {
        return sim::FaultCodeOr<NETIO_STATUS>(*code, ERROR_NOT_ENOUGH_MEMORY);
    }
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    std::size_t rows = stack.adapters.size();
    std::size_t bytes = sizeof(MIB_IF_TABLE2) + (rows == 0 ? 0 : rows - 1) * sizeof(MIB_IF_ROW2);
    auto* result = static_cast<PMIB_IF_TABLE2>(std::calloc(1, bytes));
    if (result == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    result->NumEntries = static_cast<ULONG>(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const sim::ip::Adapter& adapter = stack.adapters[i];
        MIB_IF_ROW2& row = result->Table[i];
        row.InterfaceLuid.Info.IfType = adapter.type;
        row.InterfaceLuid.Info.NetLuidIndex = adapter.luidIndex;
        row.InterfaceIndex = adapter.index;
        row.Type = adapter.type;
        row.Mtu = 1500;
    }
    ++stack.outstandingTables;
    *table = result;
    return NO_ERROR;
}

void FreeMibTable(PVOID memory) {
    sim::CheckFault("FreeMibTable"); // counted only: freeing cannot fail
    if (memory == nullptr) {
        return;
    }
    std::free(memory);
    auto& stack = TheStack();
    std::lock_guard guard(stack.lock);
    if (stack.outstandingTables > 0) {
        --stack.outstandingTables;
    }
}
