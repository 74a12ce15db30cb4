// --soak: a bounded stress run of the driver library on the simulated machine.
// One device with a modem channel behind two APPS sensors, a proximity sensor
// and the sensor hub's sensor, and two WLAN channels that share an antenna,
// goes through power cycles of every kind while several threads send IOCTLs,
// the display and the WWAN and WLAN interfaces come and go, the modem, the
// WLAN adapter and the sensor hub fail and recover and proximity sensors
// come and go, in an order drawn from a seed. At each checkpoint the modem
// must hold the mapping table's index and the WLAN adapter the merged setting
// for the sensors' states (one that cannot be read counting as detected);
// every power call must return within a bound of machine time; the removal
// must leave the adapter at the removal setting, and removal and unload must
// leave nothing behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace host {

// Whatever the soak waits for (a call, an IOCTL, the machine settling) and has
// not come within this much real time is taken for a hang. An IOCTL held
// while the device is out of D0 waits only for the control thread's next D0
// entry, a few operations away.
inline constexpr std::chrono::seconds kSoakHangBound(60);

// Settles the machine within kSoakHangBound: empty, or that it did not settle
// after `after` and what was still owed.
std::string SoakSettle(const std::string& after);

// 0 when every check held, else 1 with what went wrong. Without a seed it
// draws one (and prints it, as always).
int RunSoak(const std::string& driverPath, double minutes, std::optional<std::uint64_t> seed);

} // namespace host
