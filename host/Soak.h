// --soak: a bounded stress run of the driver library on the simulated machine.
// One device with a modem channel behind two APPS sensors and two WLAN
// channels that share an antenna goes through power cycles of every kind
// while several threads send IOCTLs, the display and the WWAN and WLAN
// interfaces come and go and the modem and the WLAN adapter fail and recover,
// in an order drawn from a seed. At each checkpoint the modem must hold the
// mapping table's index and the WLAN adapter the merged setting for the
// sensors' last states; the removal must leave the adapter at the removal
// setting, and removal and unload must leave nothing behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace host {

// 0 when every check held, else 1 with what went wrong. Without a seed it
// draws one (and prints it, as always).
int RunSoak(const std::string& driverPath, double minutes, std::optional<std::uint64_t> seed);

} // namespace host
