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

void Completions::Record(DMFMODULE DmfModule, PVOID ClientRequestContext, PVOID InputBuffer,
                         size_t InputBufferBytesWritten, PVOID OutputBuffer,
                         size_t OutputBufferBytesRead, NTSTATUS CompletionStatus) {
    auto* self = static_cast<Completions*>(ClientRequestContext);
    auto bytes = [](PVOID buffer, size_t size) {
        auto* start = static_cast<std::uint8_t*>(buffer);
        return buffer != nullptr ? Bytes(start, start + size) : Bytes{};
    };
    std::lock_guard guard(self->mLock);
    self->mSeen.push_back({DmfModule, bytes(InputBuffer, InputBufferBytesWritten),
                           bytes(OutputBuffer, OutputBufferBytesRead), CompletionStatus});
}

std::vector<Completion> Completions::Seen() {
    std::lock_guard guard(mLock);
    return mSeen;
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
