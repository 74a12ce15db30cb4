// Driver callbacks that the framework makes on threads of its own.
#pragma once

#include <functional>

namespace sim {

// Runs `body` on a stand-in thread of its own and waits for it to return.
// False, with `body` not run, when no thread can be started. A body that has
// not returned within a minute (real time) ends the process with a message
// naming `who` and `what`: the driver under test hangs, and waiting on would
// hang the whole test run instead of failing it.
bool RunOnCallbackThread(const char* who, const char* what, const std::function<void()>& body);

} // namespace sim
