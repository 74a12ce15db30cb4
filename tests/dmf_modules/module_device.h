// A fresh machine per test, a client driver whose device adds the framework
// modules a test asks for (in order, at the top of its collection), and a
// log of the callbacks those modules make.
#pragma once

#include "dmf/framework/DmfDefinitions.h"
#include "platform/sim/driver_host.h"
#include "tests/support/MachineTest.h"
#include "tests/support/debugger_reports.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace moduletest {

struct Call {
    PVOID module;
    PVOID pointer;
    ULONG value;
    bool operator==(const Call&) const = default;
};

// Answers `answers` in turn (the last one repeats); the gated call (counted
// from 1) waits for the gate first.
struct CallLog {
    std::mutex lock;
    std::vector<ULONG> answers;
    std::vector<Call> calls;
    std::vector<std::uint64_t> times; // machine time of each call
    size_t gatedCall = 0;
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    ULONG Record(PVOID module, PVOID pointer, ULONG value);
    size_t Count() {
        std::lock_guard guard(lock);
        return calls.size();
    }
};
CallLog& Log();

struct ModuleSpec {
    DMF_ModuleInstanceCreate* creator = nullptr;
    std::vector<unsigned char> config;
    BOOLEAN passiveLevel = FALSE;
    DMFMODULE handle = nullptr;
};

class ModuleTest : public halvex::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a module (without a config, or with one) to the next device;
    // returns its index.
    size_t Add(DMF_ModuleInstanceCreate* creator, bool passive = false) {
        return AddModule(creator, nullptr, 0, passive);
    }
    template <typename Config>
    size_t Add(DMF_ModuleInstanceCreate* creator, const Config& config, bool passive = false) {
        return AddModule(creator, &config, sizeof(Config), passive);
    }
    size_t AddModule(DMF_ModuleInstanceCreate* creator, const void* config, size_t size,
                     bool passive);
    NTSTATUS AddDevice();
    // Removes the device and forgets its modules and the log.
    void NextDevice();
    DMFMODULE Module(size_t index) const { return mSpecs.at(index).handle; }
    sim::DriverHost& Host() { return *mHost; }
    static size_t LiveMemoryTagged(const char (&tag)[5]);
    // A test that means to misuse the framework names the report it draws
    // (a part of its debugger line); any other report fails the test.
    void ExpectReport(std::string text) { mReports.Expect(std::move(text)); }

    std::vector<ModuleSpec> mSpecs;
    // Called with the device-init record before the device is created.
    std::function<void(PDMFDEVICE_INIT)> mDeviceInitHook;
    std::unique_ptr<sim::DriverHost> mHost;
    halvex::testing::DebuggerReports mReports;
};

} // namespace moduletest
