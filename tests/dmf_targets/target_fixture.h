// The framework's request-sending modules on the module test device, with a
// simulated device of another driver to send to. Each test ends with the
// device removed and nothing of it left: no object, thread, handle or
// configuration-manager registration.
#pragma once

#include "dmf/modules/Dmf_RequestTarget.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/target_device.h"
#include "tests/dmf_modules/module_device.h"

#include <vector>

namespace targettest {

inline constexpr GUID kInterfaceClass = {
    0x5F797E8F, 0xE6A4, 0x41F0, {0xB5, 0xA8, 0x56, 0x0A, 0x4D, 0x0B, 0xBC, 0x20}};

// The device's answer to every request: {9, 8, 7, 6}, cut to the output buffer.
sim::TargetAnswer Answer(const sim::TargetRequest& request);
// The same answer, withheld until released.
sim::TargetAnswer Withhold(const sim::TargetRequest& request);

using Bytes = std::vector<std::uint8_t>;

class TargetTest : public moduletest::ModuleTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // An I/O target opened on the simulated device, as a parent module would.
    WDFIOTARGET OpenTarget();

    sim::TargetDevice mDevice{kInterfaceClass, u"\\??\\ROOT#PART#0000#{5f797e8f}", Answer};
};

} // namespace targettest
