// The simulated proximity sensors as scenarios drive and check them: the
// `proximity` commands, `expect proximity-watcher`, and which of the driver's
// messages the timeline shows for them.
#pragma once

#include "host/scenario/Checks.h"
#include "host/scenario/Scenario.h"

#include "platform/sim/trace_recorder.h"

#include <string>

namespace host {

// Carries out a `proximity ...` command: an empty string, or what went wrong.
// A NAME stands for the device id it was added with, for the rest of the run.
std::string RunProximityCommand(const Command& c, std::string* result);
// `expect proximity-watcher started|stopped|none`.
CheckOutcome EvaluateProximityCheck(const Command& c);
// Whether the timeline shows a driver message whatever --trace says: what the
// watcher made of an arrival, a reading or a removal.
bool IsProximityEvent(const sim::TraceRecord& record);

} // namespace host
