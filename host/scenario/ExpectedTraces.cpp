#include "host/scenario/ExpectedTraces.h"

namespace host {

namespace {

constexpr std::string_view kNotFound = "ntStatus=0xC0000034";

bool Has(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

} // namespace

ExpectedMatch ExpectedTraces::Observe(std::uint32_t thread, std::string_view file,
                                      std::string_view message) {
    int& chain = mChain[thread];
    const int step = chain;
    chain = 0;
    if (file == "Dmf_Registry.cpp") {
        if (Has(message, "Buffer too small: needed=") && Has(message, "given=0")) {
            return {1, ExpectedKind::ConfigurationRead}; // precedes every string read
        }
        if (Has(message, "WdfRegistryQueryValue fails: ") && Has(message, kNotFound)) {
            chain = 1;
        }
        return {};
    }
    // An empty folder is the only error a missing file draws; a folder with
    // other files, or a file that cannot be read, is traced otherwise.
    if (file == "SarProvisioningFile.cpp" &&
        message.starts_with("there are no files in TSRL folder")) {
        return {1, ExpectedKind::NoProvisioningFile};
    }
    // The watcher holds readings back while the display is off, by design.
    if (file == "ProximitySensorWatcher.cpp" &&
        message.starts_with("Display is off: reading of ") &&
        message.ends_with(" kept until it comes on")) {
        return {1, ExpectedKind::ReadingWhileDisplayOff};
    }
    if (file != "RegistryConfig.cpp") {
        return {};
    }
    // Another count is a value written wrong, and a WLAN channel left out
    // by a count of 0 is traced on its own.
    if (message.starts_with("WlanAntCount=0 is not 1 or 2")) {
        return {1, ExpectedKind::NoWlanChannel};
    }
    if (step == 1 && Has(message, "Registry query failed!") && Has(message, kNotFound)) {
        chain = 2;
        return {};
    }
    // Only a read with a default ends this way: the value was optional.
    if (step == 2 && Has(message, "ReadUlongOrDefault: RegistryReadUlong() failed")) {
        return {3, ExpectedKind::ConfigurationRead};
    }
    return {};
}

int Total(const ExpectedCounts& counts) {
    int total = 0;
    for (int n : counts) {
        total += n;
    }
    return total;
}

std::string DescribeExpected(const ExpectedCounts& counts) {
    static const char* const kWhy[kExpectedKinds] = {
        " reading the configuration (values left out, string sizes)",
        " for WlanAntCount 0 (no WLAN channel)",
        " for no provisioning file (no periodic WLAN refresh)",
        " for proximity readings while the display is off (kept until it comes on)",
    };
    std::string text;
    for (std::size_t kind = 0; kind < kExpectedKinds; ++kind) {
        if (counts[kind] > 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(counts[kind]) + kWhy[kind];
        }
    }
    return text;
}

} // namespace host
