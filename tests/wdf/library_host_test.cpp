#include "platform/sim/driver_host.h"
#include "wdf_fixture.h"

namespace {

using LibraryHostTest = WdfTest;

TEST_F(LibraryHostTest, LoadsADriverLibraryThroughItsExportedEntry) {
    sim::DriverHost host;
    EXPECT_EQ(host.LoadLibrary("/nonexistent/driver.so"), STATUS_NOT_FOUND);
    ASSERT_EQ(host.LoadLibrary(HVX_TEST_DRIVER_LIBRARY), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("test library entry"));
    EXPECT_NE(host.Driver(), nullptr);
    ASSERT_EQ(host.AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(host.Start(), STATUS_SUCCESS);
    ASSERT_EQ(host.Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(host.Wake(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::TraceContains("test library D0Entry from 5, start 1"));
    EXPECT_TRUE(sim::TraceContains("test library D0Entry from 4, start 2"));
    ASSERT_EQ(host.Remove(), STATUS_SUCCESS);
    host.Unload();
    EXPECT_TRUE(sim::TraceContains("test library unloaded"));
    EXPECT_TRUE(host.LeakReport().Empty()) << host.LeakReport().ToString();
}

} // namespace
