// Named fault points. A stand-in call checks its point on every call; a test
// arms the point to fire once, on the n-th call from arming, or always. When it
// fires, the call fails the way the platform would; `code` lets the test choose
// the status, Win32 error or HRESULT (0 keeps the point's own default).
//
// A point armed with Hold() does not fail: the call that fires it stops there
// until the test lets it go, then goes on as usual. A test uses it to show what
// another thread sees while a call is under way.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

struct FaultSpec {
    enum class When { Once, Nth, Always };
    When when = When::Once;
    unsigned nth = 1; // for Nth: the call, counted from 1 after arming, that fails
    std::int64_t code = 0;
    bool hold = false;

    static FaultSpec Once(std::int64_t code = 0) { return {When::Once, 1, code}; }
    static FaultSpec Always(std::int64_t code = 0) { return {When::Always, 1, code}; }
    static FaultSpec OnCall(unsigned n, std::int64_t code = 0) { return {When::Nth, n, code}; }
    // The next call stops at the point until LetHeldCallGo.
    static FaultSpec Hold() { return {When::Once, 1, 0, true}; }
};

void ArmFault(std::string_view point, FaultSpec fault = {});
void DisarmFault(std::string_view point);
void ResetFaults();

// Waits until a call stops at a point armed with Hold(); false after `bound`.
bool WaitForHeldCall(std::string_view point,
                     std::chrono::milliseconds bound = std::chrono::seconds(10));
// Lets the call held at `point` go on (or lets the next one through at once).
void LetHeldCallGo(std::string_view point);

// Called by the stand-in: the code to fail with when the point fires (0 means
// "the point's default"), nothing when the call goes through.
std::optional<std::int64_t> CheckFault(std::string_view point);

// How often a point has been checked since the process started or ResetFaults.
unsigned FaultCalls(std::string_view point);

// Every point checked since the process started or ResetFaults, by name, with
// its number of calls. Nothing fails for being listed.
std::vector<std::pair<std::string, unsigned>> FaultPointsReached();

// Fails the `call`-th check of `point` counted from the process start (or
// ResetFaults), with the point's default code, whatever is armed there: for a
// run that fails one call of a clean run's and nothing else.
void FailCallFromStart(std::string_view point, unsigned call);
// True once that call has failed.
bool FailedCallFromStart();

// The fault code, or `fallback` when the test left it at 0.
template <typename T> T FaultCodeOr(std::int64_t code, T fallback) {
    return code == 0 ? fallback : static_cast<T>(code);
}

} // namespace sim
