#pragma once

#include <string>

// Stands in for the sensor-hub provider: a static library that uses one
// envelope and knows nothing of the other schema files.
std::string ProbeSerializeDisableRequest();
