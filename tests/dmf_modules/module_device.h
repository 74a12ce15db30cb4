// A fresh machine per test and a client driver whose device adds the
// framework modules a test asks for, in order, at the top of its collection.
#pragma once

#include "dmf/framework/DmfDefinitions.h"
#include "platform/sim/driver_host.h"
#include "tests/support/MachineTest.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace moduletest {

struct ModuleSpec {
    DMF_ModuleInstanceCreate* creator = nullptr;
    std::vector<unsigned char> config; // copied into the module at device add
    BOOLEAN passiveLevel = FALSE;
    DMFMODULE handle = nullptr; // written by the framework
};

class ModuleTest : public halvex::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a module to the next device; returns its index.
    template <typename Config>
    size_t Add(DMF_ModuleInstanceCreate* creator, const Config& config, bool passive = false) {
        ModuleSpec spec;
        spec.creator = creator;
        spec.config.resize(sizeof(Config));
        std::memcpy(spec.config.data(), &config, sizeof(Config));
        spec.passiveLevel = passive ? TRUE : FALSE;
        mSpecs.push_back(std::move(spec));
        return mSpecs.size() - 1;
    }
    size_t Add(DMF_ModuleInstanceCreate* creator, bool passive = false);

    // Loads the test driver and runs device add.
    NTSTATUS AddDevice();
    DMFMODULE Module(size_t index) const { return mSpecs.at(index).handle; }
    sim::DriverHost& Host() { return *mHost; }

    // Memory objects with this pool tag that are still alive.
    static size_t LiveMemoryTagged(const char (&tag)[5]);

    std::vector<ModuleSpec> mSpecs;
    // Called with the device-init record before the device is created.
    std::function<void(PDMFDEVICE_INIT)> mDeviceInitHook;
    std::unique_ptr<sim::DriverHost> mHost;
};

} // namespace moduletest
