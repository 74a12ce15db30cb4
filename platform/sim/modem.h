// The simulated mobile-broadband modem behind the WinRT NetworkOperators
// classes: whether there is a default modem, its configuration and SAR manager
// (either may be missing), its antennas with their back-off indexes, whether
// SAR back-off is enabled, and every SetConfigurationAsync payload.
//
// Each asynchronous step (configuration, enable, set) behaves as the test or
// scenario says, for the next call or for every call. Completions run on the
// modem's own thread and count as pending work until they have run (an
// operation that never completes does not count).
#pragma once

#include "platform/types.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace sim::modem {

enum class Step { Configuration, Enable, Set };

enum class Outcome {
    Complete,  // completes after delayMs
    Error,     // ends in Error with `code` (default E_FAIL) after delayMs
    Cancelled, // ends as Canceled on its own after delayMs
    Never,     // stays Started until the caller cancels it
    Late,      // ignores Cancel and completes after delayMs (default 20000) or at Release(step)
    FailSync,  // the call itself fails with `code` (default 0x80070032)
    Hold,      // stays Started until Release(step) completes it (or the caller cancels)
};

struct Behaviour {
    Outcome outcome = Outcome::Complete;
    HRESULT code = 0;
    double delayMs = -1; // machine milliseconds; negative: the outcome's default
};

struct Antenna {
    std::int32_t index = 0;
    std::int32_t backoff = 0;
    bool operator==(const Antenna&) const = default;
};

// No modem, default behaviours, empty records.
void Reset();

// A fresh default modem with `count` antennas (indexes 0..count-1) at `backoff`;
// back-off disabled, records cleared. (`modem antennas N [index K]`)
void Install(int count, std::int32_t backoff = 0);
void InstallAntennas(std::vector<Antenna> antennas);
// No default modem. (`modem none`)
void Remove();
// The modem's current configuration, or its SAR manager, is missing.
void SetConfigurationMissing(bool missing);
void SetSarManagerMissing(bool missing);

// The next call of `step` (or every call, `always`) behaves as given.
// (`modem fail STEP HOW [always]`)
void Fail(Step step, Behaviour behaviour, bool always = false);
// Every step back to completing at once. (`modem ok`)
void ClearFailures();
// Completes the operations of `step` held by Outcome::Hold or not yet done by
// Outcome::Late; returns how many. An operation is counted by Calls a moment
// before it can be released: wait for a release rather than for the call.
unsigned Release(Step step);

// Scenario words: "config" "enable" "set"; "timeout" "error" "notsupported".
std::optional<Step> StepFromName(std::string_view name);
std::optional<Behaviour> BehaviourFromName(std::string_view name);

// What the modem holds and has seen. (`expect modem ...`, `modem-sets`, `modem-enabled`)
bool Present();
std::vector<std::int32_t> BackoffIndexes();
std::vector<Antenna> Antennas();
bool BackoffEnabled();
std::size_t SetCount();
std::vector<std::vector<Antenna>> SetPayloads();
// Calls of `step` that reached the modem since Install/Reset (held ones included).
unsigned Calls(Step step);
// Operations of `step` started but not finished.
unsigned Outstanding(Step step);

} // namespace sim::modem
