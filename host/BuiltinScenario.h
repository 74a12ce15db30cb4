// The walk `halvex-host` runs when it is given no scenario: one MODEM channel
// with one APPS sensor, driven through the whole life of the device.
#pragma once

#include <string>

namespace host {

// The registry configuration of the walk (.reg text).
const char* BuiltinConfig();
// The walk itself (.scn text). With `withChecks` false the expectations that
// only hold for the built-in configuration are left out (a --config run).
std::string BuiltinScenarioText(bool withChecks);

} // namespace host
