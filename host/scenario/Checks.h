// The checks of a scenario: what each `expect` compares, and the wait that
// precedes the comparison (the machine settles and the check holds, for at
// most 10 s of real time).
#pragma once

#include "host/machine/Machine.h"
#include "host/scenario/Scenario.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace host {

// What the IOCTLs and the device add left for the checks.
struct LastResults {
    std::optional<IoOutcome> ioctl;
    std::optional<std::uint32_t> add;
};

struct CheckOutcome {
    bool held = false;
    // The check cannot come to hold by waiting (a trace that is there stays there).
    bool final = false;
    std::string expected;
    std::string seen;
};

// A comparison's outcome; `final` when waiting cannot change it.
CheckOutcome Outcome(bool held, std::string expected, std::string seen, bool final = false);
// A count that only grows ("3 set(s)"): once past `expected`, waiting cannot help.
CheckOutcome CountOutcome(std::size_t seen, std::size_t expected, const std::string& what);

// Compares once, as things are now.
CheckOutcome EvaluateCheck(const Command& command, Machine& machine, const LastResults& last);

// Settles and compares until the check holds or `bound` passes; `onPoll` runs
// after each settle (the runner prints what reached the modem meanwhile).
CheckOutcome WaitForCheck(const Command& command, Machine& machine, const LastResults& last,
                          std::chrono::milliseconds bound, const std::function<void()>& onPoll);

} // namespace host
