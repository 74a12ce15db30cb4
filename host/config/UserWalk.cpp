#include "host/config/UserWalk.h"
#include "host/cli/Isolation.h"
#include "host/config/ConfigReview.h"
#include "host/machine/DriverView.h"
#include "host/machine/Machine.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/quiescence.h"

#include <cstdio>
#include <map>
#include <vector>

namespace host {

namespace {

// Where a sensor is configured: "channel0\0".
std::string Place(const ConfigReview& review, std::size_t record, std::uint32_t slot) {
    if (review.recordSubkeys.size() <= record) {
        return "record " + std::to_string(record) + ", slot " + std::to_string(slot);
    }
    const std::string& channel = review.recordSubkeys[record];
    std::string sensor = std::to_string(slot);
    for (const ChannelReview& c : review.channels) {
        if (c.subkey != channel) {
            continue;
        }
        for (const SensorReview& s : c.sensors) {
            sensor = s.slot == slot ? s.subkey : sensor; // the last subkey of a slot holds it
        }
    }
    return channel + "\\" + sensor;
}

// An SLPI sensor as the walk drives it: through reports of the hub's SAR sensor.
struct SlpiSensor {
    std::uint32_t id = 0;
    std::string place;
    std::string suid; // "HIGH:LOW", empty for 0/0 (the driver takes what the lookup lists)
};

std::string SuidText(std::uint64_t high, std::uint64_t low) {
    char text[48];
    std::snprintf(text, sizeof text, "0x%016llX:0x%016llX", static_cast<unsigned long long>(high),
                  static_cast<unsigned long long>(low));
    return text;
}

std::string Survey(const std::string& configPath, const std::string& driverPath,
                   std::string* error) {
    Machine machine(driverPath);
    *error = machine.ImportConfig(configPath);
    if (!error->empty()) {
        return {};
    }
    ConfigReview review = ReviewConfiguration();
    machine.AddDevice(error);
    if (!error->empty()) {
        return {};
    }
    sim::Settle();
    std::optional<DeviceView> view = ReadDeviceView(machine);
    // IDs in the order of first appearance, each with every place that lists it.
    std::vector<std::uint32_t> apps;
    std::map<std::uint32_t, std::string> appsPlaces;
    std::vector<SlpiSensor> slpi;
    std::string listed; // the configured SUIDs, for the hub's lookup to list
    for (std::size_t r = 0; view && r < view->channels.size(); ++r) {
        for (const SensorView& s : view->channels[r].sensors) {
            if (!s.valid) {
                continue;
            }
            std::string place = Place(review, r, s.slot);
            if (s.type == 0) {
                SlpiSensor sensor{s.id, place, {}};
                if (s.suidHigh != 0 || s.suidLow != 0) {
                    sensor.suid = SuidText(s.suidHigh, s.suidLow);
                    listed += " " + sensor.suid;
                }
                slpi.push_back(sensor);
                continue;
            }
            auto [it, added] = appsPlaces.emplace(s.id, place);
            if (added) {
                apps.push_back(s.id);
            } else {
                it->second += ", " + place;
            }
        }
    }
    // A sensor of a channel the driver did not build is not known to it: ask
    // the driver itself (state 1 leaves a started sensor as it is).
    machine.Start(error);
    std::string unknown;
    for (auto it = apps.begin(); error->empty() && it != apps.end();) {
        if (machine.Ioctl(kIoctlSetSensorState, SetSensorStateInput(*it, 1), 0, error).status ==
            0) {
            ++it;
            continue;
        }
        unknown += "# APPS sensor " + std::to_string(*it) + " (" + appsPlaces[*it] +
                   "): the driver built no channel that lists it, so the IOCTL cannot set it.\n";
        it = apps.erase(it);
    }
    if (!error->empty()) {
        return {};
    }
    std::string ids;
    for (std::uint32_t id : apps) {
        ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    }
    std::string text =
        "# The walk of your configuration, " + configPath +
        ": `show` lines tell what each radio holds after every step.\n"
        "# The machine: a modem with two antennas at index 0, and its WWAN interface.\n" +
        (apps.empty() ? "# No APPS sensor in this configuration: nothing to set through the "
                        "IOCTL (halvex-host --check-config tells why).\n"
                      : std::string()) +
        "modem antennas 2\nwwan add\n" +
        (listed.empty() ? std::string()
                        : "# The sensor hub's lookup lists the SAR sensors the configuration "
                          "names.\nhub sar" +
                              listed + "\n") +
        "add\nexpect add success\nstart\n" + unknown + "show\n\n";
    if (!apps.empty()) {
        text += "# Every APPS sensor cleared (" + ids + "): nothing near.\n";
        for (std::uint32_t id : apps) {
            text += "ioctl set-state " + std::to_string(id) + " 0\nexpect status success\n";
        }
        text += "show\n\n";
    }
    if (!slpi.empty()) {
        text += "# Every SLPI sensor's report: nothing near.\nhub report 0.0\nshow\n\n";
    }
    for (std::uint32_t id : apps) {
        std::string set = "ioctl set-state " + std::to_string(id);
        text += "# APPS sensor " + std::to_string(id) + " (" + appsPlaces[id] +
                ") detected, then cleared.\n" + set + " 1\nexpect status success\nshow\n" + set +
                " 0\nexpect status success\nshow\n\n";
    }
    // A sensor configured without a SUID takes reports from any sensor.
    for (const SlpiSensor& s : slpi) {
        std::string from = s.suid.empty() ? std::string() : " from " + s.suid;
        text += "# SLPI sensor " + std::to_string(s.id) + " (" + s.place +
                ") reports through the sensor hub: something near, then nothing.\nhub report "
                "1.0" +
                from + "\nshow\nhub report 0.0" + from + "\nshow\n\n";
    }
    text += "# Display off: every sensor counts as active until it comes back on.\n"
            "display off\nshow\ndisplay on\nshow\n\n"
            "# Hibernate and resume: the channels stop and start again.\n"
            "hibernate\nresume\nshow\n\n"
            "# Removal: the device leaves D0 for good and is deleted.\nremove\n";
    std::string ignored;
    machine.Remove(&ignored);
    return text;
}

} // namespace

std::string UserWalkText(const std::string& configPath, const std::string& driverPath,
                         int* status) {
    std::string text;
    *status = RunIsolatedForText(
        "the survey of " + configPath,
        [&](std::string* out) {
            std::string problem;
            *out = Survey(configPath, driverPath, &problem);
            if (!problem.empty()) {
                std::fprintf(stderr, "halvex-host: %s\n", Printable(problem).c_str());
                return 2;
            }
            return 0;
        },
        &text);
    return text;
}

} // namespace host
