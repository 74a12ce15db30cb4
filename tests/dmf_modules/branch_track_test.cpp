// BranchTrack as the framework adds it to a device whose device-init record
// carries its configuration: the registry switch, the branches a client and a
// module declare, the IOCTL's answers byte for byte and its length checks,
// and the symbolic link retried while its name is taken.
#include "dmf/modules/Dmf_BranchTrack.h"
#include "platform/sim/registry.h"
#include "platform/sim/wdf_control.h"
#include "tests/dmf_modules/module_device.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace moduletest {
namespace {

using Bytes = std::vector<std::uint8_t>;

DMFMODULE gBranchTrack = nullptr;

BOOLEAN TakenExactly(DMFMODULE, PCSTR, ULONG Context, ULONG Count) {
    return Count == Context ? TRUE : FALSE;
}

void ClientBranches(DMFMODULE BranchTrack) {
    gBranchTrack = BranchTrack;
    DMF_BranchTrack_BranchCreate(BranchTrack, "Client", "Open", "once", TakenExactly, 1);
}

// A module type that declares a branch when the framework asks it to.
DMF_MODULE_DECLARE_CUSTOM_TYPE(BranchUser)
void BranchUserBranches(DMFMODULE DmfModule) {
    DMF_BranchTrack_BranchCreate(DMF_BranchTrackModuleGet(DmfModule),
                                 DMF_ModuleInstanceNameGet(DmfModule), "Declared", "taken",
                                 TakenExactly, 1);
}
NTSTATUS BranchUser_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* Attributes,
                           WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    DMF_MODULE_DESCRIPTOR descriptor;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, BranchUser, DMF_MODULE_OPTIONS_PASSIVE,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    descriptor.BranchTrackInitialize = BranchUserBranches;
    return DMF_ModuleCreate(Device, Attributes, ObjectAttributes, &descriptor, DmfModule);
}

Bytes& Put(Bytes& out, std::initializer_list<size_t> words) {
    for (size_t word : words) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<std::uint8_t>(word >> shift));
        }
    }
    return out;
}
Bytes& PutText(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.c_str(), text.c_str() + text.size() + 1);
    return out;
}
Bytes Command(ULONG command) {
    Bytes input;
    return Put(input, {command});
}

struct Branch {
    ULONG count;
    std::string name, hint, module;
    std::uint8_t status;
    EVT_DMF_BranchTrack_StatusQuery* query;
    ULONG context;
};

// The command-2 answer as a diagnostic tool reads it.
Bytes Answer(const std::vector<Branch>& branches) {
    Bytes out;
    Put(out, {2, 0});
    for (const Branch& b : branches) {
        const size_t next =
            &b == &branches.back() ? 0 : 43 + b.name.size() + b.hint.size() + b.module.size();
        Put(out, {next, 40, b.count, 40, 41 + b.name.size(), 42 + b.name.size() + b.hint.size()});
        out.insert(out.end(), {b.status, 0, 0, 0});
        const auto* query = reinterpret_cast<const std::uint8_t*>(&b.query);
        out.insert(out.end(), query, query + sizeof(b.query));
        PutText(PutText(PutText(Put(out, {b.context}), b.name), b.hint), b.module);
    }
    return out;
}

class BranchTrackTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        gBranchTrack = nullptr;
        sim::wdf::SetPoisonNewMemory(true);
        sim::registry::SetDword(sim::registry::kDriverKey, u"BranchTrackEnabled", 1);
        mConfig = {8, 10, 4, nullptr, ClientBranches};
        mDeviceInitHook = [this](PDMFDEVICE_INIT init) {
            DMF_DmfDeviceInitSetBranchTrackConfig(init, &mConfig);
        };
        Add(BranchUser_Create);
    }
    void Start() {
        if (!mHost) {
            ASSERT_EQ(STATUS_SUCCESS, AddDevice());
        }
        ASSERT_EQ(STATUS_SUCCESS, Host().Start());
        mFile = Host().OpenFile();
    }
    sim::IoResult Query(const Bytes& input, size_t outputLength,
                        ULONG code = IOCTL_BRANCHTRACK_QUERY_INFORMATION) {
        return Host().DeviceIoControl(mFile, code, input, outputLength);
    }
    bool HasInterface() {
        auto records = sim::wdf::DeviceInterfaces(Host().Device());
        return std::any_of(records.begin(), records.end(), [](const auto& record) {
            return record.interfaceClass == GUID_DEVINTERFACE_BranchTrack;
        });
    }

    DMF_CONFIG_BranchTrack mConfig{};
    sim::HostFile mFile;
};

