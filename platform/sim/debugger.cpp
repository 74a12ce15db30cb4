#include "platform/sim/debugger.h"

#include "platform/win32.h"

#include <mutex>

namespace sim {
namespace {

struct Debugger {
    std::mutex lock;
    std::vector<std::string> output;
    unsigned breaks = 0;
};

Debugger& TheDebugger() {
    static Debugger debugger;
    return debugger;
}

} // namespace

std::vector<std::string> DebuggerOutput() {
    auto& debugger = TheDebugger();
    std::lock_guard guard(debugger.lock);
    return debugger.output;
}

unsigned DebugBreakCount() {
    auto& debugger = TheDebugger();
    std::lock_guard guard(debugger.lock);
    return debugger.breaks;
}

void ClearDebugger() {
    auto& debugger = TheDebugger();
    std::lock_guard guard(debugger.lock);
    debugger.output.clear();
    debugger.breaks = 0;
}

} // namespace sim

void OutputDebugStringA(LPCSTR text) {
    auto& debugger = sim::TheDebugger();
    std::lock_guard guard(debugger.lock);
    debugger.output.emplace_back(text ? text : "");
}

void DebugBreak() {
    auto& debugger = sim::TheDebugger();
    std::lock_guard guard(debugger.lock);
    ++debugger.breaks;
}
