#include "host/config/CheckConfig.h"
#include "host/config/ConfigReview.h"
#include "host/machine/DriverView.h"
#include "host/machine/Machine.h"
#include "host/scenario/ExpectedTraces.h"
#include "host/scenario/Timeline.h"
#include "host/scenario/Tokens.h"

#include "halvex/provider/SuidPattern.h"

#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace host {

namespace {

// A first sensor without a SUID leaves nothing in a device id to tell its
// proximity sensor by: the driver takes none for the channel.
bool WithoutSuid(const ChannelView& record) {
    return !record.sensors.empty() && record.sensors.front().valid &&
           record.sensors.front().suidLow == 0 && record.sensors.front().suidHigh == 0;
}

// What a proximity sensor's device id must hold for the driver to take it as
// the channel's first sensor; empty when that sensor is not valid or has no
// SUID.
std::string ProximityPattern(const ChannelView& record) {
    if (record.sensors.empty() || !record.sensors.front().valid || WithoutSuid(record)) {
        return {};
    }
    const SensorView& first = record.sensors.front();
    return FormatSuidPattern(first.suidLow, first.suidHigh);
}

const char* SensorTypeName(std::uint32_t type) {
    return type == 0 ? "SLPI" : type == 1 ? "APPS" : "invalid";
}

// The error traces of the device add, as the sink delivers them.
struct TakenErrors {
    std::mutex lock;
    std::vector<sim::TraceRecord> records;
};

// What the check found, for the text and the JSON printers alike.
struct Report {
    std::string path;
    std::uint32_t addStatus = 0;
    std::optional<DeviceView> view;
    ConfigReview review;
    ExpectedCounts expectedErrors{};
    std::vector<std::pair<std::string, int>> otherErrors; // distinct message, count
    bool noChannel = false;
};

// The driver's record of a reviewed channel subkey, when it kept one.
const ChannelView* RecordOf(const Report& r, const ChannelReview& channel) {
    const auto& subkeys = r.review.recordSubkeys;
    auto it = std::find(subkeys.begin(), subkeys.end(), channel.subkey);
    if (!r.view || it == subkeys.end() || subkeys.size() != r.view->channels.size()) {
        return nullptr;
    }
    return &r.view->channels[static_cast<std::size_t>(it - subkeys.begin())];
}

// The slot a sensor subkey finally holds in the record (the last subkey of a
// slot takes it over).
const SensorView* SlotOf(const ChannelView* record, const ChannelReview& channel,
                         const SensorReview& sensor) {
    if (record == nullptr || sensor.slot < 0 ||
        sensor.slot >= static_cast<long long>(record->sensors.size())) {
        return nullptr;
    }
    for (auto it = channel.sensors.rbegin(); it != channel.sensors.rend(); ++it) {
        if (it->slot == sensor.slot) {
            return &*it == &sensor ? &record->sensors[static_cast<std::size_t>(sensor.slot)]
                                   : nullptr;
        }
    }
    return nullptr;
}

void PrintList(const char* indent, const std::vector<std::string>& defaults,
               const std::vector<std::string>& findings,
               const std::vector<std::string>& notes = {}) {
    if (!defaults.empty()) {
        std::printf("%sabsent, default taken: %s\n", indent, Printable(Joined(defaults)).c_str());
    }
    for (const auto& finding : findings) {
        std::printf("%s! %s\n", indent, Printable(finding).c_str());
    }
    for (const auto& note : notes) {
        std::printf("%snote: %s\n", indent, Printable(note).c_str());
    }
}

// The index a WLAN channel sends while a sensor is active, and the adapter
// keeps once the device is removed: that of the first mapping of state 1, 0
// without one. -1 sends nothing, and the removal takes the channel as it last
// was, not active.
std::int32_t WlanActiveIndex(const ChannelView& record) {
    for (const auto& [mask, index] : record.mapping) {
        if (mask == 1) {
            return index;
        }
    }
    return 0;
}

void PrintMapping(const ChannelView& record) {
    std::printf("  mapping:");
    for (const auto& [mask, index] : record.mapping) {
        if (index == -1) {
            std::printf("  state %u -> nothing sent", mask);
        } else {
            std::printf("  state %u -> index %d", mask, index);
        }
    }
    std::printf("\n");
}

void PrintText(const Report& r) {
    std::printf("configuration %s\n", Printable(r.path).c_str());
    std::printf("device add: %s\n", StatusText(r.addStatus).c_str());
    if (r.view) {
        std::printf("modules: %s\n", Printable(Joined(r.view->modules)).c_str());
        std::printf("NumberOfChannels %u, WlanAntCount %u, valid channel records %u, channels "
                    "built %zu\n",
                    r.view->numberOfChannels, r.view->wlanAntCount, r.view->configuredCount,
                    r.view->channelObjects);
        bool wlan = std::any_of(r.view->channels.begin(), r.view->channels.end(),
                                [](const ChannelView& c) { return c.wlanAntennaMask.has_value(); });
        if (wlan) {
            std::printf("WLAN SAR commands of %u bytes (12 + 8 x WlanAntCount)\n",
                        12 + 8 * r.view->wlanAntCount);
        }
    } else {
        std::printf("(no device to inspect: device add failed; the traces below say why)\n");
    }
    PrintList("", r.review.defaults, r.review.findings);
    for (const ChannelReview& channel : r.review.channels) {
        const ChannelView* record = RecordOf(r, channel);
        std::printf("channel %s: %s%s\n", Printable(channel.subkey).c_str(),
                    channel.type.empty() ? "(no ChannelType)" : Printable(channel.type).c_str(),
                    record != nullptr ? "" : "  (no record kept)");
        if (record != nullptr) {
            if (record->wlanAntennaMask) {
                std::int32_t active = WlanActiveIndex(*record);
                std::printf("  WLAN antenna mask 0x%X, active index %s\n", *record->wlanAntennaMask,
                            active == -1
                                ? "none (-1: state 1 sends nothing, and the removal setting "
                                  "gives this channel no back-off: Enable 0 unless another WLAN "
                                  "channel is active)"
                                : std::to_string(active).c_str());
            }
            PrintMapping(*record);
            std::string pattern = ProximityPattern(*record);
            if (!pattern.empty()) {
                std::printf("  a proximity sensor whose device id holds \"%s\" sets sensor %u\n",
                            pattern.c_str(), record->sensors.front().id);
            }
        }
        PrintList("  ", channel.defaults, channel.findings, channel.notes);
        for (const SensorReview& sensor : channel.sensors) {
            const SensorView* s = SlotOf(record, channel, sensor);
            std::printf("  sensor subkey %s (slot %lld): ", Printable(sensor.subkey).c_str(),
                        sensor.slot);
            if (s == nullptr) {
                bool inRange = record != nullptr && sensor.slot >= 0 &&
                               sensor.slot < static_cast<long long>(record->sensors.size());
                std::printf("%s\n", record == nullptr ? "read, not kept"
                                    : inRange         ? "its slot taken over by a later subkey"
                                                      : "no slot");
            } else if (!s->valid) {
                std::printf("%s, skipped (%s)\n", SensorTypeName(s->type),
                            s->type == 2 ? "no recognised Type" : "no ID");
            } else {
                std::printf("%s ID %u", SensorTypeName(s->type), s->id);
                if (s->type == 0) {
                    std::printf(", SUID low 0x%016" PRIX64 " high 0x%016" PRIX64, s->suidLow,
                                s->suidHigh);
                }
                std::printf("\n");
            }
            PrintList("    ", sensor.defaults, sensor.findings);
        }
    }
    int other = 0;
    for (const auto& error : r.otherErrors) {
        other += error.second;
    }
    std::string expected =
        Total(r.expectedErrors) == 0
            ? std::string()
            : ", " + std::to_string(Total(r.expectedErrors)) +
                  " that a sound setup draws too: " + DescribeExpected(r.expectedErrors);
    std::printf("traced errors: %d other%s\n", other, expected.c_str());
    for (const auto& [text, count] : r.otherErrors) {
        std::string times = count > 1 ? std::to_string(count) + "x " : std::string();
        std::printf("  %s%s\n", times.c_str(), Printable(text).c_str());
    }
    std::printf("%s\n", r.noChannel ? "result: the driver would run WITHOUT any channel"
                                    : "result: the driver would run with this configuration");
}

std::string JsonStrings(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const auto& item : items) {
        out += (out.size() > 1 ? ",\"" : "\"") + JsonEscape(item) + "\"";
    }
    return out + "]";
}

