// The provisioning file's reader against a partition service whose listing
// and file come from the fuzzer: the folder's listing as the service answers
// it (entries of any names and sizes, or none, or part of one), then the file.
// Input layout: u8 flags, u16 listing length (little-endian), the listing
// bytes, then the file's bytes. Flags: 1 adds the file's own entry (its true
// size unless 2 is set too: then the listing's first four bytes),
// 4 puts that entry first instead of last, 8 answers with the folder's own
// listing instead.
#include "halvex/driver/Driver.h"
#include "halvex/notifier/SarProvisioningFile.h"
#include "halvex/notifier/WlanChannelState.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/partition_service.h"
#include "platform/sim/registry.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

namespace partition = sim::partition;
using Bytes = std::vector<std::uint8_t>;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The driver's own device, without channels, started: its SocPartition
// module has its target open on the service.
struct Machine {
    std::unique_ptr<sim::DriverHost> host = std::make_unique<sim::DriverHost>();

    Machine() {
        sim::SetTraceLevel(TRACE_LEVEL_ERROR);
        partition::Reset();
        auto imported = sim::registry::ImportRegText(
            "Windows Registry Editor Version 5.00\n[Device Parameters]\n"
            "\"NumberOfChannels\"=dword:0\n");
        Check(imported.ok, "the configuration imports");
        Check(NT_SUCCESS(host->LoadEntry(DriverEntry)), "the driver loads");
        Check(NT_SUCCESS(host->AddDevice()), "device add");
        Check(NT_SUCCESS(host->Start()), "start");
        gWlanDevice = host->Device();
    }
};

Machine& TheMachine() {
    static Machine* machine = new Machine(); // lives for the whole run
    return *machine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TheMachine();
    if (size < 3) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    const std::size_t listingLength = std::min<std::size_t>(data[1] | (data[2] << 8), size - 3);
    Bytes listing(data + 3, data + 3 + listingLength);
    Bytes file(data + 3 + listingLength, data + size);

    partition::Clear();
    partition::PutFile(std::u16string(partition::kProvisioningPath), file);
    if ((flags & 1) != 0) {
        std::uint32_t used = static_cast<std::uint32_t>(file.size());
        if ((flags & 2) != 0 && listing.size() >= 4) {
            std::memcpy(&used, listing.data(), 4);
        }
        Bytes own = partition::FileEntry(u"WLAN_SAR2CFG.PROVISION", u"TSRL", used);
        listing.insert((flags & 4) != 0 ? listing.begin() : listing.end(), own.begin(), own.end());
    }
    if ((flags & 8) == 0) {
        partition::SetListingOverride(listing);
    }
    sim::ClearTrace();
    gWlanRefreshPeriodMs.store(kWlanNoRefresh);
    NTSTATUS status = ReadSarProvisioningFile();
    const ULONG period = gWlanRefreshPeriodMs.load();

    ULONG parsed = kWlanNoRefresh;
    NTSTATUS parse =
        ParseSarProvisioningFile(file.data(), static_cast<ULONG>(file.size()), &parsed);
    if (period != kWlanNoRefresh) {
        Check(status == STATUS_SUCCESS, "a period is set only by a successful read");
        Check(NT_SUCCESS(parse) && parsed == period, "the period is the file's");
    }
    return 0;
}
