#include "host/ConfigReview.h"

#include "platform/com.h"
#include "platform/sim/registry.h"

#include <cstring>
#include <map>

namespace host {

namespace {

constexpr std::size_t kMappingNames = 10; // "0" to "9": the reader's name buffer holds one digit

std::u16string Widen(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// A 4-byte number as the reader reads one: any type, at most four bytes.
// Empty when absent or too long to read; `absent` tells which.
std::optional<std::uint32_t> Number(const std::u16string& key, std::string_view name,
                                    bool* absent = nullptr) {
    auto value = sim::registry::GetValue(key, Widen(name));
    if (absent != nullptr) {
        *absent = !value;
    }
    if (!value || value->data.size() > sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    std::memcpy(&number, value->data.data(), value->data.size());
    return number;
}

// A string as the reader compares it: up to its first NUL.
std::optional<std::string> Text(const std::u16string& key, std::string_view name) {
    auto value = sim::registry::GetValue(key, Widen(name));
    if (!value) {
        return std::nullopt;
    }
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    return NarrowString(text.substr(0, text.find(u'\0')));
}

// A number the reader reads with a default: absent or unreadable values are
// listed with the default taken.
std::uint32_t NumberOrDefault(const std::u16string& key, std::string_view name,
                              std::uint32_t fallback, std::vector<std::string>* defaults,
                              std::vector<std::string>* findings) {
    bool absent = false;
    auto number = Number(key, name, &absent);
    if (number) {
        return *number;
    }
    std::string shown = fallback == 0xFFFFFFFFu ? "-1" : std::to_string(fallback);
    if (absent) {
        // Mapping values are named by digits: quoted, they read as names.
        bool digits = !name.empty() && name[0] >= '0' && name[0] <= '9';
        defaults->push_back((digits ? Quoted(name) : std::string(name)) + "=" + shown);
    } else {
        findings->push_back(Quoted(name) + " is longer than a 4-byte number: read as absent, " +
                            shown + " taken");
    }
    return fallback;
}

// The number a name begins with, as the C runtime's wide atoi reads it.
long long LeadingNumber(std::string_view name) {
    std::size_t i = 0;
    while (i < name.size() && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < name.size() && (name[i] == '+' || name[i] == '-')) {
        negative = name[i++] == '-';
    }
    long long value = 0;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
        value = value <= 0x7FFFFFFF ? value * 10 + (name[i] - '0') : value;
    }
    value = value > 0x7FFFFFFF ? (negative ? 0x80000000LL : 0x7FFFFFFFLL) : value;
    return negative ? -value : value;
}

// Reads one sensor subkey; false when the reader would fail the channel.
bool ReviewSensor(const std::u16string& key, bool wlan, SensorReview* sensor) {
    auto type = Text(key, "Type");
    if (!type) {
        sensor->findings.push_back(
            "Type is absent: the channel fails, and with it the whole configuration");
        return false;
    }
    sensor->type = *type;
    if (*type != "SLPI" && *type != "APPS") {
        sensor->findings.push_back("Type " + Quoted(*type) +
                                   " is not \"SLPI\" or \"APPS\" (compared exactly): skipped");
        return true;
    }
    std::uint32_t id =
        NumberOrDefault(key, "ID", 0xFFFFFFFFu, &sensor->defaults, &sensor->findings);
    if (id == 0xFFFFFFFFu) {
        sensor->findings.push_back("no ID: the sensor is invalid and gets no provider");
    } else {
        sensor->id = id;
    }
    for (const char* half : {"SUID_HIGH_H", "SUID_HIGH_L", "SUID_LOW_H", "SUID_LOW_L"}) {
        NumberOrDefault(key, half, 0, &sensor->defaults, &sensor->findings);
    }
    if (wlan) {
        std::uint32_t mask =
            NumberOrDefault(key, "WlanAntMask", 0, &sensor->defaults, &sensor->findings);
        if (mask < 1 || mask > 3) {
            sensor->findings.push_back("WlanAntMask=" + std::to_string(mask) +
                                       " is outside 1 to 3 (antenna bits 1 and 2)");
        }
    }
    return true;
}

// Reads one channel subkey; false when the reader would fail the whole read.
// `record` tells whether the channel's record is kept.
bool ReviewChannel(const std::u16string& key, std::uint32_t wlanAntCount, ChannelReview* channel,
                   bool* record) {
    *record = false;
    auto type = Text(key, "ChannelType");
    channel->type = type.value_or("");
    if (!type || (*type != "MODEM" && *type != "WLAN")) {
        channel->findings.push_back((type ? "ChannelType " + Quoted(*type) +
                                                " is not \"MODEM\" or \"WLAN\" (compared "
                                                "exactly)"
                                          : std::string("ChannelType is absent")) +
                                    ": the channel fails, and with it the whole configuration");
        return false;
    }
    const bool wlan = *type == "WLAN";
    if (wlan && (wlanAntCount < 1 || wlanAntCount > 2)) {
        channel->findings.push_back("skipped: a WLAN channel needs WlanAntCount 1 or 2, not " +
                                    std::to_string(wlanAntCount));
        return true;
    }
    std::uint32_t count =
        NumberOrDefault(key, "SarMappingCount", 0, &channel->defaults, &channel->findings);
    if (count < 2) {
        channel->findings.push_back("SarMappingCount=" + std::to_string(count) +
                                    " is below 2: the channel fails, and with it the whole "
                                    "configuration");
        return false;
    }
    bool noIndex = false;
    for (std::size_t i = 0; i < kMappingNames && i < count; ++i) {
        std::string name = std::to_string(i);
        auto index = static_cast<std::int32_t>(
            NumberOrDefault(key, name, 0xFFFFFFFFu, &channel->defaults, &channel->findings));
        noIndex = noIndex || index == -1;
        if (i >= 2 && Number(key, name)) {
            channel->findings.push_back(
                "mapping value " + Quoted(name) + " (state mask " + name +
                ") never takes effect: the state mask is only ever 0 (no sensor active) or 1 "
                "(some sensor active)");
        }
    }
    if (count > kMappingNames) {
        channel->findings.push_back(
            "SarMappingCount=" + std::to_string(count) +
            ": only the values \"0\" to \"9\" can be named" +
            (noIndex ? "; with one of them absent the channel fails" : std::string()));
        if (noIndex) {
            return false;
        }
    }
    std::vector<std::u16string> names = sim::registry::SubkeyNames(key);
    if (names.empty()) {
        channel->findings.push_back(
            "no sensor subkey: the channel fails, and with it the whole configuration");
        return false;
    }
    std::map<long long, std::string> slots;
    bool valid = false;
    bool ok = true;
    for (const std::u16string& name : names) {
        SensorReview sensor;
        sensor.subkey = NarrowString(name);
        sensor.slot = LeadingNumber(sensor.subkey);
        if (sensor.slot < 0 || sensor.slot >= static_cast<long long>(names.size())) {
            sensor.findings.push_back("its name reads as slot " + std::to_string(sensor.slot) +
                                      ", and there are only " + std::to_string(names.size()) +
                                      " slots (one per sensor subkey): skipped");
            channel->sensors.push_back(std::move(sensor));
            continue;
        }
        auto [earlier, first] = slots.emplace(sensor.slot, sensor.subkey);
        if (!first) {
            sensor.findings.push_back("shares slot " + std::to_string(sensor.slot) +
                                      " with subkey " + Quoted(earlier->second) +
                                      ": read later, it takes the slot over");
        }
        // The reader stops at the first sensor that fails its channel; the
        // review goes on, so that every subkey's trouble is named at once.
        ok = ReviewSensor(key + u"\\" + name, wlan, &sensor) && ok;
        valid = valid || sensor.type == "SLPI" || sensor.type == "APPS";
        channel->sensors.push_back(std::move(sensor));
    }
    for (long long slot = 0; slot < static_cast<long long>(names.size()); ++slot) {
        if (slots.count(slot) == 0) {
            channel->findings.push_back("slot " + std::to_string(slot) +
                                        " is filled by no subkey: it stays an invalid sensor");
        }
    }
    *record = ok && valid;
    return ok;
}

} // namespace

ConfigReview ReviewConfiguration() {
    ConfigReview review;
    const std::u16string root = Widen(sim::registry::kDeviceKey);
    std::uint32_t channels =
        NumberOrDefault(root, "NumberOfChannels", 0, &review.defaults, &review.findings);
    std::uint32_t wlanAntCount =
        NumberOrDefault(root, "WlanAntCount", 0, &review.defaults, &review.findings);
    if (channels == 0) {
        review.findings.push_back("NumberOfChannels is 0: SAR is not enabled");
    }
    std::vector<std::u16string> channelKeys;
    for (const std::u16string& name : sim::registry::SubkeyNames(root)) {
        if (name.rfind(u"channe", 0) == 0) {
            channelKeys.push_back(name);
        } else {
            review.findings.push_back(
                "subkey " + Quoted(NarrowString(name)) +
                " is not taken as a channel: a channel subkey's name must start with the "
                "lower-case letters \"channe\"");
        }
    }
    if (channels != 0 && channels != channelKeys.size()) {
        review.findings.push_back("NumberOfChannels=" + std::to_string(channels) + " but " +
                                  std::to_string(channelKeys.size()) +
                                  " channel subkey(s): the driver builds no channel");
    }
    // The reader stops at the first channel that fails; every channel is
    // reviewed all the same.
    bool readOk = channels != 0 && channels == channelKeys.size();
    std::vector<std::string> records;
    for (const std::u16string& name : channelKeys) {
        ChannelReview channel;
        channel.subkey = NarrowString(name);
        bool record = false;
        readOk = ReviewChannel(root + u"\\" + name, wlanAntCount, &channel, &record) && readOk;
        if (record && readOk) {
            records.push_back(channel.subkey);
        }
        review.channels.push_back(std::move(channel));
    }
    if (readOk) {
        review.recordSubkeys = std::move(records);
    }
    return review;
}

} // namespace host
