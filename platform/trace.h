// Software tracing in the style of WPP: a level, a flag, the source file and a
// printf-style message. Messages go to the machine's trace recorder
// (sim/trace_recorder.h). A disabled level costs one relaxed load.
#pragma once

#include <atomic>

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

// Trace flags: which part of the system a message comes from.
#define TRACE_DRIVER 0x01u
#define TRACE_DEVICE 0x02u
#define TRACE_QUEUE 0x04u
#define TRACE_NOTIFIER 0x08u
#define TRACE_PROVIDER 0x10u
#define TRACE_ENGINE 0x20u
#define DMF_TRACE 0x40u
#define TRACE_HMX 0x80u

namespace platform {
extern std::atomic<int> gTraceLevel;
inline bool TraceEnabled(int level) { return level <= gTraceLevel.load(std::memory_order_relaxed); }
void TraceMessage(int level, unsigned flags, const char* file, const char* function,
                  const char* format, ...) __attribute__((format(printf, 5, 6)));
} // namespace platform

#define TraceEvents(level, flags, ...)                                                           \
    do {                                                                                         \
        if (::platform::TraceEnabled(level)) {                                                   \
            ::platform::TraceMessage((level), (flags), __FILE__, __func__, __VA_ARGS__);         \
        }                                                                                        \
    } while (0)

#define FuncEntry(flags) TraceEvents(TRACE_LEVEL_VERBOSE, (flags), "%s Entry", __func__)
#define FuncExit(flags, format, ...)                                                            \
    TraceEvents(TRACE_LEVEL_VERBOSE, (flags), "%s Exit: " format, __func__ __VA_OPT__(, ) __VA_ARGS__)
#define FuncExitVoid(flags) TraceEvents(TRACE_LEVEL_VERBOSE, (flags), "%s Exit", __func__)
#define FuncExitNoReturn(flags) FuncExitVoid(flags)
