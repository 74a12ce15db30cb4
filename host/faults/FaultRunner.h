// halvex-host --faults: runs each scenario once cleanly to learn the fault
// points it reaches and how often, then once per chosen (point, call) with
// exactly that call failing with the point's own code, each run in a process
// of its own, several at once. A run passes when it neither crashes, hangs nor
// draws a sanitizer report, leaves nothing behind after removal and unload,
// leaves the radios at indexes their tables allow, and either passes its
// checks or draws an error trace the clean run did not (the fault explains
// the failure). Prints a table and returns 0 when every run passed.
#pragma once

#include "host/cli/CommandLine.h"

namespace host {

int RunFaults(const Options& options);

} // namespace host
