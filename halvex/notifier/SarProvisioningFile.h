// The SAR provisioning file: "WLAN_SAR2CFG.PROVISION" in the "TSRL" folder of
// the SoC's "DPP" partition, which gives the WLAN channels their refresh period.
#pragma once

#include "platform/types.h"

// Reads the file through the device's SocPartition module (gWlanDevice) and
// sets gWlanRefreshPeriodMs when, and only when, the file was read whole.
// A negative status: nothing was set.
NTSTATUS ReadSarProvisioningFile();
