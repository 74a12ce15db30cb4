// The WLAN part of the soak: two WLAN channels that share antenna 1 of a
// two-antenna adapter (masks 1 and 3), each behind an APPS sensor of its own,
// with a refresh period in the provisioning file. Between checkpoints the
// adapter's interface goes and comes back, the adapter refuses or fails
// settings and raises SAR notifications, in an order drawn from the soak's
// seed. Every setting the adapter receives must give each antenna that a
// near channel holds its back-off; at a checkpoint, where the sensors' states
// are known, every setting must be the merged setting those states give;
// after the removal, the removal setting must be the adapter's last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>

namespace host {

class SoakWlan {
public:
    static constexpr int kChannels = 2;
    static constexpr int kAntennas = 2;

    // Sets the sensor of WLAN channel `channel` near or far through the
    // IOCTL; false when that failed (the soak has said why).
    using SetSensor = std::function<bool(int channel, bool near)>;

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
    // channel): every setting the adapter was sent must be the merged setting
    // of some states of the sensors; after a SAR notification the adapter
    // must hold the merged setting for these states; then each channel's
    // sensor goes the other way and back, one change at a time, and every
    // setting sent after a change must be the merged setting for the states
    // it leads to (a refresh may still send the one of before, first).
    // Empty, or what went wrong.
    std::string Check(const bool (&near)[kChannels], const SetSensor& set);
    // Once the last checkpoint has passed, before the removal: when `refuse`,
    // the adapter refuses the removal setting once (a near channel is made
    // far first if both are near, so that only the removal sends that
    // setting). Empty, or what went wrong.
    std::string BeforeRemoval(bool refuse, const SetSensor& set);
    // After the removal: every setting as above, the removal setting must be
    // the adapter's last and held, and a refusal asked for must have met it.
    std::string CheckRemoval();
    // What the adapter holds, for the report.
    std::string Summary() const;
    // The operations done, a line per kind, as the soak's report prints them.
    void PrintCounts() const;

private:
    // Every setting received since the last look: the merged setting of
    // some states of the sensors.
    std::string CheckEverySetting();
    // The settings received from command `from` on, after `near` changed to
    // `after`: the merged setting for it, after some of the one for `before`.
    std::string CheckChange(std::size_t from, const bool (&before)[kChannels],
                            const bool (&after)[kChannels]);

    enum Kind {
        kNotify,
        kLost,
        kBack,
        kRefused,
        kSetFails,
        kCleared,
        kSettingsChecked,
        kChangesChecked,
        kRemovalRefused,
        kKinds
    };
    std::uint64_t mCounts[kKinds] = {};
    bool mInterfacePresent = true;
    // The sensors' states of the last checkpoint.
    bool mNear[kChannels] = {};
    // Commands of the adapter looked at by CheckEverySetting.
    std::size_t mLookedAt = 0;
    // Where the removal began when it was to meet a refusal.
    std::optional<std::size_t> mRefusalFrom;
};

} // namespace host
