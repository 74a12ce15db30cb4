#include "host/scenario/Checks.h"
#include "host/machine/PartitionService.h"
#include "host/machine/ProximitySensors.h"
#include "host/machine/SensorHub.h"
#include "host/machine/WlanAdapter.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/quiescence.h"
#include "platform/sim/trace_recorder.h"

#include <thread>

namespace host {

namespace {

std::string DroppedText() {
    return "records were dropped (" + std::to_string(sim::TraceDropped()) +
           " older than the newest " + std::to_string(sim::kTraceCapacity) +
           " the recorder keeps), so they cannot be searched";
}

} // namespace

CheckOutcome Outcome(bool held, std::string expected, std::string seen, bool final) {
    return CheckOutcome{held, final, std::move(expected), std::move(seen)};
}

CheckOutcome CountOutcome(std::size_t seen, std::size_t expected, const std::string& what) {
    return Outcome(seen == expected, std::to_string(expected) + " " + what,
                   std::to_string(seen) + " " + what, seen > expected);
}

namespace {

// What the driver's device checks see before any device add has succeeded:
// the same for each, so that none of them passes on a machine the driver
// never touched.
constexpr const char* kNoDevice = "no device: none has been added (use add first)";

bool AsksTheDevice(Op op) {
    return op == Op::ExpectChannels || op == Op::ExpectModem || op == Op::ExpectModemEnabled;
}

std::string ExpectedText(const Command& c) {
    switch (c.op) {
    case Op::ExpectChannels:
        return std::to_string(c.a) + " channel objects";
    case Op::ExpectModem:
        return "modem antennas at " + IndexList(c.indexes);
    default:
        return std::string("modem SAR back-off ") + (c.flag ? "enabled" : "not enabled");
    }
}

} // namespace

CheckOutcome EvaluateCheck(const Command& c, Machine& machine, const LastResults& last) {
    if (AsksTheDevice(c.op) && !machine.DeviceEverAdded()) {
        return Outcome(false, ExpectedText(c), kNoDevice, true);
    }
    switch (c.op) {
    case Op::ExpectStatus:
        if (!last.ioctl) {
            return Outcome(false, "IOCTL status " + StatusText(c.a), "no IOCTL has been sent",
                           true);
        }
        return Outcome(last.ioctl->status == c.a, "IOCTL status " + StatusText(c.a),
                       "IOCTL status " + StatusText(last.ioctl->status), true);
    case Op::ExpectBytes:
        if (!last.ioctl) {
            return Outcome(false, std::to_string(c.a) + " bytes returned", "no IOCTL has been sent",
                           true);
        }
        return Outcome(last.ioctl->bytes == c.a, std::to_string(c.a) + " bytes returned",
                       std::to_string(last.ioctl->bytes) + " bytes returned", true);
    case Op::ExpectOutput: {
        if (!last.ioctl) {
            return Outcome(false, "output starting " + HexBytes(c.bytes), "no IOCTL has been sent",
                           true);
        }
        const auto& out = last.ioctl->output;
        std::size_t shown = std::min(out.size(), last.ioctl->bytes);
        std::vector<std::uint8_t> returned(out.begin(), out.begin() + static_cast<long>(shown));
        bool held = returned.size() >= c.bytes.size() &&
                    std::equal(c.bytes.begin(), c.bytes.end(), returned.begin());
        return Outcome(held, "output starting " + HexBytes(c.bytes), "output " + HexBytes(returned),
                       true);
    }
    case Op::ExpectAdd:
        if (!last.add) {
            return Outcome(false, "device add status " + StatusText(c.a), "no device add has run",
                           true);
        }
        return Outcome(*last.add == c.a, "device add status " + StatusText(c.a),
                       "device add status " + StatusText(*last.add), true);
    case Op::ExpectChannels: {
        auto count = machine.ChannelCount();
        if (!count) {
            return Outcome(false, ExpectedText(c),
                           "no device context (device add failed or the device is gone)", true);
        }
        return Outcome(*count == c.a, ExpectedText(c), std::to_string(*count) + " channel objects");
    }
    case Op::ExpectModem: {
        std::string expected = ExpectedText(c);
        if (!machine.ModemPresent()) {
            // Only a `modem antennas` command installs one: waiting cannot help.
            return Outcome(false, expected, "no modem", true);
        }
        auto seen = machine.ModemIndexes();
        return Outcome(seen == c.indexes, expected, "modem antennas at " + IndexList(seen));
    }
    case Op::ExpectModemSets:
        return CountOutcome(machine.ModemSetCount(), c.a, "SetConfigurationAsync call(s)");
    case Op::ExpectHubRequests:
    case Op::ExpectHubClients:
        return EvaluateHubCheck(c);
    case Op::ExpectModemEnabled: {
        bool enabled = machine.ModemEnabled();
        return Outcome(enabled == c.flag, ExpectedText(c),
                       std::string("modem SAR back-off ") + (enabled ? "enabled" : "not enabled"));
    }
    case Op::ExpectWlan:
    case Op::ExpectWlanSets:
    case Op::ExpectWlanSize:
        return EvaluateWlanCheck(c);
    case Op::ExpectPartitionRequests:
        return EvaluatePartitionCheck(c);
    case Op::ExpectProximityWatcher:
        return EvaluateProximityCheck(c);
    case Op::ExpectTrace: {
        bool found = sim::TraceContains(c.word);
        std::string seen = found ? "found"
                                 : "no such message among " +
                                       std::to_string(sim::TraceSnapshot().size()) + " recorded";
        if (!found && sim::TraceDropped() > 0) {
            seen += "; " + DroppedText();
        }
        return Outcome(found, "a trace message containing \"" + c.word + "\"", seen);
    }
    case Op::ExpectNoTrace: {
        std::string seen = "none";
        for (const auto& record : sim::TraceSnapshot()) {
            if (record.message.find(c.word) != std::string::npos) {
                seen = record.file + ": " + record.message;
                break;
            }
        }
        // What was dropped may have held it: absence cannot be shown.
        if (seen == "none" && sim::TraceDropped() > 0) {
            seen = DroppedText();
        }
        return Outcome(seen == "none", "no trace message containing \"" + c.word + "\"", seen,
                       true);
    }
    default:
        return Outcome(false, "a check", "not a check", true);
    }
}

CheckOutcome WaitForCheck(const Command& command, Machine& machine, const LastResults& last,
                          std::chrono::milliseconds bound, const std::function<void()>& onPoll) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        sim::Settle(std::max(remaining, std::chrono::milliseconds(0)));
        if (onPoll) {
            onPoll();
        }
        CheckOutcome outcome = EvaluateCheck(command, machine, last);
        if (outcome.held || outcome.final || std::chrono::steady_clock::now() >= deadline) {
            return outcome;
        }
        // Settled but not yet true: a timed wait of the driver has still to
        // run out. Look again shortly; the bound above ends the wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace host
