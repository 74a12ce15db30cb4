// --bench: the time from an IOCTL that changes an APPS sensor until the
// simulated modem holds the new antenna indexes, against a bare two-thread
// event ping-pong on the same stand-in (the floor), and the time of device add
// plus start with a four-channel configuration.
#pragma once

#include <string>

namespace host {

int RunHostBench(const std::string& driverPath);

} // namespace host
