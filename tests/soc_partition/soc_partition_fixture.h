// The driver's own device, started with no channels, with the simulated SoC
// partition file service present and the clock scaled so that the module's
// 5000 ms time-out passes in 5 ms.
#pragma once

#include "dmf/modules/Dmf_SocPartition.h"
#include "halvex/notifier/WlanChannelState.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/partition_service.h"
#include "tests/driver/driver_core_fixture.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace socpartition_test {

using Bytes = std::vector<std::uint8_t>;
inline constexpr std::u16string_view kPath = sim::partition::kProvisioningPath;

class SocPartitionTest : public driver_test::DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        sim::cm::Reset();
        sim::partition::Reset();
        sim::SetTimeScale(0.001);
        Configure(driver_test::DeviceKey(0));
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(sim::Settle());
    }
    void TearDown() override {
        gWlanDevice = nullptr;
        gWlanRefreshPeriodMs.store(kWlanNoRefresh);
        host.reset();
        sim::partition::Reset();
        DriverTest::TearDown();
    }

    DMFMODULE Module() { return DmfContext()->DmfModuleSocPartition; }
    static SocPartition_PartitionInfo Dpp() {
        SocPartition_PartitionInfo info{};
        info.PartitionGuid = sim::partition::kDppGuid;
        std::copy_n(u"DPP", 4, info.PartitionName);
        return info;
    }
    NTSTATUS List(void* buffer, ULONG* size) {
        SocPartition_PartitionInfo info = Dpp();
        return DMF_SocPartition_TSFS_ListDirectoryFiles(Module(), &info, nullptr, buffer, size);
    }
    NTSTATUS Read(std::u16string_view path, void* buffer, ULONG* size) {
        SocPartition_PartitionInfo info = Dpp();
        SocPartition_FileName name{};
        std::copy_n(path.begin(), std::min<std::size_t>(path.size(), 47), name.Name);
        return DMF_SocPartition_TSFS_ReadFile(Module(), &info, &name, buffer, size);
    }
};

} // namespace socpartition_test
