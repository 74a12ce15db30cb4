#include "host/machine/WlanAdapter.h"

#include "platform/sim/faults.h"
#include "platform/sim/wlan.h"

namespace host {

namespace {

sim::wlan::Setting SettingOf(const Command& c) {
    sim::wlan::Setting setting{c.a, {}};
    for (const auto& [mask, index] : c.entries) {
        setting.entries.push_back({mask, index});
    }
    return setting;
}

std::string SetText(const sim::wlan::Setting& setting) {
    std::string text = "Enable " + std::to_string(setting.enable);
    if (!setting.entries.empty()) {
        text += ", entries";
        for (const auto& entry : setting.entries) {
            text += " " + std::to_string(entry.mask) + ":" + std::to_string(entry.index);
        }
    }
    return text;
}

} // namespace

std::string RunWlanCommand(const Command& c, std::string* /*result*/) {
    switch (c.op) {
    case Op::WlanInterfaces:
        sim::wlan::SetInterfaces(c.a, c.b);
        return {};
    case Op::WlanArrive:
        sim::wlan::Arrive();
        return {};
    case Op::WlanLeave:
        sim::wlan::Leave();
        return {};
    case Op::WlanNotify: {
        // Another service: any GUID but the SAR service's and GUID_NULL.
        const GUID other = {0x0E1E0E1E, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};
        sim::wlan::NotifyDeviceService(c.word == "sar"    ? sim::wlan::kSarService
                                       : c.word == "null" ? GUID{}
                                                          : other);
        return {};
    }
    case Op::WlanFail: {
        auto point = sim::wlan::FaultPointFromName(c.word);
        if (!point) {
            return "unknown WLAN operation: " + c.word;
        }
        sim::ArmFault(*point, c.flag ? sim::FaultSpec::Always(c.a) : sim::FaultSpec::Once(c.a));
        return {};
    }
    case Op::WlanReply:
        sim::wlan::Reply(c.how == "empty"
                             ? std::nullopt
                             : std::optional<std::uint8_t>(static_cast<std::uint8_t>(c.a)),
                         c.flag);
        return {};
    case Op::WlanReadback:
        sim::wlan::ReadBack(SettingOf(c));
        return {};
    case Op::WlanOk:
        sim::wlan::ClearFailures();
        return {};
    default:
        return "not a WLAN command";
    }
}

CheckOutcome EvaluateWlanCheck(const Command& c) {
    auto last = sim::wlan::LastSet();
    switch (c.op) {
    case Op::ExpectWlan: {
        std::string expected = "last WLAN setting " + SetText(SettingOf(c));
        if (!last) {
            return Outcome(false, expected, "no setting received");
        }
        auto setting = sim::wlan::DecodeSetting(last->payload);
        std::string seen = setting ? "last WLAN setting " + SetText(*setting)
                                   : "a last setting of " + std::to_string(last->payload.size()) +
                                         " bytes, too short to read";
        return Outcome(setting && *setting == SettingOf(c), expected, seen);
    }
    case Op::ExpectWlanSets:
        return CountOutcome(sim::wlan::SetCount(), c.a, "WLAN setting(s) received");
    case Op::ExpectWlanSize: {
        std::string expected = "a last WLAN setting of " + std::to_string(c.a) + " bytes";
        if (!last) {
            return Outcome(false, expected, "no setting received");
        }
        return Outcome(last->payload.size() == c.a, expected,
                       "a last WLAN setting of " + std::to_string(last->payload.size()) + " bytes");
    }
    default:
        return Outcome(false, "a WLAN check", "not a WLAN check", true);
    }
}

std::string WlanSummary() {
    return "WLAN adapter at " + SetText(sim::wlan::Current()) + " (" +
           std::to_string(sim::wlan::SetCount()) + " setting(s) received)";
}

std::vector<WlanEvent> WlanEventsSince(std::size_t seen) {
    std::vector<WlanEvent> events;
    auto commands = sim::wlan::Commands();
    for (std::size_t i = seen; i < commands.size(); ++i) {
        const sim::wlan::Command& command = commands[i];
        WlanEvent event;
        event.set = command.opcode == sim::wlan::kOpSet;
        event.bytes = command.payload.size();
        event.reply = command.reply;
        event.result = command.result;
        event.number = i + 1;
        if (auto setting = sim::wlan::DecodeSetting(command.payload)) {
            event.enable = setting->enable;
            for (const auto& entry : setting->entries) {
                event.entries.emplace_back(entry.mask, entry.index);
            }
        }
        events.push_back(std::move(event));
    }
    return events;
}

} // namespace host
