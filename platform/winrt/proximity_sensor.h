// Windows.Devices.Sensors as the system uses it: a proximity sensor found by
// its device id, and its readings (object detected or not) through the
// ReadingChanged event. Objects are values holding a reference; an empty
// object tests false.
#pragma once

#include "platform/winrt/events.h"

namespace winrt::Windows::Devices::Sensors {

inline constexpr char16_t kProximitySensorClass[] = u"Windows.Devices.Sensors.ProximitySensor";

class ProximitySensor;
class ProximitySensorReadingChangedEventArgs;

namespace abi {

struct IProximitySensorReading : ref_counted {
    virtual HRESULT get_IsDetected(bool* value) = 0;
};

struct IProximitySensorReadingChangedEventArgs : ref_counted {
    virtual HRESULT get_Reading(com_ptr<IProximitySensorReading>* value) = 0;
};

struct IProximitySensor;
using IReadingChangedHandler =
    Foundation::abi::ITypedEventHandler<IProximitySensor, IProximitySensorReadingChangedEventArgs>;

struct IProximitySensor : ref_counted {
    virtual HRESULT get_DeviceId(hstring* value) = 0;
    virtual HRESULT add_ReadingChanged(IReadingChangedHandler* handler, event_token* token) = 0;
    virtual HRESULT remove_ReadingChanged(event_token token) = 0;
};

struct IProximitySensorStatics : ref_counted {
    // The device selector (an AQS text) of every proximity sensor.
    virtual HRESULT GetDeviceSelector(hstring* selector) = 0;
    // An empty sensor, with success, for a device that is not a proximity sensor.
    virtual HRESULT FromId(const hstring& deviceId, com_ptr<IProximitySensor>* sensor) = 0;
};

} // namespace abi

class ProximitySensorReading {
public:
    using abi_type = abi::IProximitySensorReading;

    ProximitySensorReading(std::nullptr_t = nullptr) {}
    explicit ProximitySensorReading(com_ptr<abi_type> object) : mAbi(std::move(object)) {}

    bool IsDetected() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi_type> mAbi;
};

class ProximitySensorReadingChangedEventArgs {
public:
    using abi_type = abi::IProximitySensorReadingChangedEventArgs;

    ProximitySensorReadingChangedEventArgs(std::nullptr_t = nullptr) {}
    explicit ProximitySensorReadingChangedEventArgs(com_ptr<abi_type> object)
        : mAbi(std::move(object)) {}

    ProximitySensorReading Reading() const;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi_type> mAbi;
};

class ProximitySensor {
public:
    using abi_type = abi::IProximitySensor;
    using ReadingChangedHandler =
        Foundation::TypedEventHandler<ProximitySensor, ProximitySensorReadingChangedEventArgs>;

    ProximitySensor(std::nullptr_t = nullptr) {}
    explicit ProximitySensor(com_ptr<abi_type> object) : mAbi(std::move(object)) {}

    static hstring GetDeviceSelector();
    // Empty for a device that is not a proximity sensor.
    static ProximitySensor FromId(const hstring& deviceId);

    hstring DeviceId() const;
    event_token ReadingChanged(const ReadingChangedHandler& handler) const;
    // Never raises; a stale token does nothing.
    void ReadingChanged(const event_token& token) const noexcept;

    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    abi_type* Abi() const;

    com_ptr<abi_type> mAbi;
};

} // namespace winrt::Windows::Devices::Sensors
