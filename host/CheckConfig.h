// --check-config: reads a .reg configuration the way the driver does (by
// running the real driver's device add against it, with tracing on) and
// prints what the driver made of it: channels with their types, mapping
// tables, sensors with IDs and SUIDs, and the errors it traced while reading,
// which say what was skipped and why.
#pragma once

#include <string>

namespace host {

// 0 when the driver would run with at least one channel, 1 when it would run
// without any, 2 when the file cannot be read or the driver cannot be loaded.
int CheckConfig(const std::string& regPath, const std::string& driverPath);

} // namespace host
