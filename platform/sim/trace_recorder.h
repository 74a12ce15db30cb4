// The machine's trace recorder: every trace message the system writes at an
// enabled level, kept in order for tests and the host. It keeps the newest
// kTraceCapacity records and counts the older ones it drops, so that a search
// that finds nothing can tell whether the evidence is gone; what must see every
// record (a count) takes them through the sink instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::size_t kTraceCapacity = 65536;

struct TraceRecord {
    int level = 0;        // 1 critical .. 5 verbose
    unsigned flags = 0;   // the trace flag of the call
    std::string file;     // source file name, without its folders
    std::string function; // the function that traced
    std::string message;  // the formatted message
    std::uint64_t timeMs = 0;
    std::uint32_t threadId = 0;
};

// Messages above this level are neither formatted nor recorded. Default 5.
void SetTraceLevel(int level);
int GetTraceLevel();

std::vector<TraceRecord> TraceSnapshot();
void ClearTrace();
// Records dropped to make room since the process started or ClearTrace.
std::size_t TraceDropped();

// Whether some recorded message at `level` or more severe contains `text`.
bool TraceContains(std::string_view text, int level = 5);
std::size_t TraceCount(std::string_view text, int level = 5);

// Called for every recorded message, on the tracing thread (the host prints
// the timeline with it). Pass nullptr to remove.
void SetTraceSink(std::function<void(const TraceRecord&)> sink);

} // namespace sim
