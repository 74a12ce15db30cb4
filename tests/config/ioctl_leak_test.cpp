// IOCTLs as the fuzz target sends them: once served, a request leaves nothing
// of itself behind, and nothing of the device is left once it is gone.
#include "halvex/driver/Ioctl.h"
#include "halvex/provider/AppsDataProvider.h"
#include "platform/sim/quiescence.h"
#include "platform/win32.h"
#include "tests/config/ConfigFixture.h"

namespace configtest {
namespace {

class IoctlLeak : public ConfigTest {};

TEST_F(IoctlLeak, RequestsTheFuzzerSentLeaveNothingBehindOnceServed) {
    AddDevice();
    sim::HostFile file = mHost->OpenFile();
    ASSERT_TRUE(file);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto provider = std::make_unique<AppsDataProvider>(7, event, Device());
    gSensorStateMap.insert({7, provider.get()});

    // The saved input: a set-sensor-state with 17 input bytes and an output
    // buffer of 15; then a get-info, which carries data back.
    const std::vector<std::uint8_t> refused = {0x00, 0x93, 0x00, 0x93, 0x00, 0x93, 0x00, 0x93, 0x46,
                                               0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00};
    ASSERT_TRUE(sim::Settle()); // the create request is done with
    const sim::HostLeaks before = mHost->LeakReport();
    for (int i = 0; i < 10; ++i) {
        sim::IoResult result =
            mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, refused, 15);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        result = mHost->DeviceIoControl(file, IOCTL_HALVEX_GET_INFO, {}, 8);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output.size(), 8u);
    }
    ASSERT_TRUE(sim::Settle());
    const sim::HostLeaks after = mHost->LeakReport();
    EXPECT_EQ(after.objects, before.objects);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.threads, before.threads);

    gSensorStateMap.clear();
    provider.reset();
    mHost->CloseFile(file);
    ASSERT_EQ(mHost->Remove(), STATUS_SUCCESS);
    mHost->Unload();
    CloseHandle(event);
    sim::HostLeaks left = mHost->LeakReport();
    EXPECT_TRUE(left.Empty()) << left.ToString();
}

} // namespace
} // namespace configtest
