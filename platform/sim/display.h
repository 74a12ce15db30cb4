// The simulated console display behind the power-setting notifications
// (platform/power_notify.h). Every change is delivered to each display-state
// registration on the notification thread; a delivery counts as pending work
// until its callback has returned.
//
// Fault points: "PowerSettingRegisterNotification" (default
// ERROR_NOT_ENOUGH_MEMORY) and "PowerSettingUnregisterNotification" (default
// ERROR_INVALID_HANDLE). The failing call also leaves its code as the last error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace sim::display {

enum class State : std::uint32_t { Off = 0, On = 1, Dimmed = 2 };

// Display on, counters zero. Registrations are the system's and stay.
void Reset();

// The display changes (`display off|on|dimmed`); the new state is delivered
// even when it equals the old one, as a console session change would.
void SetState(State state);
State CurrentState();
// Scenario words: "off" "on" "dimmed".
std::optional<State> StateFromName(std::string_view name);

std::size_t RegistrationCount();
// Notifications whose callback has returned, since the process started or Reset.
std::size_t DeliveredCount();

} // namespace sim::display