// Four threads count a declared branch and declare another one at once. The
// answers are then checked byte for byte, and their lengths: the name takes 28
// bytes, the branches 8 + (40 + 4+4+6 + 3) + (40 + 8+5+10 + 3) + (40 + 4+0+6 + 3)
// = 184. A name or hint too long, or a table full, refuses a branch.
TEST_F(BranchTrackTest, AnswersItsBranchesInDeclarationOrderToBuffersLongEnoughForThem) {
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_TRUE(HasInterface());
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([] {
            for (int taken = 0; taken < 100; ++taken) {
                DMF_BranchTrack_BranchTaken(gBranchTrack, "Client", "Open");
                DMF_BranchTrack_BranchTaken(gBranchTrack, "Client", "Late");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(16u, LiveMemoryTagged("BPMo")); // every key buffer came back

    Bytes name;
    EXPECT_EQ(PutText(Put(name, {1, 20, 0, 0}), "BranchTrack"), Query(Command(1), 64).output);
    EXPECT_EQ(Answer({{400, "Open", "once", "Client", 0, TakenExactly, 1},
                      {0, "Declared", "taken", "BranchUser", 0, TakenExactly, 1},
                      {400, "Late", "", "Client", 1, nullptr, 0}}),
              Query(Command(2), 512).output);

    const std::tuple<Bytes, size_t, NTSTATUS, size_t, ULONG> requests[] = {
        {{}, 200, STATUS_BUFFER_TOO_SMALL, 0, 0},
        {{1, 0, 0}, 200, STATUS_BUFFER_TOO_SMALL, 0, 0},
        {Command(1), 27, STATUS_BUFFER_TOO_SMALL, 0, 0},
        {Command(1), 28, STATUS_SUCCESS, 28, 0},
        {Command(2), 176, STATUS_BUFFER_TOO_SMALL, 0, 0},
        {Command(2), 183, STATUS_BUFFER_TOO_SMALL, 0, 0},
        {Command(2), 184, STATUS_SUCCESS, 184, 0},
        {Command(3), 200, STATUS_NOT_SUPPORTED, 0, 0},
        {Command(1), 200, STATUS_NOT_SUPPORTED, 0, 4}}; // not BranchTrack's code: unclaimed
    for (const auto& [input, outputLength, status, bytes, codeOffset] : requests) {
        sim::IoResult result =
            Query(input, outputLength, IOCTL_BRANCHTRACK_QUERY_INFORMATION + codeOffset);
        EXPECT_EQ(status, result.status) << input.size() << " in, " << outputLength << " out";
        EXPECT_EQ(bytes, result.bytes) << input.size() << " in, " << outputLength << " out";
    }
    EXPECT_FALSE(sim::TraceContains("WDF: ")); // no count beyond a buffer, no second completion

    const std::tuple<PCSTR, PCSTR, std::string, NTSTATUS> branches[] = {
        {"ElevenChars", "B", "", STATUS_INVALID_PARAMETER},
        {"Client", "NineChars", "", STATUS_INVALID_PARAMETER},
        {"Client", "B", std::string(65, 'h'), STATUS_INVALID_PARAMETER},
        {"TenCharsXY", "EightChr", std::string(64, 'h'), STATUS_SUCCESS},
        {"Client", "Fifth", "", STATUS_INSUFFICIENT_RESOURCES}};
    for (const auto& [module, branch, hint, status] : branches) {
        EXPECT_EQ(status, DMF_BranchTrack_BranchCreate(gBranchTrack, module, branch, hint.c_str(),
                                                       nullptr, 0))
            << module << "/" << branch;
    }
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              DMF_BranchTrack_BranchTaken(gBranchTrack, "Client", "Fifth"));
    EXPECT_EQ(STATUS_SUCCESS, DMF_BranchTrack_BranchTaken(gBranchTrack, "Client", "Open"));
}

// Device add with the switch ("BranchTrackEnabled": -1 absent), a table of
// `branches`, and the interface or a symbolic link, whose name may be taken
// (fault 1 once, 2 for good) or fail otherwise (3).
struct AddCase {
    int enabled;
    ULONG branches;
    bool clientModule, link;
    int fault;
    NTSTATUS status;
    unsigned linkCalls;
    size_t sleeps; // of 1000 ms before a retry
};
class BranchTrackAddTest : public BranchTrackTest, public testing::WithParamInterface<AddCase> {};

TEST_P(BranchTrackAddTest, SwitchAddsTheModuleWhoseLinkIsRetriedFourTimesAfterASecond) {
    static constexpr WCHAR kLink[] = u"\\DosDevices\\BranchTrackTest";
    const AddCase& param = GetParam();
    sim::registry::DeleteValue(sim::registry::kDriverKey, u"BranchTrackEnabled");
    if (param.enabled >= 0) {
        sim::registry::SetDword(sim::registry::kDriverKey, u"BranchTrackEnabled", param.enabled);
    }
    if (!param.clientModule) {
        mSpecs.clear();
    }
    mConfig.MaximumBranches = param.branches;
    mConfig.SymbolicLinkName = param.link ? kLink : nullptr;
    const char* point =
        param.link ? "WdfDeviceCreateSymbolicLink" : "WdfDeviceCreateDeviceInterface";
    if (param.fault == 2) {
        sim::wdf::TakeSymbolicLinkName(kLink);
    } else if (param.fault != 0) {
        sim::ArmFault(point,
                      sim::FaultSpec::Once(param.fault == 1 ? 0 : STATUS_INSUFFICIENT_RESOURCES));
    }
    EXPECT_EQ(param.status, AddDevice());
    EXPECT_EQ(0u, sim::registry::OpenKeyCount());
    EXPECT_EQ(param.linkCalls, sim::FaultCalls("WdfDeviceCreateSymbolicLink"));
    EXPECT_EQ(param.sleeps, sim::TraceCount("Sleep 1000 ms"));
    if (!NT_SUCCESS(param.status)) {
        return;
    }
    const bool on = param.enabled > 0;
    EXPECT_EQ(on && param.link, sim::wdf::SymbolicLinkExists(kLink));
    EXPECT_EQ(on && !param.link, HasInterface());
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(on ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED, Query(Command(1), 64).status);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, BranchTrackAddTest,
    testing::Values(AddCase{-1, 4, true, false, 0, STATUS_SUCCESS, 0, 0},
                    AddCase{0, 4, true, false, 0, STATUS_SUCCESS, 0, 0},
                    AddCase{0, 4, false, true, 0, STATUS_SUCCESS, 0, 0},
                    AddCase{2, 4, false, false, 0, STATUS_SUCCESS, 0, 0},
                    AddCase{1, 4, true, false, 3, STATUS_INSUFFICIENT_RESOURCES, 0, 0},
                    AddCase{1, 4, true, true, 1, STATUS_SUCCESS, 2, 1},
                    AddCase{1, 4, true, true, 2, STATUS_OBJECT_NAME_COLLISION, 5, 4},
                    AddCase{1, 4, true, true, 3, STATUS_INSUFFICIENT_RESOURCES, 1, 0},
                    AddCase{1, 0, true, false, 0, STATUS_INVALID_PARAMETER, 0, 0}));

} // namespace
} // namespace moduletest
