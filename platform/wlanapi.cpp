#include "platform/wlanapi.h"

#include "platform/sim/faults.h"
#include "platform/sim/wlan_adapter.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using sim::wlan::Adapter;
using sim::wlan::TheAdapter;

namespace {

// A fault or a hold on `point`: the code to fail with, or nothing.
std::optional<DWORD> Intercept(std::string_view point, DWORD fallback) {
    if (auto code = sim::CheckFault(point)) {
        return sim::FaultCodeOr<DWORD>(*code, fallback);
    }
    sim::wlan::WaitWhileHeld(point);
    return std::nullopt;
}

std::uintptr_t Key(HANDLE handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

// A callback of `key` that runs now must end first; from the notification
// thread itself that would never happen.
void WaitForRunningCallback(Adapter& adapter, std::unique_lock<std::mutex>& lock,
                            std::uintptr_t key) {
    if (!sim::wlan::NotificationQueue().OnQueueThread()) {
        adapter.changed.wait(lock, [&] { return adapter.running != key; });
    }
}

// Answers a set: the reply byte the test asked for, 0 otherwise.
std::optional<std::uint8_t> TakeReplyLocked(Adapter& adapter, const sim::wlan::Setting& setting) {
    if (adapter.replyTo && adapter.replyTo->first == setting) {
        auto reply = adapter.replyTo->second;
        adapter.replyTo.reset();
        return reply;
    }
    if (adapter.nextReply) {
        auto reply = *adapter.nextReply;
        adapter.nextReply.reset();
        return reply;
    }
    return adapter.alwaysReply.value_or(std::optional<std::uint8_t>(0));
}

DWORD SetLocked(Adapter& adapter, const std::vector<std::uint8_t>& payload, DWORD outSize,
                PVOID out, PDWORD bytesReturned) {
    sim::wlan::Command command{sim::wlan::kOpSet, payload, std::nullopt, ERROR_SUCCESS};
    std::optional<sim::wlan::Setting> setting = sim::wlan::DecodeSetting(payload);
    std::size_t slots = payload.size() < 12 ? 0 : (payload.size() - 12) / 8;
    std::uint32_t words[3] = {};
    if (payload.size() >= 12) {
        std::memcpy(words, payload.data(), sizeof words);
    }
    // Only a whole payload with its reserved word clear and no more entries
    // than slots is a setting.
    if (!setting || (payload.size() - 12) % 8 != 0 || words[1] != 0 || words[2] > slots ||
        out == nullptr || outSize < 1) {
        command.result = ERROR_INVALID_PARAMETER;
        adapter.commands.push_back(command);
        return command.result;
    }
    command.reply = TakeReplyLocked(adapter, *setting);
    if (command.reply) {
        *static_cast<std::uint8_t*>(out) = *command.reply;
        *bytesReturned = 1;
    }
    if (command.reply == std::optional<std::uint8_t>(0)) {
        adapter.current = *setting;
    }
    adapter.commands.push_back(command);
    return ERROR_SUCCESS;
}

DWORD QueryLocked(Adapter& adapter, DWORD outSize, PVOID out, PDWORD bytesReturned) {
    if (out == nullptr || outSize < 12) {
        adapter.commands.push_back(
            {sim::wlan::kOpQuery, {}, std::nullopt, ERROR_INVALID_PARAMETER});
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::uint8_t> answer =
        adapter.readBack ? *adapter.readBack
                         : sim::wlan::EncodeSetting(adapter.current, (outSize - 12) / 8);
    adapter.readBack.reset();
    answer.resize(std::min<std::size_t>(answer.size(), outSize));
    std::memset(out, 0, outSize);
    std::memcpy(out, answer.data(), answer.size());
    *bytesReturned = static_cast<DWORD>(answer.size());
    adapter.commands.push_back({sim::wlan::kOpQuery, answer, std::nullopt, ERROR_SUCCESS});
    return ERROR_SUCCESS;
}

} // namespace

DWORD WlanOpenHandle(DWORD dwClientVersion, PVOID, PDWORD pdwNegotiatedVersion,
                     PHANDLE phClientHandle) {
    if (auto code = Intercept("WlanOpenHandle", ERROR_SERVICE_NOT_ACTIVE)) {
        return *code;
    }
    if (phClientHandle == nullptr || pdwNegotiatedVersion == nullptr ||
        (dwClientVersion != WLAN_API_VERSION_1_0 && dwClientVersion != WLAN_API_VERSION_2_0)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    std::uintptr_t handle = adapter.nextHandle;
    adapter.nextHandle += 4;
    adapter.clients.emplace(handle, sim::wlan::Client{});
    *pdwNegotiatedVersion = dwClientVersion;
    *phClientHandle = reinterpret_cast<HANDLE>(handle);
    return ERROR_SUCCESS;
}

DWORD WlanCloseHandle(HANDLE hClientHandle, PVOID) {
    if (auto code = Intercept("WlanCloseHandle", ERROR_INVALID_HANDLE)) {
        return *code;
    }
    auto& adapter = TheAdapter();
    std::unique_lock lock(adapter.lock);
    if (adapter.clients.erase(Key(hClientHandle)) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    WaitForRunningCallback(adapter, lock, Key(hClientHandle));
    return ERROR_SUCCESS;
}

DWORD WlanEnumInterfaces(HANDLE hClientHandle, PVOID, PWLAN_INTERFACE_INFO_LIST* ppInterfaceList) {
    if (ppInterfaceList == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *ppInterfaceList = nullptr;
    if (auto code = Intercept("WlanEnumInterfaces", ERROR_NOT_ENOUGH_MEMORY)) {
        return *code;
    }
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    if (adapter.clients.count(Key(hClientHandle)) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    unsigned count = adapter.interfaceCount;
    std::size_t bytes = sizeof(WLAN_INTERFACE_INFO_LIST) +
                        (count == 0 ? 0 : count - 1) * sizeof(WLAN_INTERFACE_INFO);
    auto* list = static_cast<PWLAN_INTERFACE_INFO_LIST>(std::calloc(1, bytes));
    if (list == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    list->dwNumberOfItems = count;
    list->dwIndex = adapter.currentIndex;
    for (unsigned i = 0; i < count; ++i) {
        list->InterfaceInfo[i].InterfaceGuid = sim::wlan::InterfaceGuid(i);
        list->InterfaceInfo[i].isState = wlan_interface_state_connected;
    }
    ++adapter.outstandingLists;
    *ppInterfaceList = list;
    return ERROR_SUCCESS;
}

void WlanFreeMemory(PVOID pMemory) {
    if (pMemory == nullptr) {
        return;
    }
    std::free(pMemory);
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    if (adapter.outstandingLists > 0) {
        --adapter.outstandingLists;
    }
}

DWORD WlanRegisterDeviceServiceNotification(HANDLE hClientHandle,
                                            const WLAN_DEVICE_SERVICE_GUID_LIST* pDevSvcGuidList) {
    if (auto code = Intercept("WlanRegisterDeviceServiceNotification", ERROR_NOT_ENOUGH_MEMORY)) {
        return *code;
    }
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    auto it = adapter.clients.find(Key(hClientHandle));
    if (it == adapter.clients.end()) {
        return ERROR_INVALID_HANDLE;
    }
    it->second.services.clear();
    if (pDevSvcGuidList != nullptr) {
        for (DWORD i = 0; i < pDevSvcGuidList->dwNumberOfItems; ++i) {
            it->second.services.push_back(pDevSvcGuidList->DeviceService[i]);
        }
    }
    return ERROR_SUCCESS;
}

DWORD WlanRegisterNotification(HANDLE hClientHandle, DWORD dwNotifSource, BOOL,
                               WLAN_NOTIFICATION_CALLBACK funcCallback, PVOID pCallbackContext,
                               PVOID, PDWORD pdwPrevNotifSource) {
    if (auto code = Intercept("WlanRegisterNotification", ERROR_NOT_ENOUGH_MEMORY)) {
        return *code;
    }
    auto& adapter = TheAdapter();
    std::unique_lock lock(adapter.lock);
    auto it = adapter.clients.find(Key(hClientHandle));
    if (it == adapter.clients.end()) {
        return ERROR_INVALID_HANDLE;
    }
    if (dwNotifSource != WLAN_NOTIFICATION_SOURCE_NONE && funcCallback == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (pdwPrevNotifSource != nullptr) {
        *pdwPrevNotifSource = it->second.sources;
    }
    it->second.sources = dwNotifSource;
    it->second.callback = dwNotifSource == WLAN_NOTIFICATION_SOURCE_NONE ? nullptr : funcCallback;
    it->second.context = pCallbackContext;
    if (dwNotifSource == WLAN_NOTIFICATION_SOURCE_NONE) {
        WaitForRunningCallback(adapter, lock, Key(hClientHandle));
    }
    return ERROR_SUCCESS;
}

DWORD WlanDeviceServiceCommand(HANDLE hClientHandle, const GUID* pInterfaceGuid,
                               const GUID* pDeviceServiceGuid, DWORD dwOpCode, DWORD dwInBufferSize,
                               PVOID pInBuffer, DWORD dwOutBufferSize, PVOID pOutBuffer,
                               PDWORD pdwBytesReturned) {
    if (auto code = Intercept("WlanDeviceServiceCommand", ERROR_GEN_FAILURE)) {
        return *code;
    }
    if (dwOpCode == sim::wlan::kOpSet || dwOpCode == sim::wlan::kOpQuery) {
        const char* point = dwOpCode == sim::wlan::kOpSet ? "WlanDeviceServiceCommand.Set"
                                                          : "WlanDeviceServiceCommand.Query";
        if (auto code = Intercept(point, ERROR_GEN_FAILURE)) {
            return *code;
        }
    }
    if (pInterfaceGuid == nullptr || pDeviceServiceGuid == nullptr || pdwBytesReturned == nullptr ||
        (dwInBufferSize != 0 && pInBuffer == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    *pdwBytesReturned = 0;
    auto& adapter = TheAdapter();
    std::lock_guard guard(adapter.lock);
    if (adapter.clients.count(Key(hClientHandle)) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    bool listed = false;
    for (unsigned i = 0; i < adapter.interfaceCount; ++i) {
        listed = listed || *pInterfaceGuid == sim::wlan::InterfaceGuid(i);
    }
    if (!listed) {
        return ERROR_NOT_FOUND;
    }
    if (!(*pDeviceServiceGuid == sim::wlan::kSarService)) {
        return ERROR_NOT_SUPPORTED;
    }
    if (dwOpCode == sim::wlan::kOpSet) {
        const auto* in = static_cast<const std::uint8_t*>(pInBuffer);
        std::vector<std::uint8_t> payload(in, in + dwInBufferSize);
        return SetLocked(adapter, payload, dwOutBufferSize, pOutBuffer, pdwBytesReturned);
    }
    if (dwOpCode == sim::wlan::kOpQuery) {
        return QueryLocked(adapter, dwOutBufferSize, pOutBuffer, pdwBytesReturned);
    }
    return ERROR_NOT_SUPPORTED;
}
