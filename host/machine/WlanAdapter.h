// The simulated WLAN adapter as scenarios drive and check it: the `wlan`
// commands, the `expect wlan...` checks, what `show` says of it, and the
// commands it received for the timeline.
#pragma once

#include "host/scenario/Checks.h"
#include "host/scenario/Scenario.h"
#include "host/scenario/Timeline.h"

#include <string>
#include <vector>

namespace host {

// Carries out a `wlan ...` command: an empty string, or what went wrong.
std::string RunWlanCommand(const Command& c, std::string* result);
// `expect wlan`, `expect wlan-sets`, `expect wlan-size`.
CheckOutcome EvaluateWlanCheck(const Command& c);
// What the adapter holds now.
std::string WlanSummary();
// The commands the adapter received since it had received `seen`.
std::vector<WlanEvent> WlanEventsSince(std::size_t seen);

} // namespace host
