// IOCTLs as the fuzz target sends them, each followed by a leak check the
// moment the call returns: what the host and the driver hold for a request
// must be reachable, and nothing of it may be left once the device is gone.
#include "halvex/driver/Ioctl.h"
#include "halvex/provider/AppsDataProvider.h"
#include "platform/sim/quiescence.h"
#include "platform/win32.h"
#include "tests/config/ConfigFixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define HVX_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HVX_LEAK_CHECKS 1
#endif
#endif
#ifdef HVX_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

namespace configtest {
namespace {

// Whether a leak check now finds memory nothing points to. Only an ASan build
// can tell; elsewhere nothing is found.
bool LeakFoundNow() {
#ifdef HVX_LEAK_CHECKS
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

class IoctlLeak : public ConfigTest {};

TEST_F(IoctlLeak, RequestsTheFuzzerSentAreNotLeakedWhenTheCallReturns) {
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
    sim::IoResult first = mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, refused, 15);
    EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(sim::Settle());
    const std::size_t threads = sim::LiveThreadCount();
    int leaks = 0;
    for (int i = 0; i < 100; ++i) {
        sim::IoResult result =
            mHost->DeviceIoControl(file, IOCTL_HALVEX_SET_SENSOR_STATE, refused, 15);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        leaks += LeakFoundNow() ? 1 : 0;
        result = mHost->DeviceIoControl(file, IOCTL_HALVEX_GET_INFO, {}, 8);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output.size(), 8u);
        leaks += LeakFoundNow() ? 1 : 0;
    }
    EXPECT_EQ(leaks, 0);
    // The requests were served by threads that stay: a handful, not one each.
    ASSERT_TRUE(sim::Settle());
    EXPECT_LT(sim::LiveThreadCount(), threads + 10);

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
