// The simulated sensor hub as scenarios drive and check it: the `hub`
// commands, `expect hub-requests` and `expect hub-clients`, and what the hub
// answered and sent, for the timeline.
#pragma once

#include "host/scenario/Checks.h"
#include "host/scenario/Scenario.h"

#include <string>
#include <vector>

namespace host {

// Carries out a `hub ...` command: an empty string, or what went wrong.
std::string RunHubCommand(const Command& c, std::string* result);
// `expect hub-requests`, `expect hub-clients`.
CheckOutcome EvaluateHubCheck(const Command& c);
// One timeline note per request answered, lookup listed and report sent since
// the last call.
std::vector<std::string> HubActivity();

} // namespace host
