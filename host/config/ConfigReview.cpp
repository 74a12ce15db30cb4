#include "host/config/ConfigReview.h"

#include "platform/com.h"
#include "platform/sim/registry.h"

#include <algorithm>
#include <cstring>
#include <functional>
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

const char* TypeName(ULONG type) {
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    default:
        return "an unusual type";
    }
}

// The reader takes a value's bytes whatever its type: a number written as a
// string ("ID"="1") is the number its bytes make (49), which nothing else
// would tell.
void NoteType(std::string_view name, const sim::registry::Value& value, ULONG readAs,
              const std::string& read, std::vector<std::string>* findings) {
    if (value.type != readAs && findings != nullptr) {
        findings->push_back(Quoted(name) + " read as " + TypeName(readAs) + " from a " +
                            TypeName(value.type) + " value: " + read);
    }
}

// A 4-byte number as the reader reads one: any type, at most four bytes.
// Empty when absent or too long to read; `absent` tells which.
std::optional<std::uint32_t> Number(const std::u16string& key, std::string_view name,
                                    bool* absent = nullptr,
                                    std::vector<std::string>* findings = nullptr) {
    auto value = sim::registry::GetValue(key, Widen(name));
    if (absent != nullptr) {
        *absent = !value;
    }
    if (!value || value->data.size() > sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    std::memcpy(&number, value->data.data(), value->data.size());
    NoteType(name, *value, REG_DWORD, std::to_string(number), findings);
    return number;
}

// A string as the reader compares it: up to its first NUL.
std::optional<std::string> Text(const std::u16string& key, std::string_view name,
                                std::vector<std::string>* findings) {
    auto value = sim::registry::GetValue(key, Widen(name));
    if (!value) {
        return std::nullopt;
    }
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    std::string read = NarrowString(text.substr(0, text.find(u'\0')));
    NoteType(name, *value, REG_SZ, Quoted(read), findings);
    return read;
}

std::string Folded(std::string_view name) {
    std::string folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return folded;
}

// The values of a key that the reader never asks for by name (names compare
// without regard to case, as the registry compares them). `why` says, for a
// name, why it is not read there; empty for the plain "no such value".
void NoteUnused(const std::u16string& key, const std::vector<std::string>& read,
                const std::function<std::string(const std::string&)>& why,
                std::vector<std::string>* findings) {
    for (const std::u16string& wide : sim::registry::ValueNames(key)) {
        std::string name = NarrowString(wide);
        bool known = std::any_of(read.begin(), read.end(),
                                 [&](const std::string& r) { return Folded(r) == Folded(name); });
        if (!known) {
            std::string reason = why(name);
            findings->push_back("unused: " + Quoted(name) + " is never read" +
                                (reason.empty() ? std::string(" (the driver reads no value of that "
                                                              "name here)")
                                                : ": " + reason));
        }
    }
}

// A number the reader reads with a default: absent or unreadable values are
// listed with the default taken. `wasAbsent` tells an absent value from one
// too long to read.
std::uint32_t NumberOrDefault(const std::u16string& key, std::string_view name,
                              std::uint32_t fallback, std::vector<std::string>* defaults,
                              std::vector<std::string>* findings, bool* wasAbsent = nullptr) {
    bool absent = false;
    auto number = Number(key, name, &absent, findings);
    if (wasAbsent != nullptr) {
        *wasAbsent = absent;
    }
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

// A sensor subkey's name is its slot only when it is a plain decimal number;
// any other name takes the slot the reader's conversion gives it.
std::string SlotOfName(const std::string& name, long long slot) {
    bool decimal = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    if (decimal) {
        return {};
    }
    std::size_t first = name.find_first_not_of(" \t\n\v\f\r+-");
    bool digits = first != std::string::npos && name[first] >= '0' && name[first] <= '9';
    return "its name " + Quoted(name) + " is not a decimal number: the driver reads it as " +
           std::to_string(slot) +
           (digits ? " (the digits it begins with)"
                   : " (a name without leading digits reads as 0)") +
           ", so it takes slot " + std::to_string(slot);
}

// The values of a sensor subkey that the reader never reads.
void ReviewSensorValues(const std::u16string& key, bool wlan, SensorReview* sensor) {
    std::vector<std::string> read = {"Type",        "ID",         "SUID_HIGH_H",
                                     "SUID_HIGH_L", "SUID_LOW_H", "SUID_LOW_L"};
    if (wlan) {
        read.push_back("WlanAntMask");
    }
    NoteUnused(
        key, read,
        [](const std::string& name) {
            return Folded(name) == "wlanantmask" ? "the driver reads it for WLAN channels only"
                                                 : "";
        },
        &sensor->findings);
}

// Reads one sensor subkey; false when the reader would fail the channel.
bool ReviewSensor(const std::u16string& key, bool wlan, SensorReview* sensor) {
    auto type = Text(key, "Type", &sensor->findings);
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
        bool absent = false;
        sensor->wlanAntMask =
            NumberOrDefault(key, "WlanAntMask", 0, &sensor->defaults, &sensor->findings, &absent);
        if (!absent && (*sensor->wlanAntMask < 1 || *sensor->wlanAntMask > 3)) {
            sensor->findings.push_back("WlanAntMask=" + std::to_string(*sensor->wlanAntMask) +
                                       " is outside 1 to 3 (antenna bits 1 and 2)");
        }
    }
    return true;
}

// Every sensor subkey the reader takes (one with a known Type) reads
// WlanAntMask again, and the last one read sets the channel's mask: a mask on
// one subkey is lost to a later one without it.
void ReviewWlanMask(ChannelReview* channel) {
    const SensorReview* last = nullptr;
    bool differ = false;
    std::string masks;
    for (const SensorReview& sensor : channel->sensors) {
        if (!sensor.wlanAntMask) {
            continue;
        }
        differ = differ || (last != nullptr && *last->wlanAntMask != *sensor.wlanAntMask);
        masks += (masks.empty() ? "" : ", ") + Quoted(sensor.subkey) + " " +
                 std::to_string(*sensor.wlanAntMask);
        last = &sensor;
    }
    if (last == nullptr) {
        return;
    }
    if (differ) {
        channel->findings.push_back("WlanAntMask differs between the sensor subkeys (" + masks +
                                    "): the last one read, " + Quoted(last->subkey) +
                                    ", sets the channel's mask to " +
                                    std::to_string(*last->wlanAntMask));
    }
    if (*last->wlanAntMask == 0) {
        channel->findings.push_back(
            "error: the channel's WLAN antenna mask ends as 0, which drives no antenna: the last "
            "sensor subkey read, " +
            Quoted(last->subkey) +
            ", has WlanAntMask 0 or none (each sensor subkey sets the mask again)");
    }
}

// The values of the channel key that the reader never reads.
void ReviewChannelValues(const std::u16string& key, std::uint32_t count, ChannelReview* channel) {
    std::vector<std::string> read = {"ChannelType", "SarMappingCount"};
    for (std::size_t i = 0; i < kMappingNames && i < count; ++i) {
        read.push_back(std::to_string(i));
    }
    NoteUnused(
        key, read,
        [count](const std::string& name) -> std::string {
            if (Folded(name) == "wlanantmask") {
                return "the driver reads WlanAntMask from each sensor subkey, and the last "
                       "sensor subkey read sets the channel's mask";
            }
            if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
                return "the driver reads the mapping values \"0\" to \"" +
                       std::to_string(std::min<std::uint32_t>(count, kMappingNames) - 1) +
                       "\" (SarMappingCount " + std::to_string(count) + ")";
            }
            return {};
        },
        &channel->findings);
}

