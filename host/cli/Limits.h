// What the host refuses to be asked for, and why: each limit keeps a mistyped
// number from hanging the run, eating the machine's memory or letting the
// simulated devices fall behind the driver's time-outs.
#pragma once

#include <chrono>
#include <cstddef>

namespace host {

// IOCTL input and output buffers. The driver's own requests take 8 bytes; a
// megabyte leaves room for any experiment and none for a 4 GiB allocation.
inline constexpr std::size_t kMaxIoctlBuffer = 1024 * 1024;
inline constexpr const char* kMaxIoctlBufferText = "1048576 bytes (1 MiB)";

// A scenario or .reg file. Real ones are a few kilobytes (a configuration of
// 10000 channels is under 2 MiB); a larger file is a mistake, or a device
// such as /dev/zero that would never end.
inline constexpr std::size_t kMaxInputFile = 4 * 1024 * 1024;
inline constexpr const char* kMaxInputFileText = "4194304 bytes (4 MiB)";

// One `wait`, in real time after the time scale.
inline constexpr std::chrono::minutes kMaxWaitReal(10);
inline constexpr const char* kMaxWaitRealText = "10 minutes";
// A long wait says how far it has come this often (real time).
inline constexpr std::chrono::seconds kWaitProgressEvery(5);

// Runs of the fault runner at once, per core: each is a process with the
// whole driver in it, and beyond a few per core they only queue for the CPU
// while their time-outs run.
inline constexpr unsigned kMaxJobsPerCore = 4;

// The fault runner's budget: eleven days and a half, past any run a person
// means to start.
inline constexpr double kMaxBudgetSeconds = 1e6;
inline constexpr const char* kMaxBudgetText = "1000000";

// Below this scale a healthy modem answers later than the driver's 10000 ms
// time-outs allow (they pass in under 5 ms of real time), and periodic timers
// turn into busy loops: the run would report time-outs the device never had.
inline constexpr double kMinTimeScale = 0.0005;
inline constexpr double kMaxTimeScale = 1000.0;
inline constexpr const char* kTimeScaleRangeText =
    "from 0.0005 to 1000 (below 0.0005 the simulated devices cannot answer within the driver's "
    "time-outs)";

} // namespace host
