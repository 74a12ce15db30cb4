// The SoC partition file service: another driver's device interface of class
// {5F797E8F-E6A4-41F0-B5A8-560A4D0BBC20} (a sim::TargetDevice) that lists a
// folder of a partition of the SoC's storage (IOCTL 0xECAF32CE) and reads one
// of its files (IOCTL 0xECAF32C2).
//
// Records (little-endian, wide strings UTF-16):
//   request, 296 bytes: partition GUID at 0, partition name at 16 (72 bytes,
//     NUL-terminated); at 88, 96 bytes: the folder to list (up to 48
//     characters, the rest zero) or the "FOLDER\NAME" to read (NUL-terminated,
//     first character not NUL); u32 at 284: 10 list, 0 read; bytes 184..283
//     and 288..295 zero.
//   reply (the output buffer, at least 296 bytes): u32 at 8 the bytes the
//     payload needs (on STATUS_BUFFER_TOO_SMALL / OVERFLOW), u32 at 16 the
//     payload length (on success), payload at 20. Bytes 0..7 and 12..15 carry
//     a pattern nobody should read.
//   list payload: 244-byte entries {file name at 0 (49 characters),
//     folder name at 98 (51 characters), u32 size at 200}; a name that fills
//     its field has no terminator.
// A payload fits when 20 + its length is at most the output buffer;
// otherwise the answer is STATUS_BUFFER_TOO_SMALL with the needed length.
// A request that breaks these rules is answered STATUS_INVALID_PARAMETER (an
// unknown IOCTL STATUS_INVALID_DEVICE_REQUEST, an unknown partition
// STATUS_NOT_FOUND, a missing file STATUS_OBJECT_NAME_NOT_FOUND); its record
// says what was wrong. Folders exist by their files: listing a folder without
// files answers success with no entries.
//
// The service is there once the machine is built (Reset), with an empty
// "DPP" partition {F97B8793-3ABF-4719-896B-7C3E9B85E104}. Answers come on
// the sender's thread, at once, unless a request is withheld (never answered
// until released; the sender's time-out ends it).
#pragma once

#include "platform/sim/target_device.h"
#include "platform/types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::partition {

inline constexpr GUID kInterfaceClass = {
    0x5F797E8F, 0xE6A4, 0x41F0, {0xB5, 0xA8, 0x56, 0x0A, 0x4D, 0x0B, 0xBC, 0x20}};
inline constexpr GUID kDppGuid = {
    0xF97B8793, 0x3ABF, 0x4719, {0x89, 0x6B, 0x7C, 0x3E, 0x9B, 0x85, 0xE1, 0x04}};
inline constexpr ULONG kListIoctl = 0xECAF32CEu;
inline constexpr ULONG kReadIoctl = 0xECAF32C2u;
inline constexpr std::size_t kRequestSize = 296;
inline constexpr std::size_t kReplyHeader = 20;
inline constexpr std::size_t kEntrySize = 244;
inline constexpr std::size_t kEntryNameChars = 49;
inline constexpr std::size_t kEntryFolderChars = 51;
// Where the WLAN provisioning file lives.
inline constexpr std::u16string_view kProvisioningPath = u"TSRL\\WLAN_SAR2CFG.PROVISION";

enum class Kind { List, Read, Other };

// One request as the service received it.
struct Request {
    Kind kind = Kind::Other;
    std::vector<std::uint8_t> bytes; // the input buffer as sent
    std::size_t outputCapacity = 0;
    DWORD timeoutMs = INFINITE; // the sender's time-out
    GUID partitionGuid{};
    std::u16string partitionName;
    std::u16string path;              // a list's folder, a read's FOLDER\NAME
    std::string problem;              // what was malformed; empty for a well-formed request
    NTSTATUS status = STATUS_PENDING; // the answer; STATUS_PENDING while withheld
};

// Present, one empty "DPP" partition, no faults, no listing override, no
// hook, records cleared. A device's targets on the previous interface see
// it removed.
void Reset();

// As Reset, but the interface stays as it is (present or not, its targets
// left open).
void Clear();

// Partitions and files. A path is FOLDER\NAME.
void AddPartition(const GUID& guid, const std::u16string& name);
void PutFile(const std::u16string& path, std::vector<std::uint8_t> bytes,
             const GUID& partition = kDppGuid, const std::u16string& partitionName = u"DPP");
bool DeleteFile(const std::u16string& path, const GUID& partition = kDppGuid,
                const std::u16string& partitionName = u"DPP");
// A list request is answered with these payload bytes instead of the
// folder's entries (std::nullopt: the entries again).
void SetListingOverride(std::optional<std::vector<std::uint8_t>> payload);

// A well-formed provisioning file giving `periodMs` (`partition period`).
std::vector<std::uint8_t> ProvisioningFile(std::uint32_t periodMs, bool bigEndian);
// One list entry, names cut to their fields.
std::vector<std::uint8_t> FileEntry(std::u16string_view name, std::u16string_view folder,
                                    std::uint32_t usedSize);

// The next (or every) request of `kind` is answered with `status` and no
// payload; the reply still says at 8 how many bytes its payload needs.
void Fail(Kind kind, NTSTATUS status, bool always = false);
// The next (or every) request of `kind` is never answered.
void Hang(Kind kind, bool always = false);
// Clears Fail and Hang.
void ClearFaults();
// Runs as each request arrives, before it is answered, on the sender's
// thread (a test changes the files between two requests with it).
void OnRequest(std::function<void(const Request&)> hook);

// The interface. Present(false) is a removal without a query.
void SetPresent(bool present);
bool Present();
// The removal protocol of the service's device (sim/target_device.h).
NTSTATUS QueryRemove(bool veto);
void CancelRemove();
void CompleteRemove();

// What the service answers a request, as its device receives it through a
// target (recorded like any other).
TargetAnswer Answer(const TargetRequest& request);

// What the service has seen.
std::vector<Request> Requests();
unsigned RequestCount(Kind kind);
std::size_t WithheldCount();
void ReleaseWithheld();
// One line per request since the last call, oldest first (the host's timeline).
std::vector<std::string> TakeActivity();

// "list" "read"; nothing for another word.
std::optional<Kind> KindFromName(std::string_view name);
const char* KindName(Kind kind);

} // namespace sim::partition
