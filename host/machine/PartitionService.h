// The simulated SoC partition file service as scenarios drive and check it:
// the `partition` commands, `expect partition-requests`, and the requests it
// answered, for the timeline.
#pragma once

#include "host/scenario/Checks.h"
#include "host/scenario/Scenario.h"

#include <string>
#include <vector>

namespace host {

// Carries out a `partition ...` command: an empty string, or what went wrong.
// `result` receives what a query-remove returned.
std::string RunPartitionCommand(const Command& c, std::string* result);
// `expect partition-requests`.
CheckOutcome EvaluatePartitionCheck(const Command& c);
// One line per request answered since the last call.
std::vector<std::string> PartitionActivity();

} // namespace host
