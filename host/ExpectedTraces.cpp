#include "host/ExpectedTraces.h"

namespace host {

namespace {

constexpr std::string_view kNotFound = "ntStatus=0xC0000034";

bool Has(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

} // namespace

int ExpectedTraces::Observe(std::uint32_t thread, std::string_view file, std::string_view message) {
    int& chain = mChain[thread];
    const int step = chain;
    chain = 0;
    if (file == "Dmf_Registry.cpp") {
        if (Has(message, "Buffer too small: needed=") && Has(message, "given=0")) {
            return 1; // the size query that precedes every string read
        }
        if (Has(message, "WdfRegistryQueryValue fails: ") && Has(message, kNotFound)) {
            chain = 1;
        }
        return 0;
    }
    if (file != "RegistryConfig.cpp") {
        return 0;
    }
    if (step == 1 && Has(message, "Registry query failed!") && Has(message, kNotFound)) {
        chain = 2;
        return 0;
    }
    // Only a read with a default ends this way: the value was optional.
    if (step == 2 && Has(message, "ReadUlongOrDefault: RegistryReadUlong() failed")) {
        return 3;
    }
    return 0;
}

} // namespace host
