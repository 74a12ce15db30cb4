// Windows.Devices.Enumeration as the system uses it: a device watcher for the
// devices a selector names, with its status and its five events, and the
// device information those events carry. Objects are values holding a
// reference; an empty object tests false.
#pragma once

#include "platform/winrt/events.h"

#include <cstdint>

namespace winrt::Windows::Devices::Enumeration {

inline constexpr char16_t kDeviceInformationClass[] =
    u"Windows.Devices.Enumeration.DeviceInformation";

enum class DeviceWatcherStatus : std::int32_t {
    Created = 0,
    Started = 1,
    EnumerationCompleted = 2,
    Stopping = 3,
    Stopped = 4,
    Aborted = 5,
};

class DeviceInformation;
class DeviceInformationUpdate;
class DeviceWatcher;

namespace abi {

struct IDeviceInformation : ref_counted {
    virtual HRESULT get_Id(hstring* value) = 0;
};

struct IDeviceInformationUpdate : ref_counted {
    virtual HRESULT get_Id(hstring* value) = 0;
};

struct IDeviceWatcher;
using IInformationHandler = Foundation::abi::ITypedEventHandler<IDeviceWatcher, IDeviceInformation>;
using IUpdateHandler =
    Foundation::abi::ITypedEventHandler<IDeviceWatcher, IDeviceInformationUpdate>;
using IObjectHandler = Foundation::abi::ITypedEventHandler<IDeviceWatcher, ref_counted>;

struct IDeviceWatcher : ref_counted {
    virtual HRESULT add_Added(IInformationHandler* handler, event_token* token) = 0;
    virtual HRESULT remove_Added(event_token token) = 0;
    virtual HRESULT add_Updated(IUpdateHandler* handler, event_token* token) = 0;
    virtual HRESULT remove_Updated(event_token token) = 0;
    virtual HRESULT add_Removed(IUpdateHandler* handler, event_token* token) = 0;
    virtual HRESULT remove_Removed(event_token token) = 0;
    virtual HRESULT add_EnumerationCompleted(IObjectHandler* handler, event_token* token) = 0;
    virtual HRESULT remove_EnumerationCompleted(event_token token) = 0;
    virtual HRESULT add_Stopped(IObjectHandler* handler, event_token* token) = 0;
    virtual HRESULT remove_Stopped(event_token token) = 0;
    virtual HRESULT get_Status(DeviceWatcherStatus* status) = 0;
    // E_ILLEGAL_METHOD_CALL unless Created, Stopped or Aborted.
    virtual HRESULT Start() = 0;
    // E_ILLEGAL_METHOD_CALL unless Started or EnumerationCompleted.
    virtual HRESULT Stop() = 0;
};

struct IDeviceInformationStatics : ref_counted {
    // May hand back an empty watcher with success.
    virtual HRESULT CreateWatcher(const hstring& selector, com_ptr<IDeviceWatcher>* watcher) = 0;
};

} // namespace abi

class DeviceInformation {
public:
    using abi_type = abi::IDeviceInformation;

    DeviceInformation(std::nullptr_t = nullptr) {}
    explicit DeviceInformation(com_ptr<abi_type> object) : mAbi(std::move(object)) {}

    hstring Id() const;
    // A watcher, not yet started, for the devices `selector` names.
    static DeviceWatcher CreateWatcher(const hstring& selector);

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi_type> mAbi;
};

class DeviceInformationUpdate {
public:
    using abi_type = abi::IDeviceInformationUpdate;

    DeviceInformationUpdate(std::nullptr_t = nullptr) {}
    explicit DeviceInformationUpdate(com_ptr<abi_type> object) : mAbi(std::move(object)) {}

    hstring Id() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi_type> mAbi;
};

class DeviceWatcher {
public:
    using abi_type = abi::IDeviceWatcher;
    using InformationHandler = Foundation::TypedEventHandler<DeviceWatcher, DeviceInformation>;
    using UpdateHandler = Foundation::TypedEventHandler<DeviceWatcher, DeviceInformationUpdate>;
    using ObjectHandler = Foundation::TypedEventHandler<DeviceWatcher, Foundation::IInspectable>;

    DeviceWatcher(std::nullptr_t = nullptr) {}
    explicit DeviceWatcher(com_ptr<abi_type> object) : mAbi(std::move(object)) {}

    // Subscribing returns the token; revoking with it never raises.
    event_token Added(const InformationHandler& handler) const;
    void Added(const event_token& token) const noexcept;
    event_token Updated(const UpdateHandler& handler) const;
    void Updated(const event_token& token) const noexcept;
    event_token Removed(const UpdateHandler& handler) const;
    void Removed(const event_token& token) const noexcept;
    event_token EnumerationCompleted(const ObjectHandler& handler) const;
    void EnumerationCompleted(const event_token& token) const noexcept;
    event_token Stopped(const ObjectHandler& handler) const;
    void Stopped(const event_token& token) const noexcept;

    DeviceWatcherStatus Status() const;
    void Start() const;
    void Stop() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    abi_type* Abi() const;

    com_ptr<abi_type> mAbi;
};

} // namespace winrt::Windows::Devices::Enumeration
