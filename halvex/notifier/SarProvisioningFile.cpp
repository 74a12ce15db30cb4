// The provisioning file's parse. PLACEHOLDER: the reader itself needs the
// SocPartition module, which is not built yet; until it is, there is no file
// to read, so the WLAN channels run without a refresh timer.
#include "halvex/notifier/SarProvisioningFile.h"

#include "platform/trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr ULONG kByteOrderOffset = 9;

// Traces the file at verbose level, sixteen bytes a line.
void TraceFileBytes(const BYTE* File, ULONG Size) {
    if (!platform::TraceEnabled(TRACE_LEVEL_VERBOSE)) {
        return;
    }
    for (ULONG line = 0; line < Size; line += 16) {
        char text[16 * 3 + 1] = {};
        for (ULONG i = line; i < std::min(Size, line + 16); ++i) {
            std::snprintf(text + 3 * (i - line), 4, " %02x", File[i]);
        }
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "File[%u..]:%s", line, text);
    }
}

} // namespace

NTSTATUS ReadSarProvisioningFile() {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "SAR provisioning file reader is not built yet");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS ParseSarProvisioningFile(const BYTE* File, ULONG Size, ULONG* PeriodMs) {
    TraceFileBytes(File, Size);
    // The file is read in the size the listing gave: bytes 1 and 9, and the
    // value block that byte 1 points to, may lie beyond its end (or, for a
    // negative n, before its start). Nothing outside the file is read, and
    // such a file gives no period.
    if (Size <= kByteOrderOffset) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Provisioning file of %u bytes has no byte order", Size);
        return STATUS_UNSUCCESSFUL;
    }
    const BOOLEAN littleEndian = File[kByteOrderOffset] == 0;
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "littleEndian = %u", littleEndian);
    const LONG n = static_cast<signed char>(File[1]);
    // The period at n + 1, then the two values the channel does not use.
    const LONG offsets[] = {n + 1, n + 5, n + 9};
    auto inside = [&](LONG offset) {
        return offset >= 0 && static_cast<ULONG64>(offset) + 4 <= Size;
    };
    if (!inside(offsets[0])) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                    "Provisioning file of %u bytes has no period at offset %d", Size, offsets[0]);
        return STATUS_UNSUCCESSFUL;
    }
    *PeriodMs = ProvisionBytesToUInt32(File, static_cast<ULONG>(offsets[0]), littleEndian);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Refresh period = %u ms", *PeriodMs);
    for (LONG offset : {offsets[1], offsets[2]}) {
        if (inside(offset)) {
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Value at %d = 0x%08X", offset,
                        ProvisionBytesToUInt32(File, static_cast<ULONG>(offset), littleEndian));
        }
    }
    return STATUS_SUCCESS;
}

ULONG ProvisionBytesToUInt32(const BYTE* Buffer, ULONG Offset, BOOLEAN LittleEndian) {
    // The number goes through its hexadecimal text, as the file's tools write
    // it: each byte's two digits in file order, each pair and then the whole
    // text reversed for a little-endian file.
    char text[9] = {};
    for (ULONG i = 0; i < 4; ++i) {
        // A byte of 0x80 or above prints as ffffff80 and up: its own two
        // digits are the last two.
        char digits[9];
        std::snprintf(
            digits, sizeof digits, "%02x",
            static_cast<unsigned>(static_cast<int>(static_cast<signed char>(Buffer[Offset + i]))));
        const std::size_t length = std::strlen(digits);
        text[2 * i] = digits[length - 2];
        text[2 * i + 1] = digits[length - 1];
        if (LittleEndian) {
            std::swap(text[2 * i], text[2 * i + 1]);
        }
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Byte %u: %s", Offset + i, digits);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Joined: %s", text);
    if (LittleEndian) {
        std::reverse(text, text + 8);
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Reversed: %s", text);
    }
    return static_cast<ULONG>(std::strtoul(text, nullptr, 16));
}
