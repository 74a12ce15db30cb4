// The machine's trace recorder: every trace message the system writes at an
// enabled level, kept in order (the newest 65536) for tests and the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

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

// Whether some recorded message at `level` or more severe contains `text`.
bool TraceContains(std::string_view text, int level = 5);
std::size_t TraceCount(std::string_view text, int level = 5);

// Called for every recorded message, on the tracing thread (the host prints
// the timeline with it). Pass nullptr to remove.
void SetTraceSink(std::function<void(const TraceRecord&)> sink);

} // namespace sim