// Reads the mapping values; false when the reader would fail the channel.
bool ReviewMapping(const std::u16string& key, std::uint32_t count, ChannelReview* channel) {
    bool noIndex = false;
    for (std::size_t i = 0; i < kMappingNames && i < count; ++i) {
        std::string name = std::to_string(i);
        auto index = static_cast<std::int32_t>(
            NumberOrDefault(key, name, 0xFFFFFFFFu, &channel->defaults, &channel->findings));
        noIndex = noIndex || index == -1;
        if (i == 1 && index == -1) {
            channel->findings.push_back("warning: no back-off is sent when a sensor is near "
                                        "(mapping value \"1\" is -1: nothing sent for state 1)");
        }
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
    return true;
}

// Reads the sensor subkeys in the reader's order; false when the reader would
// fail the channel. `valid` tells whether one of them made the record valid.
bool ReviewSensors(const std::u16string& key, bool wlan, ChannelReview* channel, bool* valid) {
    std::vector<std::u16string> names = sim::registry::SubkeyNames(key);
    if (names.empty()) {
        channel->findings.push_back(
            "no sensor subkey: the channel fails, and with it the whole configuration");
        return false;
    }
    std::map<long long, std::string> holders; // slot: the subkey holding it so far
    bool ok = true;
    for (const std::u16string& name : names) {
        SensorReview sensor;
        sensor.subkey = NarrowString(name);
        sensor.slot = LeadingNumber(sensor.subkey);
        if (std::string why = SlotOfName(sensor.subkey, sensor.slot); !why.empty()) {
            sensor.findings.push_back(why);
        }
        if (sensor.slot < 0 || sensor.slot >= static_cast<long long>(names.size())) {
            sensor.findings.push_back("its name reads as slot " + std::to_string(sensor.slot) +
                                      ", and there are only " + std::to_string(names.size()) +
                                      " slots (one per sensor subkey): skipped");
            channel->sensors.push_back(std::move(sensor));
            continue;
        }
        auto [holder, first] = holders.try_emplace(sensor.slot, sensor.subkey);
        if (!first) {
            sensor.findings.push_back("shares slot " + std::to_string(sensor.slot) +
                                      " with subkey " + Quoted(holder->second) +
                                      ": read later, it takes the slot over");
            holder->second = sensor.subkey;
        }
        // The reader stops at the first sensor that fails its channel; the
        // review goes on, so that every subkey's trouble is named at once.
        ok = ReviewSensor(key + u"\\" + name, wlan, &sensor) && ok;
        ReviewSensorValues(key + u"\\" + name, wlan, &sensor);
        *valid = *valid || sensor.type == "SLPI" || sensor.type == "APPS";
        channel->sensors.push_back(std::move(sensor));
    }
    for (long long slot = 0; slot < static_cast<long long>(names.size()); ++slot) {
        if (holders.count(slot) == 0) {
            channel->findings.push_back("slot " + std::to_string(slot) +
                                        " is filled by no subkey: it stays an invalid sensor");
        }
    }
    if (wlan) {
        ReviewWlanMask(channel);
    }
    return ok;
}

// Reads one channel subkey; false when the reader would fail the whole read.
// `record` tells whether the channel's record is kept.
bool ReviewChannel(const std::u16string& key, std::uint32_t wlanAntCount, ChannelReview* channel,
                   bool* record) {
    *record = false;
    auto type = Text(key, "ChannelType", &channel->findings);
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
    ReviewChannelValues(key, count, channel);
    if (count < 2) {
        channel->findings.push_back("SarMappingCount=" + std::to_string(count) +
                                    " is below 2: the channel fails, and with it the whole "
                                    "configuration");
        return false;
    }
    if (!ReviewMapping(key, count, channel)) {
        return false;
    }
    bool valid = false;
    bool ok = ReviewSensors(key, wlan, channel, &valid);
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
    NoteUnused(
        root, {"NumberOfChannels", "WlanAntCount"},
        [](const std::string&) { return std::string(); }, &review.findings);
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
