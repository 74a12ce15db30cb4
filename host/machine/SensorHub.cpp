#include "host/machine/SensorHub.h"

#include "platform/sim/sensor_client_service.h"

namespace host {

namespace hub = sim::hub;

std::string RunHubCommand(const Command& c, std::string* /*result*/) {
    // SUIDs come as HIGH, LOW pairs.
    auto suid = [&](std::size_t i) { return hub::Suid{c.suids[i + 1], c.suids[i]}; };
    switch (c.op) {
    case Op::HubPresent:
    case Op::HubAbsent:
        hub::SetPresent(c.op == Op::HubPresent);
        return {};
    case Op::HubSar: {
        std::vector<hub::Suid> suids;
        for (std::size_t i = 0; i + 1 < c.suids.size(); i += 2) {
            suids.push_back(suid(i));
        }
        hub::SetSuids("SAR", suids);
        return {};
    }
    case Op::HubReport:
        hub::Report(static_cast<float>(c.value),
                    c.suids.empty() ? std::nullopt : std::optional(suid(0)));
        return {};
    case Op::HubError:
        hub::Restart();
        return {};
    case Op::HubFail:
        hub::FailNext(*hub::KindFromName(c.word), static_cast<std::int32_t>(c.a));
        return {};
    case Op::HubRaw:
        hub::SendRaw(c.bytes);
        return {};
    default:
        return "not a hub command";
    }
}

CheckOutcome EvaluateHubCheck(const Command& c) {
    switch (c.op) {
    case Op::ExpectHubRequests:
        return CountOutcome(hub::RequestCount(*hub::KindFromName(c.word)), c.a,
                            c.word + " request(s) at the hub");
    case Op::ExpectHubClients: {
        std::size_t seen = hub::Clients();
        return Outcome(seen == c.a, std::to_string(c.a) + " client(s) on the sensor hub",
                       std::to_string(seen) + " client(s) on the sensor hub");
    }
    default:
        return Outcome(false, "a hub check", "not a hub check", true);
    }
}

std::vector<std::string> HubActivity() {
    std::vector<std::string> lines = hub::TakeActivity();
    for (std::string& line : lines) {
        line = "hub: " + line;
    }
    return lines;
}

} // namespace host
