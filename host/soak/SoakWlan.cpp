#include "host/soak/SoakWlan.h"
#include "host/soak/Soak.h"

#include "platform/sim/faults.h"
#include "platform/sim/partition_service.h"
#include "platform/sim/wlan.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <vector>

namespace host {

namespace {

using sim::wlan::Setting;

struct Channel {
    std::uint32_t mask;
    std::int32_t nothingNear;
    std::int32_t somethingNear;
};

// Antenna 1 is shared; its entry goes to the near holder with the higher
// index (the first channel's 6 over the second's 4). The first channel's
// index for nothing near is higher than the second's for something near: a
// far holder must not take antenna 1's back-off from a near one.
constexpr Channel kTable[SoakWlan::kChannels] = {{1, 5, 6}, {3, 3, 4}};
// The refresh runs every 4500 ms of machine time: every 90 ms at the soak's
// time scale.
constexpr std::uint32_t kRefreshPeriodMs = 5000;

constexpr const char* kKindNames[] = {
    "WLAN SAR notification", "WLAN interface lost",         "WLAN interface back",
    "WLAN fault: refused",   "WLAN fault: set fails",       "WLAN faults cleared",
    "WLAN settings checked", "WLAN sensor changes checked", "WLAN removal setting refused"};

// The merge rule: Enable 1 while a channel is active, and for each antenna
// the highest index of the active channels holding it.
Setting Merged(const bool (&near)[SoakWlan::kChannels]) {
    Setting setting;
    if (std::none_of(std::begin(near), std::end(near), [](bool n) { return n; })) {
        return setting;
    }
    setting.enable = 1;
    for (int i = 0; i < SoakWlan::kAntennas; ++i) {
        const std::uint32_t bit = 1u << i;
        std::optional<std::int32_t> highest;
        for (int c = 0; c < SoakWlan::kChannels; ++c) {
            if ((kTable[c].mask & bit) != 0 && near[c]) {
                highest = std::max(highest.value_or(INT32_MIN), kTable[c].somethingNear);
            }
        }
        if (highest) {
            setting.entries.push_back({bit, *highest});
        }
    }
    return setting;
}

// Whether `setting` is the merged setting of some states of the sensors.
bool Possible(const Setting& setting) {
    for (int states = 0; states < (1 << SoakWlan::kChannels); ++states) {
        bool near[SoakWlan::kChannels];
        for (int c = 0; c < SoakWlan::kChannels; ++c) {
            near[c] = (states & (1 << c)) != 0;
        }
        if (Merged(near) == setting) {
            return true;
        }
    }
    return false;
}

std::string Quoted(const Setting& setting) {
    return "\"" + sim::wlan::SettingText(setting) + "\"";
}

std::string LastSetText() {
    auto command = sim::wlan::LastSet();
    if (!command) {
        return "no setting";
    }
    auto setting = sim::wlan::DecodeSetting(command->payload);
    return setting ? Quoted(*setting) : "a malformed setting";
}

std::string NearText(const bool (&near)[SoakWlan::kChannels]) {
    std::string text;
    for (int c = 0; c < SoakWlan::kChannels; ++c) {
        text += (c == 0 ? "" : ", ") + std::string(near[c] ? "near" : "far");
    }
    return text;
}

} // namespace

std::string SoakWlan::Config(int firstChannel, std::uint32_t firstSensor) {
    std::string text;
    for (int c = 0; c < kChannels; ++c) {
        char channel[512];
        std::snprintf(channel, sizeof channel,
                      "\n[Device Parameters\\channel%d]\n"
                      "\"ChannelType\"=\"WLAN\"\n"
                      "\"SarMappingCount\"=dword:00000002\n"
                      "\"0\"=dword:%08x\n"
                      "\"1\"=dword:%08x\n"
                      "\n[Device Parameters\\channel%d\\0]\n"
                      "\"Type\"=\"APPS\"\n"
                      "\"ID\"=dword:%08x\n"
                      "\"WlanAntMask\"=dword:%08x\n",
                      firstChannel + c, static_cast<unsigned>(kTable[c].nothingNear),
                      static_cast<unsigned>(kTable[c].somethingNear), firstChannel + c,
                      static_cast<unsigned>(firstSensor + c), kTable[c].mask);
        text += channel;
    }
    return text;
}

void SoakWlan::SetUp() {
    sim::wlan::Reset();
    sim::partition::Reset();
    sim::partition::PutFile(std::u16string(sim::partition::kProvisioningPath),
                            sim::partition::ProvisioningFile(kRefreshPeriodMs, false));
}

void SoakWlan::Environment(std::mt19937_64& rng) {
    const std::uint64_t pick = rng() % 5;
    const bool always = rng() % 2 == 1;
    switch (pick) {
    case 0:
        sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
        ++mCounts[kNotify];
        break;
    case 1:
        if (mInterfacePresent) {
            sim::wlan::Leave();
            ++mCounts[kLost];
        } else {
            sim::wlan::Arrive();
            ++mCounts[kBack];
        }
        mInterfacePresent = !mInterfacePresent;
        break;
    case 2:
        sim::wlan::Reply(1, always);
        ++mCounts[kRefused];
        break;
    case 3:
        sim::ArmFault("WlanDeviceServiceCommand.Set",
                      always ? sim::FaultSpec::Always() : sim::FaultSpec::Once());
        ++mCounts[kSetFails];
        break;
    default:
        sim::wlan::ClearFailures();
        ++mCounts[kCleared];
        break;
    }
}

void SoakWlan::Restore() {
    sim::wlan::ClearFailures();
    if (!mInterfacePresent) {
        sim::wlan::Arrive();
        mInterfacePresent = true;
    }
}

std::string SoakWlan::CheckEverySetting() {
    const auto commands = sim::wlan::Commands();
    for (; mLookedAt < commands.size(); ++mLookedAt) {
        const sim::wlan::Command& command = commands[mLookedAt];
        if (command.opcode != sim::wlan::kOpSet) {
            continue;
        }
        ++mCounts[kSettingsChecked];
        auto setting = sim::wlan::DecodeSetting(command.payload);
        if (!setting || !Possible(*setting)) {
            return "the WLAN adapter was sent " +
                   (setting ? Quoted(*setting) : std::string("a malformed setting")) +
                   " (command #" + std::to_string(mLookedAt + 1) +
                   "), the merged setting of no states of the sensors: an antenna a near "
                   "channel holds is left without its back-off, or an index is from no row of "
                   "the tables";
        }
    }
    return {};
}

std::string SoakWlan::CheckChange(std::size_t from, const bool (&before)[kChannels],
                                  const bool (&after)[kChannels]) {
    if (std::string error = SoakSettle("a WLAN sensor's change"); !error.empty()) {
        return error;
    }
    ++mCounts[kChangesChecked];
    const Setting old = Merged(before);
    const Setting want = Merged(after);
    const auto commands = sim::wlan::Commands();
    std::vector<Setting> sent;
    for (std::size_t i = from; i < commands.size(); ++i) {
        if (commands[i].opcode == sim::wlan::kOpSet) {
            sent.push_back(sim::wlan::DecodeSetting(commands[i].payload).value_or(Setting{99, {}}));
        }
    }
    // A refresh that ran before the channel's worker took the change sends
    // the setting of before; after the worker's own, only the new one goes out.
    auto first = std::find_if(sent.begin(), sent.end(), [&](const Setting& s) { return s != old; });
    if (first == sent.end() ||
        std::any_of(first, sent.end(), [&](const Setting& s) { return s != want; })) {
        std::string seen;
        for (const Setting& setting : sent) {
            seen += (seen.empty() ? "" : ", ") + Quoted(setting);
        }
        return "with the WLAN sensors going from " + NearText(before) + " to " + NearText(after) +
               " the adapter was sent " + (seen.empty() ? "nothing" : seen) +
               ", not the merged setting " + Quoted(want) + " (after " + Quoted(old) + ")";
    }
    return {};
}

std::string SoakWlan::Check(const bool (&near)[kChannels], const SetSensor& set) {
    if (std::string error = CheckEverySetting(); !error.empty()) {
        return error;
    }
    sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
    if (std::string error = SoakSettle("a WLAN SAR notification"); !error.empty()) {
        return error;
    }
    const Setting want = Merged(near);
    auto last = sim::wlan::LastSet();
    if (!last || sim::wlan::DecodeSetting(last->payload) != want) {
        return "the WLAN adapter's last setting is " + LastSetText() + " with the sensors " +
               NearText(near) + ", not the merged setting " + Quoted(want);
    }
    bool states[kChannels];
    std::copy(std::begin(near), std::end(near), std::begin(states));
    for (int c = 0; c < kChannels; ++c) {
        for (int pass = 0; pass < 2; ++pass) {
            bool before[kChannels];
            std::copy(std::begin(states), std::end(states), std::begin(before));
            states[c] = !states[c];
            const std::size_t from = sim::wlan::Commands().size();
            if (!set(c, states[c])) {
                return {}; // the soak has failed already, and said why
            }
            if (std::string error = CheckChange(from, before, states); !error.empty()) {
                return error;
            }
        }
    }
    std::copy(std::begin(near), std::end(near), std::begin(mNear));
    return CheckEverySetting();
}

std::string SoakWlan::BeforeRemoval(bool refuse, const SetSensor& set) {
    if (!refuse) {
        return {};
    }
    if (std::all_of(std::begin(mNear), std::end(mNear), [](bool n) { return n; })) {
        bool before[kChannels];
        std::copy(std::begin(mNear), std::end(mNear), std::begin(before));
        mNear[0] = false;
        const std::size_t from = sim::wlan::Commands().size();
        if (!set(0, false)) {
            return {};
        }
        if (std::string error = CheckChange(from, before, mNear); !error.empty()) {
            return error;
        }
    }
    bool allNear[kChannels];
    std::fill(std::begin(allNear), std::end(allNear), true);
    mRefusalFrom = sim::wlan::Commands().size();
    sim::wlan::ReplyTo(Merged(allNear), 1);
    return {};
}

std::string SoakWlan::CheckRemoval() {
    if (std::string error = CheckEverySetting(); !error.empty()) {
        return error;
    }
    bool allNear[kChannels];
    std::fill(std::begin(allNear), std::end(allNear), true);
    const Setting want = Merged(allNear);
    auto last = sim::wlan::LastSet();
    if (!last || sim::wlan::DecodeSetting(last->payload) != want || sim::wlan::Current() != want) {
        return "after the removal the WLAN adapter's last setting is " + LastSetText() +
               " and it holds " + Quoted(sim::wlan::Current()) + ", not the removal setting " +
               Quoted(want);
    }
    if (mRefusalFrom) {
        const auto commands = sim::wlan::Commands();
        const bool refused =
            std::any_of(commands.begin() + static_cast<std::ptrdiff_t>(*mRefusalFrom),
                        commands.end(), [&](const sim::wlan::Command& command) {
                            return command.opcode == sim::wlan::kOpSet &&
                                   command.reply == std::optional<std::uint8_t>(1) &&
                                   sim::wlan::DecodeSetting(command.payload) == want;
                        });
        if (!refused) {
            return "the WLAN adapter was to refuse the removal setting once, and never did";
        }
        ++mCounts[kRemovalRefused];
    }
    return {};
}

std::string SoakWlan::Summary() const {
    return "WLAN adapter at \"" + sim::wlan::SettingText(sim::wlan::Current()) + "\" after " +
           std::to_string(sim::wlan::SetCount()) + " settings";
}

void SoakWlan::PrintCounts() const {
    static_assert(std::size(kKindNames) == kKinds);
    for (int k = 0; k < kKinds; ++k) {
        std::printf("  %-28s %llu\n", kKindNames[k], static_cast<unsigned long long>(mCounts[k]));
    }
}

} // namespace host