void PrintJson(const Report& r) {
    std::string out = "{\"configuration\":\"" + JsonEscape(r.path) +
                      "\",\"device_add\":" + std::to_string(r.addStatus);
    if (r.view) {
        out += ",\"number_of_channels\":" + std::to_string(r.view->numberOfChannels) +
               ",\"wlan_ant_count\":" + std::to_string(r.view->wlanAntCount) +
               ",\"records\":" + std::to_string(r.view->configuredCount) +
               ",\"channels_built\":" + std::to_string(r.view->channelObjects) +
               ",\"modules\":" + JsonStrings(r.view->modules);
    }
    out += ",\"defaults\":" + JsonStrings(r.review.defaults) +
           ",\"findings\":" + JsonStrings(r.review.findings) + ",\"channels\":[";
    for (std::size_t c = 0; c < r.review.channels.size(); ++c) {
        const ChannelReview& channel = r.review.channels[c];
        const ChannelView* record = RecordOf(r, channel);
        out += std::string(c ? "," : "") + "{\"subkey\":\"" + JsonEscape(channel.subkey) +
               "\",\"type\":\"" + JsonEscape(channel.type) +
               "\",\"record\":" + (record ? "true" : "false");
        if (record && record->wlanAntennaMask) {
            out += ",\"wlan_antenna_mask\":" + std::to_string(*record->wlanAntennaMask) +
                   ",\"wlan_active_index\":" + std::to_string(WlanActiveIndex(*record));
        }
        out += ",\"mapping\":[";
        for (std::size_t m = 0; record && m < record->mapping.size(); ++m) {
            out += std::string(m ? "," : "") +
                   "{\"mask\":" + std::to_string(record->mapping[m].first) +
                   ",\"index\":" + std::to_string(record->mapping[m].second) + "}";
        }
        out += "]";
        if (record != nullptr && !ProximityPattern(*record).empty()) {
            out += ",\"suid_pattern\":\"" + ProximityPattern(*record) + "\"";
        }
        out += ",\"defaults\":" + JsonStrings(channel.defaults) +
               ",\"findings\":" + JsonStrings(channel.findings) +
               ",\"notes\":" + JsonStrings(channel.notes) + ",\"sensors\":[";
        for (std::size_t i = 0; i < channel.sensors.size(); ++i) {
            const SensorReview& sensor = channel.sensors[i];
            const SensorView* s = SlotOf(record, channel, sensor);
            out += std::string(i ? "," : "") + "{\"subkey\":\"" + JsonEscape(sensor.subkey) +
                   "\",\"slot\":" + std::to_string(sensor.slot) + ",\"type\":\"" +
                   JsonEscape(sensor.type) + "\"";
            if (s != nullptr) {
                out += std::string(",\"valid\":") + (s->valid ? "true" : "false") +
                       ",\"id\":" + std::to_string(s->id) +
                       ",\"suid_low\":" + std::to_string(s->suidLow) +
                       ",\"suid_high\":" + std::to_string(s->suidHigh);
            }
            out += ",\"defaults\":" + JsonStrings(sensor.defaults) +
                   ",\"findings\":" + JsonStrings(sensor.findings) + "}";
        }
        out += "]}";
    }
    out += "],\"expected_error_traces\":" + std::to_string(Total(r.expectedErrors)) +
           ",\"other_error_traces\":[";
    for (std::size_t i = 0; i < r.otherErrors.size(); ++i) {
        out += std::string(i ? "," : "") + "{\"text\":\"" + JsonEscape(r.otherErrors[i].first) +
               "\",\"count\":" + std::to_string(r.otherErrors[i].second) + "}";
    }
    out += std::string("],\"result\":\"") + (r.noChannel ? "no-channel" : "runs") + "\"}";
    std::puts(out.c_str());
}

} // namespace

