#include "platform/power_notify.h"

#include "platform/sim/display.h"
#include "platform/sim/faults.h"
#include "platform/sim/work_queue.h"
#include "platform/win32.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct Subscription {
    PDEVICE_NOTIFY_CALLBACK_ROUTINE callback;
    PVOID context;
};

struct Display {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::uintptr_t, Subscription> subscriptions;
    std::uintptr_t nextHandle = 0x6100;
    std::uintptr_t running = 0; // the registration whose callback runs now
    sim::display::State state = sim::display::State::On;
    std::size_t delivered = 0;
};

Display& TheDisplay() {
    static Display* display = new Display; // deliveries may still run at exit
    return *display;
}

sim::WorkQueue& NotificationQueue() {
    static sim::WorkQueue* queue = new sim::WorkQueue("display-state notifications");
    return *queue;
}

DWORD Fail(DWORD error) {
    SetLastError(error);
    return error;
}

void PostDelivery(std::uintptr_t handle, sim::display::State state) {
    NotificationQueue().Post([handle, state] {
        auto& display = TheDisplay();
        Subscription subscription{};
        {
            std::lock_guard guard(display.lock);
            auto it = display.subscriptions.find(handle);
            if (it == display.subscriptions.end()) {
                return; // unregistered meanwhile
            }
            subscription = it->second;
            display.running = handle;
        }
        // The record as the platform lays it out: the GUID, the data length
        // and the data, here one DWORD.
        std::vector<std::uint8_t> buffer(offsetof(POWERBROADCAST_SETTING, Data) + sizeof(DWORD));
        auto* setting = reinterpret_cast<POWERBROADCAST_SETTING*>(buffer.data());
        setting->PowerSetting = GUID_CONSOLE_DISPLAY_STATE;
        setting->DataLength = sizeof(DWORD);
        DWORD value = static_cast<DWORD>(state);
        std::memcpy(setting->Data, &value, sizeof(value));
        subscription.callback(subscription.context, PBT_POWERSETTINGCHANGE, setting);
        {
            std::lock_guard guard(display.lock);
            display.running = 0;
            ++display.delivered;
        }
        display.changed.notify_all();
    });
}

} // namespace

DWORD PowerSettingRegisterNotification(LPCGUID SettingGuid, DWORD Flags, HANDLE Recipient,
                                       PHPOWERNOTIFY RegistrationHandle) {
    if (auto code = sim::CheckFault("PowerSettingRegisterNotification")) {
        return Fail(sim::FaultCodeOr<DWORD>(*code, ERROR_NOT_ENOUGH_MEMORY));
    }
    if (SettingGuid == nullptr || RegistrationHandle == nullptr || Recipient == nullptr ||
        Flags != DEVICE_NOTIFY_CALLBACK) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Only the console display state is simulated.
    if (!(*SettingGuid == GUID_CONSOLE_DISPLAY_STATE)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto* params = static_cast<PDEVICE_NOTIFY_SUBSCRIBE_PARAMETERS>(Recipient);
    if (params->Callback == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto& display = TheDisplay();
    std::lock_guard guard(display.lock);
    std::uintptr_t handle = display.nextHandle;
    display.nextHandle += 8;
    display.subscriptions.emplace(handle, Subscription{params->Callback, params->Context});
    *RegistrationHandle = reinterpret_cast<HPOWERNOTIFY>(handle);
    PostDelivery(handle, display.state);
    return ERROR_SUCCESS;
}

DWORD PowerSettingUnregisterNotification(HPOWERNOTIFY RegistrationHandle) {
    if (auto code = sim::CheckFault("PowerSettingUnregisterNotification")) {
        return Fail(sim::FaultCodeOr<DWORD>(*code, ERROR_INVALID_HANDLE));
    }
    auto key = reinterpret_cast<std::uintptr_t>(RegistrationHandle);
    auto& display = TheDisplay();
    std::unique_lock lock(display.lock);
    if (display.subscriptions.erase(key) == 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // A callback of this registration that runs now must end first; from the
    // notification thread itself that would never happen.
    if (!NotificationQueue().OnQueueThread()) {
        display.changed.wait(lock, [&] { return display.running != key; });
    }
    return ERROR_SUCCESS;
}

namespace sim::display {

void Reset() {
    auto& display = TheDisplay();
    std::lock_guard guard(display.lock);
    display.state = State::On;
    display.delivered = 0;
}

void SetState(State state) {
    auto& display = TheDisplay();
    std::lock_guard guard(display.lock);
    display.state = state;
    for (const auto& entry : display.subscriptions) {
        PostDelivery(entry.first, state);
    }
}

State CurrentState() {
    auto& display = TheDisplay();
    std::lock_guard guard(display.lock);
    return display.state;
}

std::optional<State> StateFromName(std::string_view name) {
    if (name == "off") {
        return State::Off;
    }
    if (name == "on") {
        return State::On;
    }
    if (name == "dimmed") {
        return State::Dimmed;
    }
    return std::nullopt;
}

std::size_t RegistrationCount() {
    auto& display = TheDisplay();
    std::lock_guard guard(display.lock);
    return display.subscriptions.size();
}

std::size_t DeliveredCount() {
    auto& display = TheDisplay();
    std::lock_guard guard(display.lock);
    return display.delivered;
}

} // namespace sim::display
