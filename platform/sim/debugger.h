// The debugger the driver writes to (OutputDebugStringA) and breaks into
// (DebugBreak). Nothing stops: a break is counted and the caller goes on.
#pragma once

#include <string>
#include <vector>

namespace sim {

std::vector<std::string> DebuggerOutput();
unsigned DebugBreakCount();
void ClearDebugger();

} // namespace sim
