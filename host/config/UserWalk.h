// The walk `halvex-host --config FILE.reg` runs when it is given no scenario:
// the built-in walk's road (add, start, display, hibernate, removal) with the
// configuration's own sensors. Every sensor is cleared, then each one is set
// and cleared (an APPS sensor through the IOCTL, an SLPI sensor through the
// sensor hub's reports), and after each step the timeline shows what every
// radio holds.
#pragma once

#include <string>

namespace host {

// The walk as scenario text, made from what the driver builds out of the
// configuration (found by a device add in a process of its own). Empty when
// the configuration cannot be imported or the driver not loaded (`status` 2,
// the reason printed), or when that process crashed (`status` 3).
std::string UserWalkText(const std::string& configPath, const std::string& driverPath, int* status);

} // namespace host
