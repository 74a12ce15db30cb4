// The simulated WLAN adapter behind the native WLAN API (platform/wlanapi.h):
// its interfaces and which one is current, and its SAR device service
// {504304B4-1941-4A95-B819-A2102B69E5CD}. The service takes a setting
// (opcode 1) of 12 + 8N bytes {Enable, Reserved 0, EntryCount <= N, N slots
// of {antenna mask, back-off index}}, answers with one reply byte (0 accepted)
// and keeps the last accepted setting, which a query (opcode 2) reads back.
// It records every command it receives.
//
// Notifications (ACM interface arrival and removal, device-service
// notifications) go to every registration that asked for their source, on
// the WLAN notification thread, and count as pending work until delivered.
//
// Fault points (sim::ArmFault, the code is the Win32 error returned):
// "WlanOpenHandle", "WlanCloseHandle", "WlanEnumInterfaces",
// "WlanRegisterDeviceServiceNotification", "WlanRegisterNotification",
// "WlanDeviceServiceCommand" (any operation), "WlanDeviceServiceCommand.Set"
// and "WlanDeviceServiceCommand.Query". A call can also be held (it blocks
// until released) under the same names.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::wlan {

inline constexpr GUID kSarService = {
    0x504304B4, 0x1941, 0x4A95, {0xB8, 0x19, 0xA2, 0x10, 0x2B, 0x69, 0xE5, 0xCD}};
inline constexpr std::uint32_t kOpSet = 1;
inline constexpr std::uint32_t kOpQuery = 2;

struct Entry {
    std::uint32_t mask = 0;
    std::int32_t index = 0;
    bool operator==(const Entry&) const = default;
};

// A payload's meaning: Enable and the used entries.
struct Setting {
    std::uint32_t enable = 0;
    std::vector<Entry> entries;
    bool operator==(const Setting&) const = default;
};

// One command the service received.
struct Command {
    std::uint32_t opcode = 0;
    // Set: the payload as sent. Query: the reply as written.
    std::vector<std::uint8_t> payload;
    // Set: the reply byte, none when the service answered without one.
    std::optional<std::uint8_t> reply;
    DWORD result = 0; // what the call returned
};

// One interface, current index 0; the service accepts everything and holds
// {Enable 0}; no records, replies, read-backs or holds. Client handles and
// registrations are the system's and stay.
void Reset();

// The interface list: `count` interfaces (GUIDs from InterfaceGuid) and the
// list's current index, which may lie outside the list.
// (`wlan interfaces N [index K]`)
void SetInterfaces(unsigned count, unsigned currentIndex = 0);
GUID InterfaceGuid(unsigned position);

// ACM interface arrival (13) / removal (14) for the first interface; only
// the notification: the list stays as it is. (`wlan arrive`, `wlan leave`)
void Arrive();
void Leave();
// A device-service notification whose data block starts with `service`
// (opcode 1, no data of its own); with `blockSize`, the block is said to be
// that long whatever it holds. Without a service, no data block at all.
// (`wlan notify sar|null|other`)
void NotifyDeviceService(std::optional<GUID> service,
                         std::optional<std::size_t> blockSize = std::nullopt);

// The next set (or every set) is answered with `reply`, or with no byte.
// (`wlan reply BYTE|empty [always]`)
void Reply(std::optional<std::uint8_t> reply, bool always = false);
// The next set of exactly `setting` (and no other) is answered with `reply`,
// ahead of what Reply asked for.
void ReplyTo(const Setting& setting, std::optional<std::uint8_t> reply);
// The next query is answered with this setting (EntryCount its entry count),
// or with these bytes as they stand. (`wlan readback ...`)
void ReadBack(const Setting& setting);
void ReadBackBytes(std::vector<std::uint8_t> bytes);
// Replies and read-backs as after Reset; WLAN fault points disarmed; holds
// released. (`wlan ok`)
void ClearFailures();

// Calls named by a fault point block until released.
void Hold(std::string_view point);
void Release(std::string_view point);
// Calls blocked now under `point`.
unsigned Held(std::string_view point);

// Scenario words: "open" "register-service" "register" "enum" "set" "query".
std::optional<std::string> FaultPointFromName(std::string_view name);

// What the adapter holds and has seen.
Setting Current();
std::vector<Command> Commands();
std::size_t SetCount();
// The last set command received, accepted or not.
std::optional<Command> LastSet();
// Client handles open now; handles registered for some notification source.
std::size_t OpenHandles();
std::size_t NotificationRegistrations();
// Whether an open handle has the SAR service among its device services.
bool SarServiceRegistered();
// Interface lists handed out and not yet freed.
std::size_t OutstandingLists();
// Notifications whose callback has returned, since the process started.
std::size_t DeliveredCount();

// Reading and writing payloads: Enable, EntryCount used entries (within the
// payload's slots); nothing when shorter than 12 bytes.
std::optional<Setting> DecodeSetting(const std::vector<std::uint8_t>& payload);
std::vector<std::uint8_t> EncodeSetting(const Setting& setting, std::size_t slots);
// "1 1:3 2:5", "0": Enable and the entries, as the scenario language writes them.
std::string SettingText(const Setting& setting);

} // namespace sim::wlan
