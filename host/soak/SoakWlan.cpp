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

namespace host {

namespace {

using sim::wlan::Setting;

struct Channel {
    std::uint32_t mask;
    std::int32_t nothingNear;
    std::int32_t somethingNear;
};

// Antenna 1 is shared; its entry goes to the active holder with the higher
// index (the first channel's 6 over the second's 5; the second's 5 when only
// the second is active).
constexpr Channel kTable[SoakWlan::kChannels] = {{1, 1, 6}, {3, 3, 5}};
// The refresh runs every 4500 ms of machine time: every 90 ms at the soak's
// time scale.
constexpr std::uint32_t kRefreshPeriodMs = 5000;

constexpr const char* kKindNames[] = {"WLAN SAR notification", "WLAN interface lost",
                                      "WLAN interface back",   "WLAN fault: refused",
                                      "WLAN fault: set fails", "WLAN faults cleared"};

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

bool FromATable(std::int32_t index) {
    return std::any_of(std::begin(kTable), std::end(kTable), [&](const Channel& channel) {
        return index == channel.nothingNear || index == channel.somethingNear;
    });
}

std::string LastSetText() {
    auto command = sim::wlan::LastSet();
    if (!command) {
        return "no setting";
    }
    auto setting = sim::wlan::DecodeSetting(command->payload);
    return setting ? "\"" + sim::wlan::SettingText(*setting) + "\"" : "a malformed setting";
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

std::string SoakWlan::Check(const bool (&near)[kChannels]) {
    sim::wlan::NotifyDeviceService(sim::wlan::kSarService);
    if (std::string error = SoakSettle("a WLAN SAR notification"); !error.empty()) {
        return error;
    }
    const Setting want = Merged(near);
    auto last = sim::wlan::LastSet();
    if (!last || sim::wlan::DecodeSetting(last->payload) != want) {
        return "the WLAN adapter's last setting is " + LastSetText() + " with the sensors " +
               NearText(near) + ", not the merged setting \"" + sim::wlan::SettingText(want) + "\"";
    }
    for (const sim::wlan::Command& command : sim::wlan::Commands()) {
        auto setting = sim::wlan::DecodeSetting(command.payload);
        if (command.opcode != sim::wlan::kOpSet || !setting) {
            continue;
        }
        for (const sim::wlan::Entry& entry : setting->entries) {
            if (!FromATable(entry.index)) {
                return "the WLAN adapter was sent index " + std::to_string(entry.index) +
                       ", from no row of the tables";
            }
        }
    }
    return {};
}

std::string SoakWlan::CheckRemoval() const {
    bool allNear[kChannels];
    std::fill(std::begin(allNear), std::end(allNear), true);
    const Setting want = Merged(allNear);
    auto last = sim::wlan::LastSet();
    if (!last || sim::wlan::DecodeSetting(last->payload) != want || sim::wlan::Current() != want) {
        return "after the removal the WLAN adapter's last setting is " + LastSetText() +
               " and it holds \"" + sim::wlan::SettingText(sim::wlan::Current()) +
               "\", not the removal setting \"" + sim::wlan::SettingText(want) + "\"";
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
