// The SAR provisioning file, found in a listing of the "TSRL" folder and read
// through the device's SocPartition module. What the partition service
// answers (sizes, names, the file's own offsets) is another driver's word:
// nothing is read outside what was received.
#include "halvex/notifier/SarProvisioningFile.h"

#include "dmf/modules/Dmf_SocPartition.h"
#include "halvex/driver/CaughtException.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/notifier/WlanChannelState.h"
#include "platform/com.h"
#include "platform/ntstrsafe.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr ULONG kByteOrderOffset = 9;
constexpr WCHAR kFolder[] = u"TSRL";
constexpr WCHAR kFileName[] = u"WLAN_SAR2CFG.PROVISION";
constexpr WCHAR kPartitionName[] = u"DPP";
constexpr GUID kPartitionGuid = {
    0xF97B8793, 0x3ABF, 0x4719, {0x89, 0x6B, 0x7C, 0x3E, 0x9B, 0x85, 0xE1, 0x04}};
// A listing or a file larger than this is not read: the sizes come from the
// service, and the file is a few dozen bytes.
constexpr ULONG kMaxReadBytes = 1024 * 1024;
constexpr char kNoBreakSpace[] = "\u00A0";

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

// "FOLDER\\NAME" in a buffer of 48 characters, the terminator included.
// Each name is taken only as far as its field reaches, since one that fills
// its field has no terminator; a join that does not fit is cut and reported
// as STATUS_BUFFER_OVERFLOW.
template <size_t FolderChars, size_t NameChars>
NTSTATUS JoinPath(const WCHAR (&Folder)[FolderChars], const WCHAR (&Name)[NameChars],
                  SocPartition_FileName* Joined) {
    WCHAR folder[FolderChars + 1] = {};
    WCHAR name[NameChars + 1] = {};
    std::copy_n(Folder, FolderChars, folder);
    std::copy_n(Name, NameChars, name);
    return RtlStringCbPrintfW(Joined->Name, sizeof(Joined->Name), u"%s\\%s", folder, name);
}

std::vector<BYTE> ZeroFilled(ULONG Size, NTSTATUS* Status) {
    if (Size > kMaxReadBytes) {
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        throw std::runtime_error("Refusing to read " + std::to_string(Size) + " bytes");
    }
    return std::vector<BYTE>(Size, 0);
}

// Reads the file an entry names and takes the period from it. *Status is the
// read's, and then the parse's; a failed or short read throws.
void ReadListedFile(DMFMODULE SocPartition, SocPartition_PartitionInfo* PartitionInfo,
                    SocPartition_FileName* Path, ULONG UsedSize, NTSTATUS* Status) {
    std::vector<BYTE> file = ZeroFilled(UsedSize, Status);
    ULONG size = UsedSize;
    *Status = DMF_SocPartition_TSFS_ReadFile(SocPartition, PartitionInfo, Path, file.data(), &size);
    if (*Status != STATUS_SUCCESS) {
        throw std::runtime_error(" Failed when calling DMF_SocPartition_TSFS_ReadFile ");
    }
    if (size != UsedSize) {
        throw std::runtime_error(
            std::string(" Failed when calling DMF_SocPartition_TSFS_ReadFile: FoutDataSize != "
                        "ListofFiles->UsedSize. ") +
            kNoBreakSpace + "outDatSize = " + kNoBreakSpace + std::to_string(size) +
            "ListofFiles->UsedSize = " + std::to_string(UsedSize));
    }
    ULONG period = 0;
    *Status = ParseSarProvisioningFile(file.data(), UsedSize, &period);
    if (NT_SUCCESS(*Status)) {
        gWlanRefreshPeriodMs.store(period);
    }
}

} // namespace

NTSTATUS ReadSarProvisioningFile() {
    FuncEntry(TRACE_NOTIFIER);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        PHALVEX_DMF_DEVICE_CONTEXT dmfContext =
            gWlanDevice != nullptr ? HalvexDmfDeviceGetContext(gWlanDevice) : nullptr;
        if (dmfContext == nullptr) {
            throw std::runtime_error("DMF Device Context is NULL");
        }
        SocPartition_FileName wanted{};
        JoinPath(kFolder, kFileName, &wanted);
        SocPartition_PartitionInfo partitionInfo{};
        partitionInfo.PartitionGuid = kPartitionGuid;
        std::copy_n(kPartitionName, std::size(kPartitionName), partitionInfo.PartitionName);
        DMFMODULE socPartition = dmfContext->DmfModuleSocPartition;
        if (socPartition == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "DmfModuleSocPartition is NULL");
            FuncExit(TRACE_NOTIFIER, "status=0x%08X", static_cast<unsigned>(status));
            return status;
        }

        ULONG size = 0;
        status = DMF_SocPartition_TSFS_ListDirectoryFiles(socPartition, &partitionInfo, nullptr,
                                                          nullptr, &size);
        if (status == STATUS_SUCCESS) {
            throw std::runtime_error("there are no files in TSRL folder");
        }
        if (status != STATUS_BUFFER_TOO_SMALL) {
            throw std::runtime_error(
                "Failed when calling DMF_SocPartition_TSFS_ListDirectoryFiles");
        }
        std::vector<BYTE> listing = ZeroFilled(size, &status);
        ULONG listed = size;
        status = DMF_SocPartition_TSFS_ListDirectoryFiles(socPartition, &partitionInfo, nullptr,
                                                          listing.data(), &listed);
        if (status != STATUS_SUCCESS) {
            throw std::runtime_error(
                " Failed when calling DMF_SocPartition_TSFS_ListDirectoryFiles "
                "after get the filesBufferSize ");
        }
        // The second listing may report more than the buffer it filled (the
        // folder grew between the two): only whole entries of the buffer count.
        const ULONG entries = std::min(listed, size) / sizeof(SocPartition_FileEntry);
        for (ULONG i = 0; i < entries; ++i) {
            SocPartition_FileEntry entry;
            std::memcpy(&entry, listing.data() + i * sizeof(entry), sizeof(entry));
            SocPartition_FileName path{};
            NTSTATUS joined = JoinPath(entry.FolderName, entry.FileName, &path);
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Entry %u: %s", i,
                        NarrowString(path.Name).c_str());
            // A join cut to fit cannot be the wanted path, whatever its prefix.
            if (joined != STATUS_SUCCESS ||
                std::u16string_view(path.Name) != std::u16string_view(wanted.Name)) {
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_NOTIFIER, "Entry %u is not the file", i);
                status = STATUS_FILE_NOT_AVAILABLE;
                continue;
            }
            ReadListedFile(socPartition, &partitionInfo, &path, entry.UsedSize, &status);
            break;
        }
    } catch (const std::exception&) {
        if (status == static_cast<NTSTATUS>(0xC0000014) ||
            status == static_cast<NTSTATUS>(0xC0000470)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER,
                        "The partition's storage is not usable: 0x%08X",
                        static_cast<unsigned>(status));
        }
        TraceCaughtException(TRACE_NOTIFIER);
    } catch (...) {
        TraceCaughtException(TRACE_NOTIFIER);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "status=0x%08X",
                    static_cast<unsigned>(status));
    }
    FuncExit(TRACE_NOTIFIER, "status=0x%08X", static_cast<unsigned>(status));
    return status;
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
