// The driver library as the framework's host loads it: its one exported entry.
// What the loaded library does is the end-to-end scenarios' to show.
#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

TEST(DriverLibraryExports, OnlyTheFrameworkEntry) {
    // Loaded as the driver host loads it: once mapped, the image stays.
    void* library = dlopen(HALVEX_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_NE(dlsym(library, "FxDriverEntryUm"), nullptr);
    for (const char* hidden : {"DriverEntry", "EvtDriverDeviceAdd", "CreateDevice",
                               "gSensorStateMap", "gModemNotifiers"}) {
        EXPECT_EQ(dlsym(library, hidden), nullptr) << hidden;
    }
    dlclose(library);
}

} // namespace
