// The configuration manager: registrations for interface classes and device
// handles, the interface table and the lists drawn from it.
#include "platform/cm.h"

#include "platform/sim/cm_control.h"
#include "platform/sim/faults.h"
#include "platform/sim/work_queue.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct Registration {
    CM_NOTIFY_FILTER_TYPE type;
    GUID interfaceClass;
    HANDLE target;
    PVOID context;
    PCM_NOTIFY_CALLBACK callback;
    int running = 0;     // callbacks of it running now
    bool ending = false; // being unregistered: no callback of it starts
};

struct Interface {
    GUID interfaceClass;
    std::u16string link;
    bool present;
};

struct Manager {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::uintptr_t, Registration> registrations;
    std::uintptr_t nextHandle = 0x7100;
    std::vector<Interface> interfaces; // in order of first arrival
};

Manager& TheManager() {
    static Manager* manager = new Manager; // deliveries may still run at exit
    return *manager;
}

sim::WorkQueue& NotificationQueue() {
    static sim::WorkQueue* queue = new sim::WorkQueue("configuration-manager notifications");
    return *queue;
}

// The registrations whose callback this thread is running: a callback may end
// its own registration, which must not wait for itself.
thread_local std::vector<std::uintptr_t> tRunning;

// Calls the callback of registration `key` unless it has ended; the answer,
// or ERROR_SUCCESS when it did not run. `withoutContext`: the callback gets
// NULL for the context it was registered with.
DWORD Deliver(std::uintptr_t key, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data, DWORD size,
              bool withoutContext = false) {
    auto& manager = TheManager();
    Registration registration{};
    {
        std::lock_guard guard(manager.lock);
        auto it = manager.registrations.find(key);
        if (it == manager.registrations.end() || it->second.ending) {
            return ERROR_SUCCESS;
        }
        ++it->second.running;
        registration = it->second;
    }
    tRunning.push_back(key);
    DWORD answer =
        registration.callback(reinterpret_cast<HCMNOTIFICATION>(key),
                              withoutContext ? nullptr : registration.context, action, data, size);
    tRunning.pop_back();
    {
        std::lock_guard guard(manager.lock);
        auto it = manager.registrations.find(key);
        if (it != manager.registrations.end()) {
            --it->second.running;
        }
    }
    manager.changed.notify_all();
    return answer;
}

// The record a callback receives for an interface: the class and the link.
std::vector<std::uint64_t> InterfaceEventData(const GUID& interfaceClass,
                                              const std::u16string& link, DWORD* size) {
    constexpr std::size_t kHeader = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink);
    std::size_t bytes = kHeader + (link.size() + 1) * sizeof(WCHAR);
    std::vector<std::uint64_t> storage((bytes + 7) / 8, 0);
    auto* data = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(storage.data());
    data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    data->u.DeviceInterface.ClassGuid = interfaceClass;
    std::memcpy(reinterpret_cast<std::uint8_t*>(data) + kHeader, link.data(),
                link.size() * sizeof(WCHAR));
    *size = static_cast<DWORD>(bytes);
    return storage;
}

// Posts `action` for the interface to every registration for its class now.
void PostInterfaceEvent(const GUID& interfaceClass, const std::u16string& link,
                        CM_NOTIFY_ACTION action) {
    auto& manager = TheManager();
    std::vector<std::uintptr_t> keys;
    {
        std::lock_guard guard(manager.lock);
        for (const auto& [key, registration] : manager.registrations) {
            if (registration.type == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE &&
                registration.interfaceClass == interfaceClass) {
                keys.push_back(key);
            }
        }
    }
    for (std::uintptr_t key : keys) {
        NotificationQueue().Post([key, interfaceClass, link, action] {
            DWORD size = 0;
            auto storage = InterfaceEventData(interfaceClass, link, &size);
            Deliver(key, action, reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(storage.data()), size);
        });
    }
}

