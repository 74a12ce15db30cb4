#include "platform/sim/faults.h"

#include <map>
#include <mutex>

namespace sim {
namespace {

struct Point {
    std::optional<FaultSpec> armed;
    unsigned callsSinceArmed = 0;
    unsigned calls = 0;
};

struct FaultTable {
    std::mutex lock;
    std::map<std::string, Point, std::less<>> points;
};

FaultTable& Table() {
    static FaultTable table;
    return table;
}

Point& PointLocked(FaultTable& table, std::string_view name) {
    auto it = table.points.find(name);
    if (it == table.points.end()) {
        it = table.points.emplace(std::string(name), Point{}).first;
    }
    return it->second;
}

} // namespace

void ArmFault(std::string_view point, FaultSpec fault) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto& entry = PointLocked(table, point);
    entry.armed = fault;
    entry.callsSinceArmed = 0;
}

void DisarmFault(std::string_view point) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    PointLocked(table, point).armed.reset();
}

void ResetFaults() {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    table.points.clear();
}

std::optional<std::int64_t> CheckFault(std::string_view point) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto& entry = PointLocked(table, point);
    ++entry.calls;
    if (!entry.armed) {
        return std::nullopt;
    }
    unsigned call = ++entry.callsSinceArmed;
    const FaultSpec fault = *entry.armed;
    switch (fault.when) {
    case FaultSpec::When::Always:
        return fault.code;
    case FaultSpec::When::Once:
    case FaultSpec::When::Nth: {
        unsigned target = fault.when == FaultSpec::When::Once ? 1 : fault.nth;
        if (call == target) {
            entry.armed.reset();
            return fault.code;
        }
        return std::nullopt;
    }
    }
    return std::nullopt;
}

unsigned FaultCalls(std::string_view point) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.points.find(point);
    return it == table.points.end() ? 0 : it->second.calls;
}

} // namespace sim
