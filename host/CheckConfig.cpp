#include "host/CheckConfig.h"
#include "host/DriverView.h"
#include "host/Machine.h"
#include "host/Tokens.h"

#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>
#include <vector>

namespace host {

namespace {

const char* ChannelTypeName(std::uint32_t type) {
    return type == 0 ? "MODEM" : type == 1 ? "WLAN" : "invalid";
}

const char* SensorTypeName(std::uint32_t type) {
    return type == 0 ? "SLPI" : type == 1 ? "APPS" : "invalid";
}

void PrintView(const DeviceView& view) {
    std::printf(
        "NumberOfChannels %u, WlanAntCount %u, valid channel records %u, channels built %zu\n",
        view.numberOfChannels, view.wlanAntCount, view.configuredCount, view.channelObjects);
    for (std::size_t i = 0; i < view.channels.size(); ++i) {
        const ChannelView& c = view.channels[i];
        std::printf("channel %zu: %s%s\n", i, ChannelTypeName(c.type), c.valid ? "" : " (invalid)");
        if (c.wlanAntennaMask) {
            std::printf("  WLAN antenna mask 0x%X\n", *c.wlanAntennaMask);
        }
        std::printf("  mapping:");
        for (const auto& [mask, index] : c.mapping) {
            if (index == -1) {
                std::printf("  state %u -> nothing sent", mask);
            } else {
                std::printf("  state %u -> index %d", mask, index);
            }
        }
        std::printf("\n");
        for (const SensorView& s : c.sensors) {
            if (!s.valid) {
                std::printf("  sensor %u: %s, skipped (%s)\n", s.slot, SensorTypeName(s.type),
                            s.type == 2 ? "no recognised Type" : "no ID");
                continue;
            }
            std::printf("  sensor %u: %s ID %u", s.slot, SensorTypeName(s.type), s.id);
            if (s.type == 0) {
                std::printf(", SUID low 0x%016" PRIX64 " high 0x%016" PRIX64, s.suidLow,
                            s.suidHigh);
            }
            std::printf("\n");
        }
    }
}

} // namespace

int CheckConfig(const std::string& regPath, const std::string& driverPath) {
    Machine machine(driverPath);
    std::string error = machine.ImportConfig(regPath);
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", error.c_str());
        return 2;
    }
    sim::SetTraceLevel(5);
    sim::ClearTrace();
    std::uint32_t status = machine.AddDevice(&error);
    if (!error.empty()) {
        std::fprintf(stderr, "halvex-host: %s\n", error.c_str());
        return 2;
    }
    sim::Settle();
    std::printf("configuration %s\n", regPath.c_str());
    std::printf("device add: %s\n", StatusText(status).c_str());

    bool noChannel =
        status != 0 || sim::TraceContains("No channels configured properly in registry");
    std::optional<DeviceView> view = ReadDeviceView(machine);
    if (view) {
        PrintView(*view);
        noChannel = noChannel || view->channelObjects == 0;
    } else {
        std::printf("(no device to inspect: device add failed; the traces below say why)\n");
    }

    // The reader traces every missing optional value the same way; one line
    // per distinct message, with its count, keeps the reasons readable.
    std::vector<std::pair<std::string, int>> errors;
    for (const auto& record : sim::TraceSnapshot()) {
        if (record.level > 2) {
            continue;
        }
        std::string text = record.file + ": " + record.message;
        auto it = std::find_if(errors.begin(), errors.end(),
                               [&](const auto& e) { return e.first == text; });
        if (it == errors.end()) {
            errors.emplace_back(text, 1);
        } else {
            ++it->second;
        }
    }
    if (errors.empty()) {
        std::printf("no errors traced\n");
    } else {
        std::printf("traced errors (what was skipped and why):\n");
        for (const auto& [text, count] : errors) {
            if (count > 1) {
                std::printf("  %dx %s\n", count, text.c_str());
            } else {
                std::printf("  %s\n", text.c_str());
            }
        }
    }
    if (status == 0) {
        std::string ignored;
        machine.Remove(&ignored);
    }
    std::printf("%s\n", noChannel ? "result: the driver would run WITHOUT any channel"
                                  : "result: the driver would run with this configuration");
    return noChannel ? 1 : 0;
}

} // namespace host
