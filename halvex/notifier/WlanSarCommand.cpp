#include "halvex/notifier/WlanSarCommand.h"

#include "halvex/notifier/WlanChannelState.h"
#include "platform/trace.h"
#include "platform/win32.h"
#include "platform/wlanapi.h"

#include <algorithm>

namespace {

GUID CommandInterface() {
    std::lock_guard guard(gWlanMutex);
    return gWlanInterfaceGuid;
}

} // namespace

WlanSarCommand::WlanSarCommand(ULONG slots)
    : mSlots(slots), mBytes(kHeaderBytes + kEntryBytes * slots) {}

ULONG WlanSarCommand::Word(std::size_t offset) const {
    ULONG value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<ULONG>(mBytes[offset + i]) << (8 * i);
    }
    return value;
}

void WlanSarCommand::SetWord(std::size_t offset, ULONG value) {
    for (std::size_t i = 0; i < 4; ++i) {
        mBytes[offset + i] = static_cast<BYTE>(value >> (8 * i));
    }
}

bool WlanSarCommand::Append(ULONG antennaMask, LONG backoffIndex) {
    ULONG used = EntryCount();
    if (used >= mSlots) {
        return false;
    }
    std::size_t offset = kHeaderBytes + kEntryBytes * used;
    SetWord(offset, antennaMask);
    SetWord(offset + 4, static_cast<ULONG>(backoffIndex));
    SetWord(8, used + 1);
    return true;
}

WlanSarEntry WlanSarCommand::Entry(ULONG i) const {
    std::size_t offset = kHeaderBytes + kEntryBytes * i;
    return WlanSarEntry{Word(offset), static_cast<LONG>(Word(offset + 4))};
}

ULONG WlanSarCommand::UsedEntries() const {
    return std::min(EntryCount(), mSlots);
}

bool WlanSarCommand::SameSettingAs(const WlanSarCommand& other) const {
    const bool enabled = Enable() == 1;
    if (enabled != (other.Enable() == 1)) {
        return false;
    }
    if (!enabled) {
        return true;
    }
    if (UsedEntries() != other.UsedEntries()) {
        return false;
    }
    for (ULONG i = 0; i < UsedEntries(); ++i) {
        const WlanSarEntry mine = Entry(i);
        const WlanSarEntry theirs = other.Entry(i);
        if (mine.AntennaMask != theirs.AntennaMask || mine.BackoffIndex != theirs.BackoffIndex) {
            return false;
        }
    }
    return true;
}

std::string WlanSarCommand::Text() const {
    std::string text = "Enable " + std::to_string(Enable()) + ",";
    if (UsedEntries() == 0) {
        text += " no entry";
    }
    for (ULONG i = 0; i < UsedEntries(); ++i) {
        const WlanSarEntry entry = Entry(i);
        text += " " + std::to_string(entry.AntennaMask) + ":" + std::to_string(entry.BackoffIndex);
    }
    return text;
}

NTSTATUS SendWlanSarSetting(WlanSarCommand& command, bool emptyReplyIsError) {
    GUID interfaceGuid = CommandInterface();
    BYTE reply = 0;
    DWORD returned = 0;
    DWORD result = WlanDeviceServiceCommand(
        mWlanNotifHandle.load(), &interfaceGuid, &GUID_WLAN_SAR_DEVICE_SERVICE, WLAN_SAR_OPCODE_SET,
        command.Size(), command.Data(), sizeof reply, &reply, &returned);
    if (result != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "SAR set command failed with %u (last error %u)", result, GetLastError());
        return STATUS_UNSUCCESSFUL;
    }
    if (returned == 0) {
        TraceEvents(emptyReplyIsError ? TRACE_LEVEL_ERROR : TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                    "SAR set command answered without a reply byte");
        return STATUS_UNSUCCESSFUL;
    }
    if (reply != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "The adapter refused the SAR setting (%u)",
                    reply);
        return STATUS_UNSUCCESSFUL;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFIER,
                "SAR setting accepted: Enable %u, %u entries", command.Enable(),
                command.EntryCount());
    return STATUS_SUCCESS;
}

NTSTATUS QueryWlanSarSetting(WlanSarCommand& reply) {
    GUID interfaceGuid = CommandInterface();
    DWORD returned = 0;
    DWORD result = WlanDeviceServiceCommand(mWlanNotifHandle.load(), &interfaceGuid,
                                            &GUID_WLAN_SAR_DEVICE_SERVICE, WLAN_SAR_OPCODE_QUERY, 0,
                                            nullptr, reply.Size(), reply.Data(), &returned);
    if (result != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "SAR query command failed with %u (last error %u)", result, GetLastError());
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
