#include "platform/sim/partition_service.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace sim::partition {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kNameOffset = 16;
constexpr std::size_t kNameBytes = 72;
constexpr std::size_t kPathOffset = 88;
constexpr std::size_t kPathBytes = 96;
constexpr std::size_t kFieldOffset = 284;
constexpr std::uint32_t kListField = 10;
constexpr std::size_t kEntryFolderOffset = 98;
constexpr std::size_t kEntrySizeOffset = 200;
constexpr std::uint8_t kUnreadPattern = 0xA5;

struct File {
    GUID partition;
    std::u16string partitionName;
    std::u16string folder;
    std::u16string name;
    Bytes bytes;
};

struct Partition {
    GUID guid;
    std::u16string name;
};

struct Fault {
    enum class What { None, Fail, Hang } what = What::None;
    NTSTATUS status = STATUS_SUCCESS;
    bool always = false;
};

struct Service {
    std::mutex lock; // guards what follows
    std::unique_ptr<TargetDevice> device;
    std::vector<Partition> partitions;
    std::vector<File> files;
    std::optional<Bytes> listingOverride;
    Fault faults[2];
    std::function<void(const Request&)> hook;
    std::vector<Request> requests;
    std::vector<std::string> activity;

    Fault TakeFault(Kind kind) {
        Fault& slot = faults[kind == Kind::List ? 0 : 1];
        Fault fault = slot;
        if (!slot.always) {
            slot = {};
        }
        return fault;
    }
};

Service& TheService() {
    static Service* service = new Service; // answers may still run at exit
    return *service;
}

