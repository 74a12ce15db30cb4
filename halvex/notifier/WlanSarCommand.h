// The WLAN adapter's SAR device service and the one payload both of its
// operations carry: opcode 1 sets the adapter's back-off, opcode 2 reads it
// back.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <string>
#include <vector>

inline constexpr GUID GUID_WLAN_SAR_DEVICE_SERVICE = {
    0x504304B4, 0x1941, 0x4A95, {0xB8, 0x19, 0xA2, 0x10, 0x2B, 0x69, 0xE5, 0xCD}};
inline constexpr DWORD WLAN_SAR_OPCODE_SET = 1;
inline constexpr DWORD WLAN_SAR_OPCODE_QUERY = 2;

struct WlanSarEntry {
    ULONG AntennaMask; // one antenna bit in a merged setting, a channel's mask in its own
    LONG BackoffIndex;
};

// {Enable, Reserved 0, EntryCount} and N entry slots of which the first
// EntryCount are used: 12 + 8N bytes, little-endian, always sent and received
// whole. Zero-filled on the heap; an allocation failure raises std::bad_alloc.
class WlanSarCommand {
public:
    static constexpr std::size_t kHeaderBytes = 12;
    static constexpr std::size_t kEntryBytes = 8;

    explicit WlanSarCommand(ULONG slots);

    ULONG Slots() const { return mSlots; }
    ULONG Enable() const { return Word(0); }
    void SetEnable(ULONG enable) { SetWord(0, enable); }
    ULONG EntryCount() const { return Word(8); }
    // EntryCount, within the slots: the entries a reply really holds.
    ULONG UsedEntries() const;
    // False, the payload unchanged, when every slot is used already.
    bool Append(ULONG antennaMask, LONG backoffIndex);
    // Slot i, used or not; i below Slots().
    WlanSarEntry Entry(ULONG i) const;
    // Whether both say the same to the adapter: back-off disabled (an Enable
    // other than 1), or enabled with the same used entries in the same order.
    bool SameSettingAs(const WlanSarCommand& other) const;
    // "Enable 1, 1:3 2:5", for the traces.
    std::string Text() const;

    BYTE* Data() { return mBytes.data(); }
    DWORD Size() const { return static_cast<DWORD>(mBytes.size()); }

private:
    ULONG Word(std::size_t offset) const;
    void SetWord(std::size_t offset, ULONG value);

    ULONG mSlots;
    std::vector<BYTE> mBytes;
};

// The set operation on the WLAN channels' interface, judged: STATUS_SUCCESS
// only when the call succeeded and the adapter replied with the one byte 0,
// else STATUS_UNSUCCESSFUL. A failed call and a refusing byte are traced as
// errors, a missing byte too when `emptyReplyIsError`.
NTSTATUS SendWlanSarSetting(WlanSarCommand& command, bool emptyReplyIsError);
// The query operation: STATUS_SUCCESS with the adapter's setting in `reply`
// when the call succeeded, else an error trace and STATUS_UNSUCCESSFUL.
NTSTATUS QueryWlanSarSetting(WlanSarCommand& reply);
