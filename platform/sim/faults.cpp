#include "platform/sim/faults.h"

#include <condition_variable>
#include <map>
#include <mutex>

namespace sim {
namespace {

struct Point {
    std::optional<FaultSpec> armed;
    unsigned callsSinceArmed = 0;
    unsigned calls = 0;
    bool held = false; // a call stands at the point
    bool letGo = false;
};

struct FaultTable {
    std::mutex lock;
    std::condition_variable changed; // a call was held or let go
    std::map<std::string, Point, std::less<>> points;
    // FailCallFromStart: the point, its call, and whether it has failed.
    std::string systematicPoint;
    unsigned systematicCall = 0;
    bool systematicFailed = false;
};

FaultTable& Table() {
    static FaultTable* table = new FaultTable; // deliveries may still check at exit
    return *table;
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

bool WaitForHeldCall(std::string_view point, std::chrono::milliseconds bound) {
    auto& table = Table();
    std::unique_lock lock(table.lock);
    return table.changed.wait_for(lock, bound, [&] { return PointLocked(table, point).held; });
}

void LetHeldCallGo(std::string_view point) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    PointLocked(table, point).letGo = true;
    table.changed.notify_all();
}

std::optional<std::int64_t> CheckFault(std::string_view point) {
    auto& table = Table();
    std::unique_lock lock(table.lock);
    auto& entry = PointLocked(table, point);
    ++entry.calls;
    if (entry.calls == table.systematicCall && point == table.systematicPoint) {
        table.systematicFailed = true;
        return 0;
    }
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
            if (fault.hold) {
                entry.held = true;
                table.changed.notify_all();
                table.changed.wait(lock, [&] { return entry.letGo; });
                entry.held = false;
                entry.letGo = false;
                return std::nullopt;
            }
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

std::vector<std::pair<std::string, unsigned>> FaultPointsReached() {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    std::vector<std::pair<std::string, unsigned>> reached;
    for (const auto& [name, entry] : table.points) {
        if (entry.calls > 0) {
            reached.emplace_back(name, entry.calls);
        }
    }
    return reached;
}

void FailCallFromStart(std::string_view point, unsigned call) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    table.systematicPoint = std::string(point);
    table.systematicCall = call;
    table.systematicFailed = false;
}

bool FailedCallFromStart() {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    return table.systematicFailed;
}

} // namespace sim
