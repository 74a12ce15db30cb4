// The simulated WLAN adapter shared by the WLAN API stand-in and the controls
// of wlan.h. Internal to the platform stand-in.
#pragma once

#include "platform/sim/wlan.h"
#include "platform/sim/work_queue.h"
#include "platform/wlanapi.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sim::wlan {

struct Client {
    DWORD sources = WLAN_NOTIFICATION_SOURCE_NONE;
    WLAN_NOTIFICATION_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    std::vector<GUID> services;
};

struct Adapter {
    std::mutex lock;
    std::condition_variable changed;
    unsigned interfaceCount = 1;
    unsigned currentIndex = 0;
    std::map<std::uintptr_t, Client> clients;
    std::uintptr_t nextHandle = 0x5100;
    // The handle whose callback runs now, 0 when none.
    std::uintptr_t running = 0;
    std::size_t delivered = 0;
    std::size_t outstandingLists = 0;

    Setting current;
    std::optional<std::optional<std::uint8_t>> nextReply;
    std::optional<std::optional<std::uint8_t>> alwaysReply;
    // The reply to the next set of exactly this setting.
    std::optional<std::pair<Setting, std::optional<std::uint8_t>>> replyTo;
    std::optional<std::vector<std::uint8_t>> readBack;
    std::vector<Command> commands;
    // Calls blocked now in a hold, by fault point.
    std::map<std::string, unsigned, std::less<>> heldNow;
};

Adapter& TheAdapter();
WorkQueue& NotificationQueue();

// Blocks while `point` is held (through the stand-in's dispatcher, so that a
// held driver thread counts as waiting).
void WaitWhileHeld(std::string_view point);

} // namespace sim::wlan
