// The simulated proximity sensors behind the WinRT device enumeration and
// sensor classes: devices that appear, change and go by device id, proximity
// sensors among them that read near or far, and the device watchers that
// report them.
//
// A started watcher reports every present device (Added), then
// EnumerationCompleted, then every arrival, update and removal until it is
// stopped. Stop makes it Stopped at once when its handlers are owed nothing,
// else Stopping until what they are owed has been delivered; the Stopped
// event follows either way. Start while Stopping or Started fails with
// E_ILLEGAL_METHOD_CALL, as on the platform. Watcher events arrive in order on
// the watcher thread; each sensor's readings arrive in order on a thread of their own
// (sensors share a few), so readings of different sensors and watcher events
// may run at once. Every delivery counts as pending work until its handlers
// have returned, and runs in the multithreaded apartment.
//
// Fault points: "ProximitySensor.GetDeviceSelector" and
// "DeviceInformation.CreateWatcher" (code 1: an empty selector or watcher with
// success; otherwise the call fails, E_FAIL by default), "DeviceWatcher.Start",
// "DeviceWatcher.Stop" (default E_FAIL) and "Proximity.Subscribe", checked by
// every subscription to a watcher or sensor event in call order (default
// E_FAIL).
#pragma once

#include "platform/winrt/device_enumeration.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim::proximity {

// No devices and no held readings. Watchers and sensors the system still
// holds stay, with their subscriptions.
void Reset();

// Each is false when the device id is already present (Add*) or absent (the rest).
bool AddSensor(std::u16string_view deviceId); // `proximity add`
bool AddOther(std::u16string_view deviceId);  // `proximity add-other`: not a proximity sensor
bool Update(std::u16string_view deviceId);    // `proximity update`
bool Remove(std::u16string_view deviceId);    // `proximity remove`
// `proximity near|far`: also false for a device that is not a proximity sensor.
bool Reading(std::u16string_view deviceId, bool detected);

// Points where the machine holds what reaches them from now on, until
// released: IsDetected, a handler asking a reading whether it detects
// something (a handler caught in the middle of its run); Delivery, a reading's
// delivery that has taken the subscribed handlers and not yet called them (so
// a handler revoked meanwhile is still called once, as the platform may);
// Subscribe, a subscription to a sensor's readings (its caller caught there).
enum class HoldPoint { IsDetected, Delivery, Subscribe };
void Hold(HoldPoint point);
void Release(HoldPoint point);
// Calls waiting at that point now.
std::size_t Held(HoldPoint point);

// The status of the newest device watcher still alive; none when none lives.
std::optional<winrt::Windows::Devices::Enumeration::DeviceWatcherStatus> WatcherStatus();
// Subscriptions not revoked: on every live watcher, and on the sensors of
// `deviceId` (of every device that ever had that id).
std::size_t WatcherSubscriptions();
std::size_t ReadingSubscriptions(std::u16string_view deviceId);

// Scenario words "selector" "create" "start" "stop" "subscribe": the fault
// point and the code that fails the next such call as `proximity fail` says.
struct NamedFault {
    std::string point;
    std::int64_t code = 0;
};
std::optional<NamedFault> FaultFromName(std::string_view name);

} // namespace sim::proximity
