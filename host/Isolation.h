// Runs a piece of work in a child process of its own, so that whatever the
// driver leaves in process-wide state (its sensor-state map, the modem
// channel's flags, the protobuf library) cannot reach the next scenario.
#pragma once

#include <functional>
#include <string>

namespace host {

// The child's exit status (0, 1 or 2); 1 with a message on stderr when the
// child died of a signal or could not be started.
int RunIsolated(const std::string& what, const std::function<int()>& work);

} // namespace host
