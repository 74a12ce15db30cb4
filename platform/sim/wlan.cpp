#include "platform/sim/wlan.h"

#include "platform/sim/faults.h"
#include "platform/sim/wlan_adapter.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace sim::wlan {

namespace {

constexpr const char* kFaultPoints[] = {
    "WlanOpenHandle",
    "WlanCloseHandle",
    "WlanEnumInterfaces",
    "WlanRegisterDeviceServiceNotification",
    "WlanRegisterNotification",
    "WlanDeviceServiceCommand",
    "WlanDeviceServiceCommand.Set",
    "WlanDeviceServiceCommand.Query",
};

// The events held calls wait on, by point; released by signalling.
std::map<std::string, HANDLE, std::less<>>& Gates() {
    static auto* gates = new std::map<std::string, HANDLE, std::less<>>;
    return *gates;
}

// Under the adapter's lock.
void ReleaseLocked(std::string_view point) {
    auto& gates = Gates();
    auto it = gates.find(point);
    if (it == gates.end()) {
        return;
    }
    // A wait in progress keeps the event alive after it is closed.
    SetEvent(it->second);
    CloseHandle(it->second);
    gates.erase(it);
}

// Posts one notification to every client that wants `source`; `block`
// becomes the data the callback sees, `size` the size it is said to have.
void PostLocked(Adapter& adapter, DWORD source, DWORD code, std::optional<std::vector<BYTE>> block,
                std::size_t size = 0) {
    GUID interfaceGuid = adapter.interfaceCount > 0 ? InterfaceGuid(0) : GUID{};
    for (const auto& [handle, client] : adapter.clients) {
        if ((client.sources & source) == 0) {
            continue;
        }
        std::uintptr_t key = handle;
        NotificationQueue().Post([key, source, code, interfaceGuid, block, size] {
            auto& adapter = TheAdapter();
            Client client;
            {
                std::lock_guard guard(adapter.lock);
                auto it = adapter.clients.find(key);
                if (it == adapter.clients.end() || (it->second.sources & source) == 0) {
                    return; // closed or unregistered meanwhile
                }
                client = it->second;
                adapter.running = key;
            }
            // The block on the heap, as the service hands it out.
            std::unique_ptr<BYTE[]> data;
            WLAN_NOTIFICATION_DATA notification{source, code, interfaceGuid, 0, nullptr};
            if (block) {
                data = std::make_unique<BYTE[]>(block->size());
                std::memcpy(data.get(), block->data(), block->size());
                notification.dwDataSize = static_cast<DWORD>(size);
                notification.pData = data.get();
            }
            client.callback(&notification, client.context);
            {
                std::lock_guard guard(adapter.lock);
                adapter.running = 0;
                ++adapter.delivered;
            }
            adapter.changed.notify_all();
        });
    }
}

void PutWord(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t GetWord(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

} // namespace

Adapter& TheAdapter() {
    static Adapter* adapter = new Adapter; // deliveries may still run at exit
    return *adapter;
}

WorkQueue& NotificationQueue() {
    static WorkQueue* queue = new WorkQueue("WLAN notifications");
    return *queue;
}

void WaitWhileHeld(std::string_view point) {
    auto& adapter = TheAdapter();
    HANDLE gate = nullptr;
    {
        std::lock_guard guard(adapter.lock);
        auto it = Gates().find(point);
        if (it == Gates().end()) {
            return;
        }
        gate = it->second;
        ++adapter.heldNow[std::string(point)];
    }
    WaitForSingleObject(gate, INFINITE);
    std::lock_guard guard(adapter.lock);
    --adapter.heldNow[std::string(point)];
}

void Reset() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    adapter.interfaceCount = 1;
    adapter.currentIndex = 0;
    adapter.current = Setting{};
    adapter.nextReply.reset();
    adapter.alwaysReply.reset();
    adapter.replyTo.reset();
    adapter.readBack.reset();
    adapter.commands.clear();
    adapter.outstandingLists = 0;
    while (!Gates().empty()) {
        ReleaseLocked(Gates().begin()->first);
    }
}

void SetInterfaces(unsigned count, unsigned currentIndex) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    adapter.interfaceCount = count;
    adapter.currentIndex = currentIndex;
}

GUID InterfaceGuid(unsigned position) {
    GUID guid = {0x5A1E0000, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0}};
    guid.Data1 += position + 1;
    return guid;
}

void Arrive() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    PostLocked(adapter, WLAN_NOTIFICATION_SOURCE_ACM, WLAN_NOTIFICATION_ACM_INTERFACE_ARRIVAL,
               std::nullopt);
}

void Leave() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    PostLocked(adapter, WLAN_NOTIFICATION_SOURCE_ACM, WLAN_NOTIFICATION_ACM_INTERFACE_REMOVAL,
               std::nullopt);
}

