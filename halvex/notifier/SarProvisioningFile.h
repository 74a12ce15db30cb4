// The SAR provisioning file: "WLAN_SAR2CFG.PROVISION" in the "TSRL" folder of
// the SoC's "DPP" partition, which gives the WLAN channels their refresh period.
#pragma once

#include "platform/types.h"

// Reads the file through the device's SocPartition module (gWlanDevice) and
// sets gWlanRefreshPeriodMs when, and only when, the file was read whole.
// A negative status: nothing was set.
NTSTATUS ReadSarProvisioningFile();

// The refresh period of a provisioning file of `Size` bytes: byte 1 is n (the
// value block's offset minus 1, signed), byte 9 the byte order (0 little-endian),
// the period the four bytes at n + 1. STATUS_UNSUCCESSFUL, and *PeriodMs
// untouched, when the file does not hold them.
NTSTATUS ParseSarProvisioningFile(const BYTE* File, ULONG Size, ULONG* PeriodMs);

// The four bytes at Offset .. Offset + 3 as one number, least significant
// byte first when LittleEndian is non-zero, most significant first otherwise.
ULONG ProvisionBytesToUInt32(const BYTE* Buffer, ULONG Offset, BOOLEAN LittleEndian);
