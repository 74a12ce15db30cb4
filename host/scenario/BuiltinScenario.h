// The walk `halvex-host` runs when it is given no scenario: a MODEM and a
// WLAN channel behind one APPS sensor, driven through the whole life of the
// device.
#pragma once

namespace host {

// The registry configuration of the walk (.reg text).
const char* BuiltinConfig();
// The walk itself (.scn text), with its checks.
const char* BuiltinScenarioText();

} // namespace host