void NotifyDeviceService(std::optional<GUID> service, std::optional<std::size_t> blockSize) {
    std::optional<std::vector<BYTE>> block;
    if (service) {
        WLAN_DEVICE_SERVICE_NOTIFICATION_DATA data{};
        data.DeviceService = *service;
        data.dwOpCode = kOpSet;
        const auto* bytes = reinterpret_cast<const BYTE*>(&data);
        block.emplace(bytes, bytes + offsetof(WLAN_DEVICE_SERVICE_NOTIFICATION_DATA, DataBlob));
    }
    std::size_t size = blockSize.value_or(block ? block->size() : 0);
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    PostLocked(adapter, WLAN_NOTIFICATION_SOURCE_DEVICE_SERVICE, kOpSet, std::move(block), size);
}

void Reply(std::optional<std::uint8_t> reply, bool always) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    if (always) {
        adapter.alwaysReply = reply;
        adapter.nextReply.reset();
    } else {
        adapter.nextReply = reply;
    }
}

void ReplyTo(const Setting& setting, std::optional<std::uint8_t> reply) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    adapter.replyTo.emplace(setting, reply);
}

void ReadBack(const Setting& setting) {
    ReadBackBytes(EncodeSetting(setting, setting.entries.size()));
}

void ReadBackBytes(std::vector<std::uint8_t> bytes) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    adapter.readBack = std::move(bytes);
}

void ClearFailures() {
    for (const char* point : kFaultPoints) {
        DisarmFault(point);
    }
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    adapter.nextReply.reset();
    adapter.alwaysReply.reset();
    adapter.replyTo.reset();
    adapter.readBack.reset();
    while (!Gates().empty()) {
        ReleaseLocked(Gates().begin()->first);
    }
}

void Hold(std::string_view point) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    if (Gates().count(point) == 0) {
        Gates().emplace(std::string(point), CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
}

void Release(std::string_view point) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    ReleaseLocked(point);
}

unsigned Held(std::string_view point) {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    auto it = adapter.heldNow.find(point);
    return it == adapter.heldNow.end() ? 0 : it->second;
}

std::optional<std::string> FaultPointFromName(std::string_view name) {
    struct Word {
        const char* name;
        const char* point;
    };
    static const Word kWords[] = {
        {"open", "WlanOpenHandle"},
        {"register-service", "WlanRegisterDeviceServiceNotification"},
        {"register", "WlanRegisterNotification"},
        {"enum", "WlanEnumInterfaces"},
        {"set", "WlanDeviceServiceCommand.Set"},
        {"query", "WlanDeviceServiceCommand.Query"},
    };
    for (const Word& word : kWords) {
        if (name == word.name) {
            return word.point;
        }
    }
    return std::nullopt;
}

Setting Current() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    return adapter.current;
}

std::vector<Command> Commands() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    return adapter.commands;
}

std::size_t SetCount() {
    std::size_t sets = 0;
    for (const Command& command : Commands()) {
        sets += command.opcode == kOpSet ? 1 : 0;
    }
    return sets;
}

std::optional<Command> LastSet() {
    auto commands = Commands();
    for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
        if (it->opcode == kOpSet) {
            return *it;
        }
    }
    return std::nullopt;
}

std::size_t OpenHandles() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    return adapter.clients.size();
}

std::size_t NotificationRegistrations() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    std::size_t count = 0;
    for (const auto& [handle, client] : adapter.clients) {
        count += client.sources != WLAN_NOTIFICATION_SOURCE_NONE ? 1 : 0;
    }
    return count;
}

bool SarServiceRegistered() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    for (const auto& [handle, client] : adapter.clients) {
        for (const GUID& service : client.services) {
            if (service == kSarService) {
                return true;
            }
        }
    }
    return false;
}

std::size_t OutstandingLists() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    return adapter.outstandingLists;
}

std::size_t DeliveredCount() {
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    return adapter.delivered;
}

std::optional<Setting> DecodeSetting(const std::vector<std::uint8_t>& payload) {
    if (payload.size() < 12) {
        return std::nullopt;
    }
    Setting setting;
    setting.enable = GetWord(payload, 0);
    std::size_t slots = (payload.size() - 12) / 8;
    std::size_t used = std::min<std::size_t>(GetWord(payload, 8), slots);
    for (std::size_t i = 0; i < used; ++i) {
        setting.entries.push_back({GetWord(payload, 12 + 8 * i),
                                   static_cast<std::int32_t>(GetWord(payload, 16 + 8 * i))});
    }
    return setting;
}

std::vector<std::uint8_t> EncodeSetting(const Setting& setting, std::size_t slots) {
    std::vector<std::uint8_t> bytes(12 + 8 * slots);
    std::size_t used = std::min(setting.entries.size(), slots);
    PutWord(bytes, 0, setting.enable);
    PutWord(bytes, 8, static_cast<std::uint32_t>(used));
    for (std::size_t i = 0; i < used; ++i) {
        PutWord(bytes, 12 + 8 * i, setting.entries[i].mask);
        PutWord(bytes, 16 + 8 * i, static_cast<std::uint32_t>(setting.entries[i].index));
    }
    return bytes;
}

std::string SettingText(const Setting& setting) {
    std::string text = std::to_string(setting.enable);
    for (const Entry& entry : setting.entries) {
        text += " " + std::to_string(entry.mask) + ":" + std::to_string(entry.index);
    }
    return text;
}

} // namespace sim::wlan
