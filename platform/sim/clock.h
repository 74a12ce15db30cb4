// The machine's one time source. Every time-out, sleep, timer period and
// request time-out of the stand-in is stated in milliseconds of machine time
// and lasts scale x that long in real time, so that the system can keep its
// long constants (10000 ms, 15000 ms, 100000 ms) while tests let them pass in
// milliseconds. The scale is read from HVX_TIME_SCALE at first use and can be
// changed with SetTimeScale; a change applies to waits that start after it.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

double TimeScale();
void SetTimeScale(double scale);

// Machine time in milliseconds since the process started; never goes back.
std::uint64_t NowMs();

// How long the machine has been up (GetTickCount64), in machine milliseconds:
// an hour at process start unless a test or scenario says otherwise.
std::uint64_t UptimeMs();
// The machine has been up `ms` milliseconds now (`boot-time MS`).
void SetUptimeMs(std::uint64_t ms);
// Back to an hour of uptime at process start.
void ResetUptime();

// The real duration of `ms` milliseconds of machine time.
std::chrono::steady_clock::duration RealDuration(double ms);

// The real deadline `ms` machine milliseconds from now; time_point::max() for INFINITE.
std::chrono::steady_clock::time_point DeadlineAfter(std::uint32_t ms);

} // namespace sim