// The links of the class the flags ask for, in order.
std::vector<std::u16string> Links(const GUID& interfaceClass, ULONG flags) {
    auto& manager = TheManager();
    std::lock_guard guard(manager.lock);
    std::vector<std::u16string> links;
    for (const auto& entry : manager.interfaces) {
        if (entry.interfaceClass == interfaceClass &&
            (entry.present || (flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != 0)) {
            links.push_back(entry.link);
        }
    }
    return links;
}

CONFIGRET CheckListArguments(LPGUID interfaceClass, PWSTR deviceId, ULONG flags) {
    if (interfaceClass == nullptr) {
        return CR_INVALID_POINTER;
    }
    if ((flags & ~CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != 0) {
        return CR_INVALID_FLAG;
    }
    // Lists per device instance are not simulated.
    return deviceId != nullptr ? CR_INVALID_DEVICE_ID : CR_SUCCESS;
}

ULONG ListCharacters(const std::vector<std::u16string>& links) {
    std::size_t characters = 1;
    for (const auto& link : links) {
        characters += link.size() + 1;
    }
    return static_cast<ULONG>(characters);
}

} // namespace

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                   PCM_NOTIFY_CALLBACK pCallback, PHCMNOTIFICATION pNotifyContext) {
    if (auto code = sim::CheckFault("CM_Register_Notification")) {
        return sim::FaultCodeOr<CONFIGRET>(*code, CR_OUT_OF_MEMORY);
    }
    if (pFilter == nullptr || pCallback == nullptr || pNotifyContext == nullptr) {
        return CR_INVALID_POINTER;
    }
    *pNotifyContext = nullptr;
    if (pFilter->cbSize != sizeof(CM_NOTIFY_FILTER)) {
        return CR_INVALID_DATA;
    }
    if (pFilter->Flags != 0) {
        return CR_INVALID_FLAG;
    }
    Registration registration{};
    registration.type = pFilter->FilterType;
    registration.context = pContext;
    registration.callback = pCallback;
    if (pFilter->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) {
        registration.interfaceClass = pFilter->u.DeviceInterface.ClassGuid;
    } else if (pFilter->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE) {
        HANDLE target = pFilter->u.DeviceHandle.hTarget;
        if (target == nullptr || target == INVALID_HANDLE_VALUE) {
            return CR_INVALID_DATA;
        }
        registration.target = target;
    } else {
        return CR_INVALID_DATA; // device instances are not simulated
    }
    auto& manager = TheManager();
    std::lock_guard guard(manager.lock);
    std::uintptr_t key = manager.nextHandle;
    manager.nextHandle += 8;
    manager.registrations.emplace(key, registration);
    *pNotifyContext = reinterpret_cast<HCMNOTIFICATION>(key);
    return CR_SUCCESS;
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION NotifyContext) {
    if (auto code = sim::CheckFault("CM_Unregister_Notification")) {
        return sim::FaultCodeOr<CONFIGRET>(*code, CR_FAILURE);
    }
    auto key = reinterpret_cast<std::uintptr_t>(NotifyContext);
    auto& manager = TheManager();
    std::unique_lock lock(manager.lock);
    auto it = manager.registrations.find(key);
    if (it == manager.registrations.end() || it->second.ending) {
        return CR_INVALID_POINTER;
    }
    // No callback of it starts from here on, and one that runs now must end
    // first, unless it is the caller itself.
    it->second.ending = true;
    int own = static_cast<int>(std::count(tRunning.begin(), tRunning.end(), key));
    manager.changed.wait(lock, [&] { return it->second.running <= own; });
    manager.registrations.erase(it);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid,
                                             PWSTR pDeviceID, ULONG ulFlags) {
    if (auto code = sim::CheckFault("CM_Get_Device_Interface_List_SizeW")) {
        return sim::FaultCodeOr<CONFIGRET>(*code, CR_FAILURE);
    }
    if (pulLen == nullptr) {
        return CR_INVALID_POINTER;
    }
    *pulLen = 0;
    if (CONFIGRET result = CheckListArguments(InterfaceClassGuid, pDeviceID, ulFlags);
        result != CR_SUCCESS) {
        return result;
    }
    *pulLen = ListCharacters(Links(*InterfaceClassGuid, ulFlags));
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, PWSTR pDeviceID, PWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags) {
    if (auto code = sim::CheckFault("CM_Get_Device_Interface_ListW")) {
        return sim::FaultCodeOr<CONFIGRET>(*code, CR_BUFFER_SMALL);
    }
    if (Buffer == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (CONFIGRET result = CheckListArguments(InterfaceClassGuid, pDeviceID, ulFlags);
        result != CR_SUCCESS) {
        return result;
    }
    auto links = Links(*InterfaceClassGuid, ulFlags);
    if (BufferLen < ListCharacters(links)) {
        return CR_BUFFER_SMALL;
    }
    PWSTR at = Buffer;
    for (const auto& link : links) {
        at = std::copy(link.begin(), link.end(), at);
        *at++ = 0;
    }
    *at = 0;
    return CR_SUCCESS;
}

namespace sim::cm {

void Reset() {
    auto& manager = TheManager();
    std::lock_guard guard(manager.lock);
    manager.interfaces.clear();
}

void AddInterface(const GUID& interfaceClass, const std::u16string& symbolicLink) {
    auto& manager = TheManager();
    {
        std::lock_guard guard(manager.lock);
        auto it = std::find_if(manager.interfaces.begin(), manager.interfaces.end(),
                               [&](const Interface& entry) { return entry.link == symbolicLink; });
        if (it == manager.interfaces.end()) {
            manager.interfaces.push_back({interfaceClass, symbolicLink, true});
        } else if (it->present) {
            return;
        } else {
            it->interfaceClass = interfaceClass;
            it->present = true;
        }
    }
    PostInterfaceEvent(interfaceClass, symbolicLink, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
}

void RemoveInterface(const std::u16string& symbolicLink) {
    auto& manager = TheManager();
    GUID interfaceClass{};
    {
        std::lock_guard guard(manager.lock);
        auto it = std::find_if(manager.interfaces.begin(), manager.interfaces.end(),
                               [&](const Interface& entry) { return entry.link == symbolicLink; });
        if (it == manager.interfaces.end() || !it->present) {
            return;
        }
        it->present = false;
        interfaceClass = it->interfaceClass;
    }
    PostInterfaceEvent(interfaceClass, symbolicLink, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
}

bool InterfacePresent(const std::u16string& symbolicLink) {
    auto& manager = TheManager();
    std::lock_guard guard(manager.lock);
    return std::any_of(
        manager.interfaces.begin(), manager.interfaces.end(),
        [&](const Interface& entry) { return entry.link == symbolicLink && entry.present; });
}

std::size_t RegistrationCount() {
    auto& manager = TheManager();
    std::lock_guard guard(manager.lock);
    return static_cast<std::size_t>(
        std::count_if(manager.registrations.begin(), manager.registrations.end(),
                      [](const auto& entry) { return !entry.second.ending; }));
}

DWORD NotifyDeviceHandle(HANDLE target, CM_NOTIFY_ACTION action) {
    auto& manager = TheManager();
    std::vector<std::uintptr_t> keys;
    {
        std::lock_guard guard(manager.lock);
        for (const auto& [key, registration] : manager.registrations) {
            if (registration.type == CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE &&
                registration.target == target) {
                keys.push_back(key);
            }
        }
    }
    DWORD result = ERROR_SUCCESS;
    for (std::uintptr_t key : keys) {
        CM_NOTIFY_EVENT_DATA data{};
        data.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        data.u.DeviceHandle.NameOffset = -1;
        DWORD answer =
            Deliver(key, action, &data,
                    static_cast<DWORD>(offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceHandle.Data)),
                    sim::CheckFault("CM_NOTIFY_CALLBACK").has_value());
        if (result == ERROR_SUCCESS) {
            result = answer;
        }
    }
    return result;
}

} // namespace sim::cm
