// Runs a piece of work in a child process of its own, so that whatever the
// driver leaves in process-wide state (its sensor-state map, the modem
// channel's flags, the protobuf library) cannot reach the next scenario.
#pragma once

#include <functional>
#include <string>

namespace host {

// A child that died of a signal, or ended with a status the host never uses:
// not a failed check, and not to be taken for one.
inline constexpr int kExitCrashed = 3;

// From now on an exception that escapes a thread of this process ends it as
// RunGuarded would: out of memory with status 2 and a message, anything else
// as the crash it is.
void ReportOutOfMemoryAtTermination();

// Runs `work` here and now; an exception it lets out ends it with a message
// instead of ending the host: out of memory is status 2 ("ran out of
// memory"), any other exception kExitCrashed.
int RunGuarded(const std::string& what, const std::function<int()>& work);

// The status to end with once standard output is flushed: output that could
// not be written whole (a full disk, /dev/full) is no run to go by, so a
// failed write makes it at least 2, with a message on standard error.
int FinishOutput(int status);

// RunGuarded in a child process, and FinishOutput in it. The child's exit status (0, 1 or 2);
// kExitCrashed with a message on stderr ("crashed" and the signal) when the
// child died; 2 when it could not be started.
int RunIsolated(const std::string& what, const std::function<int()>& work);

// As RunIsolated, and what the child's work writes into its string comes back
// in `result` (empty unless the child ended with status 0).
int RunIsolatedForText(const std::string& what, const std::function<int(std::string*)>& work,
                       std::string* result);

} // namespace host
