// --check-config: reads a .reg configuration the way the driver does (by
// running the real driver's device add against it, with tracing on) and
// prints what the driver made of it: channels by subkey name with their types
// and mapping tables, sensors with IDs and SUIDs, the values that were absent
// and the defaults taken, every subkey that was not used and why, and the
// errors the driver traced apart from the ones a sound configuration draws.
#pragma once

#include <string>

namespace host {

// 0 when the driver would run with at least one channel, 1 when it would run
// without any, 2 when the file cannot be read or the driver cannot be loaded.
// `json`: one JSON object instead of text.
int CheckConfig(const std::string& regPath, const std::string& driverPath, bool json);

} // namespace host
