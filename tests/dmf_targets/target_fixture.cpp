#include "tests/dmf_targets/target_fixture.h"

namespace targettest {

sim::TargetAnswer Answer(const sim::TargetRequest&) {
    sim::TargetAnswer answer;
    answer.output = {9, 8, 7, 6};
    return answer;
}

sim::TargetAnswer Withhold(const sim::TargetRequest& request) {
    sim::TargetAnswer answer = Answer(request);
    answer.withhold = true;
    return answer;
}

void TargetTest::SetUp() {
    ModuleTest::SetUp();
    sim::cm::Reset();
}

void TargetTest::TearDown() {
    ModuleTest::TearDown();
    EXPECT_EQ(sim::cm::RegistrationCount(), 0u);
}

WDFIOTARGET TargetTest::OpenTarget() {
    mDevice.Publish();
    return mDevice.OpenTarget(Host().Device());
}

} // namespace targettest
