// The WLAN part of the soak: two WLAN channels that share antenna 1 of a
// two-antenna adapter (masks 1 and 3), each behind an APPS sensor of its own,
// with a refresh period in the provisioning file. Between checkpoints the
// adapter's interface goes and comes back, the adapter refuses or fails
// settings and raises SAR notifications, in an order drawn from the soak's
// seed. At a checkpoint the adapter's last setting must be the merged setting
// the sensors' states give; after the removal, the removal setting.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace host {

class SoakWlan {
public:
    static constexpr int kChannels = 2;
    static constexpr int kAntennas = 2;

    // The registry text of the channel subkeys, numbered from `firstChannel`,
    // behind APPS sensors `firstSensor` and the next one.
    static std::string Config(int firstChannel, std::uint32_t firstSensor);

    // The adapter and the provisioning file, before device add.
    void SetUp();
    // One change of the adapter, drawn from `rng`.
    void Environment(std::mt19937_64& rng);
    // Before a checkpoint's sensor changes: the interface is there and every
    // fault is cleared.
    void Restore();
    // Once the machine has settled on the sensors' states (`near`, one per
    // channel): a SAR notification, and the adapter must hold the merged
    // setting for those states; no setting it was ever sent may hold an
    // index from no row of the tables. Empty, or what went wrong.
    std::string Check(const bool (&near)[kChannels]);
    // After the removal: the removal setting must be the adapter's last.
    std::string CheckRemoval() const;
    // What the adapter holds, for the report.
    std::string Summary() const;
    // The operations done, a line per kind, as the soak's report prints them.
    void PrintCounts() const;

private:
    enum Kind { kNotify, kLost, kBack, kRefused, kSetFails, kCleared, kKinds };
    std::uint64_t mCounts[kKinds] = {};
    bool mInterfacePresent = true;
};

} // namespace host
