// The device's configuration as the driver's reader will take it, read from
// the registry by the reader's own rules before the driver runs: which
// subkeys become channels and sensors and which do not (and by what rule),
// which values are absent and what default the reader takes for them, and
// what the reader accepts that can never take effect. The driver traces
// little of this, and nothing by subkey name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct SensorReview {
    std::string subkey;
    long long slot = 0; // the number the name begins with, as the reader reads it
    std::string type;   // empty when absent
    std::optional<std::uint32_t> id;
    std::optional<std::uint32_t> wlanAntMask; // as read, in a WLAN channel
    std::vector<std::string> defaults;        // "SUID_LOW_L=0": absent values and the default taken
    std::vector<std::string> findings;
};

struct ChannelReview {
    std::string subkey;
    std::string type; // empty when absent
    std::vector<std::string> defaults;
    std::vector<std::string> findings;
    // What the driver makes of a sound setup that a user may not expect: not
    // a mistake, so never flagged as one.
    std::vector<std::string> notes;
    std::vector<SensorReview> sensors; // in the order the reader visits them
};

struct ConfigReview {
    std::vector<std::string> defaults; // of the device key
    std::vector<std::string> findings; // of the device key and its subkeys
    std::vector<ChannelReview> channels;
    // The channel subkeys whose records the driver keeps, in record order
    // (best effort: the same rules, without the driver's allocation failures).
    std::vector<std::string> recordSubkeys;
};

// Reads the machine's "Device Parameters" key as it stands now.
ConfigReview ReviewConfiguration();

} // namespace host
