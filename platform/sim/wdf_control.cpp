#include "platform/sim/wdf_control.h"

#include "platform/wdf/fx_device.h"
#include "platform/wdf/fx_memory.h"

#include <map>

namespace fx {
namespace {

struct Settings {
    std::mutex lock;
    WDF_TRI_STATE notDisableable = WdfUseDefault;
    sim::wdf::TargetHandler lower;
    std::map<std::u16string, sim::wdf::TargetHandler> targets;
};

Settings& TheSettings() {
    static Settings* settings = new Settings;
    return *settings;
}

} // namespace

WDF_TRI_STATE InitialNotDisableable() {
    auto& settings = TheSettings();
    std::lock_guard guard(settings.lock);
    return settings.notDisableable;
}

sim::wdf::TargetHandler LowerDeviceHandler() {
    auto& settings = TheSettings();
    std::lock_guard guard(settings.lock);
    return settings.lower;
}

sim::wdf::TargetHandler FindTargetDevice(const std::u16string& name) {
    auto& settings = TheSettings();
    std::lock_guard guard(settings.lock);
    auto it = settings.targets.find(name);
    return it == settings.targets.end() ? nullptr : it->second;
}

void ForEachTargetOn(const std::u16string& name, const std::function<void(IoTarget&)>& visit) {
    for (const auto& object : Snapshot()) {
        if (object->kind() != Kind::IoTarget || object->state() != LifeState::Live) {
            continue;
        }
        auto& target = static_cast<IoTarget&>(*object);
        std::lock_guard guard(target.targetLock);
        if (!target.isDefault && target.name == name) {
            visit(target);
        }
    }
}

void ResetDeviceSettings() {
    auto& settings = TheSettings();
    std::lock_guard guard(settings.lock);
    settings.notDisableable = WdfUseDefault;
    settings.lower = nullptr;
    settings.targets.clear();
}

} // namespace fx

namespace sim::wdf {

void ResetForTest() {
    fx::DropAll();
    fx::ResetDriverGlobals();
    fx::ResetDeviceSettings();
    fx::ResetNames();
    fx::SetPoisonNewMemory(false);
}

void SetPoisonNewMemory(bool on) {
    fx::SetPoisonNewMemory(on);
}

void SetInitialNotDisableable(WDF_TRI_STATE state) {
    auto& settings = fx::TheSettings();
    std::lock_guard guard(settings.lock);
    settings.notDisableable = state;
}

bool GetDeviceState(WDFDEVICE device, WDF_DEVICE_STATE* state) {
    auto record = fx::Get<fx::Device>(device, fx::Kind::Device, "sim::wdf::GetDeviceState");
    if (!record) {
        return false;
    }
    std::lock_guard guard(record->recordLock);
    *state = record->deviceState;
    return true;
}

bool GetPowerCapabilities(WDFDEVICE device, WDF_DEVICE_POWER_CAPABILITIES* caps) {
    auto record = fx::Get<fx::Device>(device, fx::Kind::Device, "sim::wdf::GetPowerCapabilities");
    if (!record) {
        return false;
    }
    std::lock_guard guard(record->recordLock);
    *caps = record->caps;
    return record->capsSet;
}

void SetLowerDeviceHandler(TargetHandler handler) {
    auto& settings = fx::TheSettings();
    std::lock_guard guard(settings.lock);
    settings.lower = std::move(handler);
}

void RegisterTargetDevice(const std::u16string& name, TargetHandler handler) {
    auto& settings = fx::TheSettings();
    std::lock_guard guard(settings.lock);
    settings.targets[name] = std::move(handler);
}

void UnregisterTargetDevice(const std::u16string& name) {
    auto& settings = fx::TheSettings();
    std::lock_guard guard(settings.lock);
    settings.targets.erase(name);
}

std::vector<TargetOpenRecord> TargetsOpenedOn(const std::u16string& name) {
    std::vector<TargetOpenRecord> result;
    fx::ForEachTargetOn(name, [&](fx::IoTarget& target) {
        result.push_back(
            {reinterpret_cast<WDFIOTARGET>(target.handle()), target.open, target.openParams});
    });
    return result;
}

std::vector<ObjectInfo> LiveObjects() {
    std::vector<ObjectInfo> result;
    for (const auto& object : fx::Snapshot()) {
        ObjectInfo info{object->handle(),
                        fx::KindName(object->kind()),
                        object->parent(),
                        0,
                        0,
                        object->ExtraReferences(),
                        object->state() != fx::LifeState::Live};
        if (object->kind() == fx::Kind::Memory) {
            auto memory = std::static_pointer_cast<fx::Memory>(object);
            info.poolTag = memory->tag;
            info.size = memory->size;
        }
        result.push_back(info);
    }
    return result;
}

std::size_t LiveObjectCount() {
    return fx::Snapshot().size();
}

bool IsLiveHandle(WDFOBJECT handle) {
    return fx::Lookup(handle) != nullptr;
}

} // namespace sim::wdf
