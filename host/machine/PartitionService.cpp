#include "host/machine/PartitionService.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/partition_service.h"

namespace host {

namespace {

namespace partition = sim::partition;

// Scenario files are UTF-8; a file name outside ASCII is taken byte for byte.
std::u16string Wide(const std::string& text) {
    std::u16string wide;
    for (char c : text) {
        wide.push_back(static_cast<unsigned char>(c));
    }
    return wide;
}

partition::Kind KindOf(const Command& c) {
    return partition::KindFromName(c.word).value_or(partition::Kind::Other);
}

} // namespace

std::string RunPartitionCommand(const Command& c, std::string* result) {
    switch (c.op) {
    case Op::PartitionPresent:
    case Op::PartitionAbsent:
        partition::SetPresent(c.op == Op::PartitionPresent);
        return {};
    case Op::PartitionQueryRemove:
        *result = StatusText(static_cast<std::uint32_t>(partition::QueryRemove(c.flag)));
        return {};
    case Op::PartitionRemoveCancelled:
        partition::CancelRemove();
        return {};
    case Op::PartitionRemoveComplete:
        partition::CompleteRemove();
        return {};
    case Op::PartitionFile:
        partition::PutFile(Wide(c.path), c.bytes);
        return {};
    case Op::PartitionPeriod:
        partition::PutFile(std::u16string(partition::kProvisioningPath),
                           partition::ProvisioningFile(c.a, c.flag));
        return {};
    case Op::PartitionDelete:
        if (!partition::DeleteFile(Wide(c.path))) {
            return "no file " + c.path + " in the partition";
        }
        return {};
    case Op::PartitionFail:
        partition::Fail(KindOf(c), static_cast<NTSTATUS>(c.a), c.flag);
        return {};
    case Op::PartitionHang:
        partition::Hang(KindOf(c), c.flag);
        return {};
    case Op::PartitionOk:
        partition::ClearFaults();
        return {};
    default:
        return "not a partition command";
    }
}

CheckOutcome EvaluatePartitionCheck(const Command& c) {
    return CountOutcome(partition::RequestCount(KindOf(c)), c.a, c.word + " request(s)");
}

std::vector<std::string> PartitionActivity() {
    return partition::TakeActivity();
}

} // namespace host
