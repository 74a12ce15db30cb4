#include "tests/dmf/EventLog.h"

#include <algorithm>
#include <mutex>

namespace dmftest {
namespace {
std::mutex gLock;
std::vector<std::string> gLog;
} // namespace

void Record(const std::string& entry) {
    std::lock_guard guard(gLock);
    gLog.push_back(entry);
}

std::vector<std::string> Log() {
    std::lock_guard guard(gLock);
    return gLog;
}

std::vector<std::string> Who(const std::string& event) {
    std::vector<std::string> who;
    for (const std::string& entry : Log()) {
        auto colon = entry.find(':');
        if (entry.substr(colon + 1) == event) {
            who.push_back(entry.substr(0, colon));
        }
    }
    return who;
}

std::vector<std::string> LogWith(const std::vector<std::string>& parts) {
    std::vector<std::string> kept;
    for (const std::string& entry : Log()) {
        for (const std::string& part : parts) {
            if (entry.find(part) != std::string::npos) {
                kept.push_back(entry);
                break;
            }
        }
    }
    return kept;
}

bool Logged(const std::string& entry) {
    auto log = Log();
    return std::find(log.begin(), log.end(), entry) != log.end();
}

void ClearLog() {
    std::lock_guard guard(gLock);
    gLog.clear();
}

} // namespace dmftest
