#include "platform/winrt/device_enumeration.h"

#include "platform/winrt/activation.h"

namespace winrt::Windows::Devices::Enumeration {
namespace {

template <typename Abi> hstring IdOf(const com_ptr<Abi>& object) {
    hstring id;
    check_hresult(checked_abi(object)->get_Id(&id));
    return id;
}

} // namespace

hstring DeviceInformation::Id() const {
    return IdOf(mAbi);
}

DeviceWatcher DeviceInformation::CreateWatcher(const hstring& selector) {
    auto statics = get_activation_factory<abi::IDeviceInformationStatics>(kDeviceInformationClass);
    com_ptr<abi::IDeviceWatcher> watcher;
    check_hresult(statics->CreateWatcher(selector, &watcher));
    return DeviceWatcher(std::move(watcher));
}

hstring DeviceInformationUpdate::Id() const {
    return IdOf(mAbi);
}

abi::IDeviceWatcher* DeviceWatcher::Abi() const {
    return checked_abi(mAbi);
}

// Each event's subscribe and revoke pair; a revoke on an empty watcher or
// with a stale token does nothing.
#define HVX_DEVICE_WATCHER_EVENT(Event, Handler)                                                   \
    event_token DeviceWatcher::Event(const Handler& handler) const {                               \
        event_token token;                                                                         \
        check_hresult(Abi()->add_##Event(handler.get(), &token));                                  \
        return token;                                                                              \
    }                                                                                              \
    void DeviceWatcher::Event(const event_token& token) const noexcept {                           \
        if (mAbi) {                                                                                \
            (void)mAbi->remove_##Event(token);                                                     \
        }                                                                                          \
    }

HVX_DEVICE_WATCHER_EVENT(Added, InformationHandler)
HVX_DEVICE_WATCHER_EVENT(Updated, UpdateHandler)
HVX_DEVICE_WATCHER_EVENT(Removed, UpdateHandler)
HVX_DEVICE_WATCHER_EVENT(EnumerationCompleted, ObjectHandler)
HVX_DEVICE_WATCHER_EVENT(Stopped, ObjectHandler)
#undef HVX_DEVICE_WATCHER_EVENT

DeviceWatcherStatus DeviceWatcher::Status() const {
    DeviceWatcherStatus status = DeviceWatcherStatus::Created;
    check_hresult(Abi()->get_Status(&status));
    return status;
}

void DeviceWatcher::Start() const {
    check_hresult(Abi()->Start());
}

void DeviceWatcher::Stop() const {
    check_hresult(Abi()->Stop());
}

} // namespace winrt::Windows::Devices::Enumeration
