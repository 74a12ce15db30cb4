#include "platform/sim/clock.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
    std::mutex lock;
    double scale = 1.0;
    // Machine time is piecewise linear in real time: each scale change starts a new piece.
    SteadyClock::time_point realAnchor = SteadyClock::now();
    double machineAnchorMs = 0.0;

    ClockState() {
        if (const char* text = std::getenv("HVX_TIME_SCALE")) {
            char* end = nullptr;
            double value = std::strtod(text, &end);
            if (end != text && value > 0.0) {
                scale = value;
            }
        }
    }

    double MachineMsLocked(SteadyClock::time_point now) const {
        std::chrono::duration<double, std::milli> real = now - realAnchor;
        return machineAnchorMs + real.count() / scale;
    }
};

ClockState& State() {
    static ClockState state;
    return state;
}

} // namespace

double TimeScale() {
    auto& state = State();
    std::lock_guard guard(state.lock);
    return state.scale;
}

void SetTimeScale(double scale) {
    if (!(scale > 0.0)) {
        return;
    }
    auto& state = State();
    std::lock_guard guard(state.lock);
    auto now = SteadyClock::now();
    state.machineAnchorMs = state.MachineMsLocked(now);
    state.realAnchor = now;
    state.scale = scale;
}

std::uint64_t NowMs() {
    auto& state = State();
    std::lock_guard guard(state.lock);
    return static_cast<std::uint64_t>(state.MachineMsLocked(SteadyClock::now()));
}

namespace {
constexpr std::int64_t kDefaultUptimeAtStartMs = 3600000;
std::atomic<std::int64_t> gUptimeAtStartMs{kDefaultUptimeAtStartMs};
} // namespace

std::uint64_t UptimeMs() {
    return static_cast<std::uint64_t>(gUptimeAtStartMs.load() + static_cast<std::int64_t>(NowMs()));
}

void SetUptimeMs(std::uint64_t ms) {
    gUptimeAtStartMs.store(static_cast<std::int64_t>(ms) - static_cast<std::int64_t>(NowMs()));
}

void ResetUptime() {
    gUptimeAtStartMs.store(kDefaultUptimeAtStartMs);
}

SteadyClock::duration RealDuration(double ms) {
    std::chrono::duration<double, std::milli> real(ms * TimeScale());
    return std::chrono::duration_cast<SteadyClock::duration>(real);
}

SteadyClock::time_point DeadlineAfter(std::uint32_t ms) {
    if (ms == 0xFFFFFFFFu) {
        return SteadyClock::time_point::max();
    }
    return SteadyClock::now() + RealDuration(ms);
}

} // namespace sim
