#include "platform/sim/trace_recorder.h"

#include "platform/sim/clock.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

namespace platform {
std::atomic<int> gTraceLevel{TRACE_LEVEL_VERBOSE};
}

namespace sim {
namespace {

struct Recorder {
    std::mutex lock;
    std::deque<TraceRecord> records;
    std::size_t dropped = 0;
    std::function<void(const TraceRecord&)> sink;
};

Recorder& TheRecorder() {
    static Recorder recorder;
    return recorder;
}

const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

bool Matches(const TraceRecord& record, std::string_view text, int level) {
    return record.level <= level && record.message.find(text) != std::string::npos;
}

} // namespace

void SetTraceLevel(int level) {
    platform::gTraceLevel.store(level, std::memory_order_relaxed);
}
int GetTraceLevel() {
    return platform::gTraceLevel.load(std::memory_order_relaxed);
}

std::vector<TraceRecord> TraceSnapshot() {
    auto& recorder = TheRecorder();
    std::lock_guard guard(recorder.lock);
    return {recorder.records.begin(), recorder.records.end()};
}

void ClearTrace() {
    auto& recorder = TheRecorder();
    std::lock_guard guard(recorder.lock);
    recorder.records.clear();
    recorder.dropped = 0;
}

std::size_t TraceDropped() {
    auto& recorder = TheRecorder();
    std::lock_guard guard(recorder.lock);
    return recorder.dropped;
}

bool TraceContains(std::string_view text, int level) {
    return TraceCount(text, level) > 0;
}

std::size_t TraceCount(std::string_view text, int level) {
    auto& recorder = TheRecorder();
    std::lock_guard guard(recorder.lock);
    std::size_t count = 0;
    for (const auto& record : recorder.records) {
        count += Matches(record, text, level) ? 1 : 0;
    }
    return count;
}

void SetTraceSink(std::function<void(const TraceRecord&)> sink) {
    auto& recorder = TheRecorder();
    std::lock_guard guard(recorder.lock);
    recorder.sink = std::move(sink);
}

} // namespace sim

namespace platform {

void TraceMessage(int level, unsigned flags, const char* file, const char* function,
                  const char* format, ...) {
    // The last error belongs to the traced code, not to the recorder.
    DWORD lastError = GetLastError();
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (length < 0) {
        buffer[0] = '\0';
    }

    sim::TraceRecord record;
    record.level = level;
    record.flags = flags;
    record.file = sim::BaseName(file);
    record.function = function;
    record.message = buffer;
    record.timeMs = sim::NowMs();
    record.threadId = GetCurrentThreadId();

    auto& recorder = sim::TheRecorder();
    std::function<void(const sim::TraceRecord&)> sink;
    {
        std::lock_guard guard(recorder.lock);
        if (recorder.records.size() == sim::kTraceCapacity) {
            recorder.records.pop_front();
            ++recorder.dropped;
        }
        recorder.records.push_back(record);
        sink = recorder.sink;
    }
    if (sink) {
        sink(record);
    }
    SetLastError(lastError);
}

} // namespace platform
