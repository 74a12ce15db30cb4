// Test controls of the software-trace stand-in (platform/wpp.h): what is
// registered, whether a driver's in-memory log runs, and trace sessions that
// enable or disable a registered provider through its control callback.
//
// Fault points: "RegisterTraceGuidsW" (default ERROR_NOT_ENOUGH_MEMORY) and
// "UnregisterTraceGuids" (default ERROR_INVALID_PARAMETER).
#pragma once

#include "platform/types.h"

#include <cstddef>

namespace sim::wpp {

// Forgets every registration and the log state. For test fixtures.
void Reset();

bool IsRegistered(const GUID& controlGuid);
std::size_t RegistrationCount();
bool AutoLogRunning();
// How often the in-memory log was started and stopped since Reset.
std::size_t AutoLogStarts();
std::size_t AutoLogStops();

// A trace session enables the provider with `level` and `flags`, or disables
// it; the control callback runs on the calling thread. Returns the callback's
// result, or ERROR_NOT_FOUND when no provider has that control GUID.
ULONG EnableProvider(const GUID& controlGuid, UCHAR level, ULONG flags);
ULONG DisableProvider(const GUID& controlGuid);
// Any other request code (for a callback's refusal of what it does not serve).
ULONG SendControlRequest(const GUID& controlGuid, ULONG requestCode);

} // namespace sim::wpp
