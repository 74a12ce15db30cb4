#include "platform/winrt/proximity_sensor.h"

#include "platform/winrt/activation.h"

namespace winrt::Windows::Devices::Sensors {
namespace {

com_ptr<abi::IProximitySensorStatics> Statics() {
    return get_activation_factory<abi::IProximitySensorStatics>(kProximitySensorClass);
}

} // namespace

bool ProximitySensorReading::IsDetected() const {
    bool detected = false;
    check_hresult(checked_abi(mAbi)->get_IsDetected(&detected));
    return detected;
}

ProximitySensorReading ProximitySensorReadingChangedEventArgs::Reading() const {
    com_ptr<abi::IProximitySensorReading> reading;
    check_hresult(checked_abi(mAbi)->get_Reading(&reading));
    return ProximitySensorReading(std::move(reading));
}

hstring ProximitySensor::GetDeviceSelector() {
    hstring selector;
    check_hresult(Statics()->GetDeviceSelector(&selector));
    return selector;
}

ProximitySensor ProximitySensor::FromId(const hstring& deviceId) {
    com_ptr<abi::IProximitySensor> sensor;
    check_hresult(Statics()->FromId(deviceId, &sensor));
    return ProximitySensor(std::move(sensor));
}

abi::IProximitySensor* ProximitySensor::Abi() const {
    return checked_abi(mAbi);
}

hstring ProximitySensor::DeviceId() const {
    hstring id;
    check_hresult(Abi()->get_DeviceId(&id));
    return id;
}

event_token ProximitySensor::ReadingChanged(const ReadingChangedHandler& handler) const {
    event_token token;
    check_hresult(Abi()->add_ReadingChanged(handler.get(), &token));
    return token;
}

void ProximitySensor::ReadingChanged(const event_token& token) const noexcept {
    if (mAbi) {
        (void)mAbi->remove_ReadingChanged(token);
    }
}

} // namespace winrt::Windows::Devices::Sensors
