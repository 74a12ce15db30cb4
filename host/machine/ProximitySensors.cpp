#include "host/machine/ProximitySensors.h"

#include "platform/com.h"
#include "platform/sim/faults.h"
#include "platform/sim/proximity.h"

#include <map>
#include <string_view>

namespace host {
namespace {

using winrt::Windows::Devices::Enumeration::DeviceWatcherStatus;

struct NamedDevice {
    std::u16string deviceId;
    bool removed = false; // by `proximity remove`: the name may be given again
};

// One scenario per process: the names live as long as it does.
std::map<std::string, NamedDevice>& Names() {
    static std::map<std::string, NamedDevice> names;
    return names;
}

std::string Named(const std::string& name, std::u16string* deviceId) {
    auto it = Names().find(name);
    if (it == Names().end()) {
        return "no proximity sensor is named " + name + " (use proximity add first)";
    }
    *deviceId = it->second.deviceId;
    return {};
}

} // namespace

std::string RunProximityCommand(const Command& c, std::string* /*result*/) {
    switch (c.op) {
    case Op::ProximityFail: {
        auto fault = sim::proximity::FaultFromName(c.word);
        sim::ArmFault(fault->point, sim::FaultSpec::Once(fault->code));
        return {};
    }
    case Op::ProximityAdd:
    case Op::ProximityAddOther: {
        // A second device under a name in use would leave the first one
        // present and out of every later command's reach.
        if (auto it = Names().find(c.word); it != Names().end() && !it->second.removed) {
            return "the name " + c.word + " is in use for the device " +
                   NarrowString(it->second.deviceId) + " (proximity remove " + c.word +
                   " first, or choose another name)";
        }
        std::u16string deviceId(c.deviceId.begin(), c.deviceId.end());
        bool added = c.op == Op::ProximityAdd ? sim::proximity::AddSensor(deviceId)
                                              : sim::proximity::AddOther(deviceId);
        if (!added) {
            return "a device with the id " + c.deviceId + " is present already";
        }
        Names()[c.word] = NamedDevice{deviceId};
        return {};
    }
    case Op::ProximityNear:
    case Op::ProximityFar:
    case Op::ProximityUpdate:
    case Op::ProximityRemove:
        break;
    default:
        return "not a proximity command";
    }
    std::u16string deviceId;
    if (std::string error = Named(c.word, &deviceId); !error.empty()) {
        return error;
    }
    switch (c.op) {
    case Op::ProximityUpdate:
        return sim::proximity::Update(deviceId) ? "" : c.word + " is not present";
    case Op::ProximityRemove:
        if (!sim::proximity::Remove(deviceId)) {
            return c.word + " is not present";
        }
        Names()[c.word].removed = true;
        return {};
    default:
        return sim::proximity::Reading(deviceId, c.op == Op::ProximityNear)
                   ? ""
                   : c.word + " is not a present proximity sensor";
    }
}

CheckOutcome EvaluateProximityCheck(const Command& c) {
    auto status = sim::proximity::WatcherStatus();
    std::string seen = !status ? "none"
                       : *status == DeviceWatcherStatus::Started ||
                               *status == DeviceWatcherStatus::EnumerationCompleted
                           ? "started"
                           : "stopped";
    return Outcome(seen == c.word, "proximity device watcher " + c.word,
                   "proximity device watcher " + seen);
}

bool IsProximityEvent(const sim::TraceRecord& record) {
    // The watcher starts and stops with every D0 entry and exit, sensors or
    // not, and names the channels it takes no sensor for: only --trace shows
    // that.
    static constexpr std::string_view kLifecycle[] = {"Proximity sensor enumeration completed",
                                                      "Proximity sensor watcher stopped",
                                                      "No proximity sensor is taken for channel "};
    if (record.file != "ProximitySensorWatcher.cpp" || record.level > 4) {
        return false;
    }
    for (std::string_view line : kLifecycle) {
        if (record.message.starts_with(line)) {
            return false;
        }
    }
    return true;
}

} // namespace host