int CheckConfig(const std::string& regPath, const std::string& driverPath, bool json) {
    Machine machine(driverPath);
    std::string error = machine.ImportConfig(regPath);
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", Printable(error).c_str());
        return 2;
    }
    Report r;
    r.path = regPath;
    r.review = ReviewConfiguration();
    sim::SetTraceLevel(5);
    sim::ClearTrace();
    // Every error trace is taken as it is written: the recorder keeps only
    // the newest, and a large configuration draws more than that.
    auto taken = std::make_shared<TakenErrors>();
    sim::SetTraceSink([taken](const sim::TraceRecord& record) {
        if (record.level <= 2) {
            std::lock_guard guard(taken->lock);
            taken->records.push_back(record);
        }
    });
    r.addStatus = machine.AddDevice(&error);
    if (!error.empty()) {
        sim::SetTraceSink(nullptr);
        std::fprintf(stderr, "halvex-host: %s\n", Printable(error).c_str());
        return 2;
    }
    sim::Settle();
    sim::SetTraceSink(nullptr);
    std::vector<sim::TraceRecord> errors;
    {
        std::lock_guard guard(taken->lock);
        errors = std::move(taken->records);
    }
    r.noChannel = r.addStatus != 0 ||
                  std::any_of(errors.begin(), errors.end(), [](const sim::TraceRecord& e) {
                      return e.message.find("No channels configured properly in registry") !=
                             std::string::npos;
                  });
    r.view = ReadDeviceView(machine);
    r.noChannel = r.noChannel || !r.view || r.view->channelObjects == 0;
    for (ChannelReview& channel : r.review.channels) {
        if (const ChannelView* record = RecordOf(r, channel);
            record != nullptr && WithoutSuid(*record)) {
            channel.notes.push_back(
                "the first sensor has no SUID (all four SUID values 0): no proximity sensor is "
                "taken for this channel, since its pattern, \"00\", is found in almost any "
                "device id; a channel meant for one gives its first sensor, an APPS sensor, "
                "the SUID that sensor's device id carries");
        }
    }

    // The reader traces every absent optional value the same way: those are
    // counted, the rest listed once per distinct message. A read's traces are
    // the error traces just before its last one on the same thread.
    std::vector<bool> known(errors.size(), false);
    std::map<std::uint32_t, std::vector<std::size_t>> byThread;
    ExpectedTraces expected;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        auto& mine = byThread[errors[i].threadId];
        mine.push_back(i);
        ExpectedMatch match =
            expected.Observe(errors[i].threadId, errors[i].file, errors[i].message);
        for (int k = 0; k < match.count && k < static_cast<int>(mine.size()); ++k) {
            known[mine[mine.size() - 1 - static_cast<std::size_t>(k)]] = true;
        }
        r.expectedErrors[static_cast<std::size_t>(match.kind)] += match.count;
    }
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (known[i]) {
            continue;
        }
        std::string text = errors[i].file + ": " + errors[i].message;
        auto it = std::find_if(r.otherErrors.begin(), r.otherErrors.end(),
                               [&](const auto& e) { return e.first == text; });
        if (it == r.otherErrors.end()) {
            r.otherErrors.emplace_back(text, 1);
        } else {
            ++it->second;
        }
    }
    if (r.addStatus == 0) {
        std::string ignored;
        machine.Remove(&ignored);
    }
    json ? PrintJson(r) : PrintText(r);
    return r.noChannel ? 1 : 0;
}

} // namespace host
