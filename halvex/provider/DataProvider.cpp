// The device handle shared by every provider of the module.
#include "halvex/provider/DataProvider.h"

#include <atomic>

namespace {
std::atomic<WDFDEVICE> gProviderDevice{nullptr};
} // namespace

WDFDEVICE DataProvider::ModuleDevice() {
    return gProviderDevice.load();
}

void DataProvider::SetModuleDevice(WDFDEVICE device) {
    gProviderDevice.store(device);
}