void PutU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t GetU32(const Bytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

void PutWide(Bytes& bytes, std::size_t offset, std::u16string_view text, std::size_t chars) {
    for (std::size_t i = 0; i < std::min(text.size(), chars); ++i) {
        bytes[offset + 2 * i] = static_cast<std::uint8_t>(text[i]);
        bytes[offset + 2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
}

// The characters of a field up to its first NUL; `terminated` says whether
// there was one.
std::u16string GetWide(const Bytes& bytes, std::size_t offset, std::size_t fieldBytes,
                       bool* terminated) {
    std::u16string text;
    *terminated = false;
    for (std::size_t i = 0; i + 1 < fieldBytes; i += 2) {
        auto c = static_cast<char16_t>(bytes[offset + i] | (bytes[offset + i + 1] << 8));
        if (c == 0) {
            *terminated = true;
            break;
        }
        text.push_back(c);
    }
    return text;
}

bool AllZero(const Bytes& bytes, std::size_t from, std::size_t to) {
    return std::all_of(bytes.begin() + static_cast<long>(from),
                       bytes.begin() + static_cast<long>(to),
                       [](std::uint8_t b) { return b == 0; });
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// Reads the request record into `request`; false (with the problem named) when
// it is malformed.
bool Parse(const TargetRequest& io, Request& request) {
    request.kind = io.ioControlCode == kListIoctl   ? Kind::List
                   : io.ioControlCode == kReadIoctl ? Kind::Read
                                                    : Kind::Other;
    if (request.kind == Kind::Other) {
        request.problem = "unknown IOCTL";
        return false;
    }
    const Bytes& in = io.input;
    if (in.size() != kRequestSize) {
        request.problem = "request of " + std::to_string(in.size()) + " bytes";
        return false;
    }
    if (io.outputCapacity < kRequestSize) {
        request.problem = "reply buffer of " + std::to_string(io.outputCapacity) + " bytes";
        return false;
    }
    std::copy_n(in.begin(), sizeof(GUID), reinterpret_cast<std::uint8_t*>(&request.partitionGuid));
    bool terminated = false;
    request.partitionName = GetWide(in, kNameOffset, kNameBytes, &terminated);
    if (!terminated) {
        request.problem = "partition name without terminator";
        return false;
    }
    const std::uint32_t field = GetU32(in, kFieldOffset);
    if (field != (request.kind == Kind::List ? kListField : 0)) {
        request.problem = "request field " + std::to_string(field);
        return false;
    }
    if (!AllZero(in, kPathOffset + kPathBytes, kFieldOffset) ||
        !AllZero(in, kFieldOffset + 4, kRequestSize)) {
        request.problem = "reserved bytes not zero";
        return false;
    }
    request.path = GetWide(in, kPathOffset, kPathBytes, &terminated);
    if (request.kind == Kind::List) {
        // The folder's characters, then nothing but zeroes.
        const std::size_t end = kPathOffset + 2 * request.path.size();
        if (!AllZero(in, std::min(end, kPathOffset + kPathBytes), kPathOffset + kPathBytes)) {
            request.problem = "folder field not zero after the name";
            return false;
        }
        if (request.path.empty()) {
            request.problem = "empty folder";
            return false;
        }
        return true;
    }
    if (!terminated || request.path.empty()) {
        request.problem = terminated ? "empty file name" : "file name without terminator";
        return false;
    }
    if (request.path.find(u'\\') == std::u16string::npos) {
        request.problem = "file name without folder";
        return false;
    }
    return true;
}

void SplitPath(const std::u16string& path, std::u16string* folder, std::u16string* name) {
    const std::size_t slash = path.find(u'\\');
    *folder = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
    *name = slash == std::u16string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const File& file, const GUID& partition, const std::u16string& partitionName,
              const std::u16string& folder, const std::u16string& name) {
    return file.partition == partition && file.partitionName == partitionName &&
           file.folder == folder && file.name == name;
}

// The payload a well-formed request asks for, or the status that refuses it.
NTSTATUS Payload(Service& service, const Request& request, Bytes* payload) {
    const bool known = std::any_of(service.partitions.begin(), service.partitions.end(),
                                   [&](const Partition& partition) {
                                       return partition.guid == request.partitionGuid &&
                                              partition.name == request.partitionName;
                                   });
    if (!known) {
        return STATUS_NOT_FOUND;
    }
    if (request.kind == Kind::List) {
        if (service.listingOverride) {
            *payload = *service.listingOverride;
            return STATUS_SUCCESS;
        }
        for (const File& file : service.files) {
            if (file.partition == request.partitionGuid &&
                file.partitionName == request.partitionName && file.folder == request.path) {
                Bytes entry = FileEntry(file.name, file.folder,
                                        static_cast<std::uint32_t>(file.bytes.size()));
                payload->insert(payload->end(), entry.begin(), entry.end());
            }
        }
        return STATUS_SUCCESS;
    }
    std::u16string folder;
    std::u16string name;
    SplitPath(request.path, &folder, &name);
    for (const File& file : service.files) {
        if (SameFile(file, request.partitionGuid, request.partitionName, folder, name)) {
            *payload = file.bytes;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::unique_ptr<TargetDevice> NewDevice() {
    return std::make_unique<TargetDevice>(
        kInterfaceClass, u"\\??\\ROOT#SOCPARTITION#0000#{5f797e8f-e6a4-41f0-b5a8-560a4d0bbc20}",
        [](const TargetRequest& io) { return Answer(io); });
}

// The device, whose calls run the drivers' callbacks and so are made outside
// the service's lock.
TargetDevice* Device() {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    if (!service.device) {
        service.device = NewDevice();
    }
    return service.device.get();
}

// Under the service's lock.
void ClearLocked(Service& service) {
    service.partitions = {Partition{kDppGuid, u"DPP"}};
    service.files.clear();
    service.listingOverride.reset();
    service.faults[0] = {};
    service.faults[1] = {};
    service.hook = nullptr;
    service.requests.clear();
    service.activity.clear();
    if (service.device) {
        service.device->ForgetRequests();
    }
}

} // namespace

void Reset() {
    Service& service = TheService();
    std::unique_ptr<TargetDevice> previous;
    {
        std::lock_guard guard(service.lock);
        previous = std::move(service.device);
        service.device = NewDevice();
        ClearLocked(service);
    }
    previous.reset(); // withdraws the old interface outside the lock: targets answer its removal
    SetPresent(true);
}

void Clear() {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    ClearLocked(service);
}

void AddPartition(const GUID& guid, const std::u16string& name) {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    service.partitions.push_back(Partition{guid, name});
}

void PutFile(const std::u16string& path, Bytes bytes, const GUID& partition,
             const std::u16string& partitionName) {
    Service& service = TheService();
    File file{partition, partitionName, {}, {}, std::move(bytes)};
    SplitPath(path, &file.folder, &file.name);
    std::lock_guard guard(service.lock);
    for (File& existing : service.files) {
        if (SameFile(existing, partition, partitionName, file.folder, file.name)) {
            existing.bytes = std::move(file.bytes);
            return;
        }
    }
    service.files.push_back(std::move(file));
}

bool DeleteFile(const std::u16string& path, const GUID& partition,
                const std::u16string& partitionName) {
    Service& service = TheService();
    std::u16string folder;
    std::u16string name;
    SplitPath(path, &folder, &name);
    std::lock_guard guard(service.lock);
    return std::erase_if(service.files, [&](const File& file) {
               return SameFile(file, partition, partitionName, folder, name);
           }) > 0;
}

void SetListingOverride(std::optional<Bytes> payload) {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    service.listingOverride = std::move(payload);
}

Bytes ProvisioningFile(std::uint32_t periodMs, bool bigEndian) {
    // Byte 1 puts the value block at offset 10; byte 9 gives its byte order;
    // the two values after the period are not used.
    Bytes bytes(22, 0);
    bytes[1] = 9;
    bytes[9] = bigEndian ? 1 : 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto shift = 8 * (bigEndian ? 3 - i : i);
        bytes[10 + i] = static_cast<std::uint8_t>(periodMs >> shift);
    }
    return bytes;
}

Bytes FileEntry(std::u16string_view name, std::u16string_view folder, std::uint32_t usedSize) {
    Bytes entry(kEntrySize, 0);
    PutWide(entry, 0, name, kEntryNameChars);
    PutWide(entry, kEntryFolderOffset, folder, kEntryFolderChars);
    PutU32(entry, kEntrySizeOffset, usedSize);
    return entry;
}

void Fail(Kind kind, NTSTATUS status, bool always) {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    service.faults[kind == Kind::List ? 0 : 1] = Fault{Fault::What::Fail, status, always};
}

void Hang(Kind kind, bool always) {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    service.faults[kind == Kind::List ? 0 : 1] = Fault{Fault::What::Hang, STATUS_SUCCESS, always};
}

void ClearFaults() {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    service.faults[0] = {};
    service.faults[1] = {};
}

void OnRequest(std::function<void(const Request&)> hook) {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    service.hook = std::move(hook);
}

void SetPresent(bool present) {
    if (present) {
        Device()->Publish();
    } else {
        Device()->Withdraw();
    }
}

bool Present() {
    return Device()->Present();
}

NTSTATUS QueryRemove(bool veto) {
    return Device()->QueryRemove(veto);
}

void CancelRemove() {
    Device()->CancelRemove();
}

void CompleteRemove() {
    Device()->CompleteRemove();
}

TargetAnswer Answer(const TargetRequest& io) {
    Service& service = TheService();
    Request request;
    request.bytes = io.input;
    request.outputCapacity = io.outputCapacity;
    request.timeoutMs = io.timeoutMs;
    const bool wellFormed = Parse(io, request);
    std::function<void(const Request&)> hook;
    {
        std::lock_guard guard(service.lock);
        hook = service.hook;
    }
    if (hook) {
        hook(request);
    }

    TargetAnswer answer;
    Bytes payload;
    std::lock_guard guard(service.lock);
    Fault fault = request.kind == Kind::Other ? Fault{} : service.TakeFault(request.kind);
    if (!wellFormed) {
        answer.status =
            request.kind == Kind::Other ? STATUS_INVALID_DEVICE_REQUEST : STATUS_INVALID_PARAMETER;
    } else {
        answer.status = Payload(service, request, &payload);
    }
    if (NT_SUCCESS(answer.status) || fault.what != Fault::What::None) {
        Bytes reply(kReplyHeader, 0);
        std::fill_n(reply.begin(), 8, kUnreadPattern);
        std::fill_n(reply.begin() + 12, 4, kUnreadPattern);
        if (fault.what == Fault::What::Fail) {
            answer.status = fault.status;
            PutU32(reply, 8, static_cast<std::uint32_t>(payload.size()));
        } else if (kReplyHeader + payload.size() > io.outputCapacity) {
            answer.status = STATUS_BUFFER_TOO_SMALL;
            PutU32(reply, 8, static_cast<std::uint32_t>(payload.size()));
        } else {
            PutU32(reply, 16, static_cast<std::uint32_t>(payload.size()));
            reply.insert(reply.end(), payload.begin(), payload.end());
        }
        answer.output = std::move(reply);
        answer.withhold = fault.what == Fault::What::Hang;
    }
    request.status = answer.withhold ? STATUS_PENDING : answer.status;

    std::string line = std::string("partition: ") + KindName(request.kind);
    if (!request.path.empty()) {
        line += " " + Narrow(request.path);
    }
    line += answer.withhold ? std::string(" withheld") : " -> " + StatusText(answer.status);
    if (answer.status == STATUS_BUFFER_TOO_SMALL || answer.status == STATUS_BUFFER_OVERFLOW) {
        line += " (" + std::to_string(payload.size()) + " bytes needed)";
    } else if (NT_SUCCESS(answer.status) && !answer.withhold) {
        line += " (" + std::to_string(payload.size()) + " bytes)";
    }
    if (!request.problem.empty()) {
        line += " (" + request.problem + ")";
    }
    service.activity.push_back(std::move(line));
    service.requests.push_back(std::move(request));
    return answer;
}

std::vector<Request> Requests() {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    return service.requests;
}

unsigned RequestCount(Kind kind) {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    return static_cast<unsigned>(
        std::count_if(service.requests.begin(), service.requests.end(),
                      [kind](const Request& request) { return request.kind == kind; }));
}

std::size_t WithheldCount() {
    return Device()->WithheldCount();
}

void ReleaseWithheld() {
    Device()->ReleaseWithheld();
}

std::vector<std::string> TakeActivity() {
    Service& service = TheService();
    std::lock_guard guard(service.lock);
    return std::exchange(service.activity, {});
}

std::optional<Kind> KindFromName(std::string_view name) {
    if (name == "list") {
        return Kind::List;
    }
    if (name == "read") {
        return Kind::Read;
    }
    return std::nullopt;
}

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::List:
        return "list";
    case Kind::Read:
        return "read";
    case Kind::Other:
        break;
    }
    return "other";
}

} // namespace sim::partition
