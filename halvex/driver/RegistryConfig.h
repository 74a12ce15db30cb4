// Reads the SAR configuration from the device's "Device Parameters" key into
// DEVICE_CONTEXT: the channels, their sensors and their mapping tables.
// Every registry access goes through the device's Registry module.
#pragma once

#include "halvex/driver/ChannelConfig.h"
#include "platform/registry.h"
#include "platform/types.h"
#include "platform/wdf.h"

// The whole read. Success leaves ConfiguredCount valid records in Channels;
// failure leaves Channels NULL and ConfiguredCount 0.
NTSTATUS ReadSarConfiguration(WDFDEVICE Device);

void ReadNumberOfChannels(WDFDEVICE Device, WDFKEY Key);
void ReadWlanAntCount(WDFDEVICE Device, WDFKEY Key);

// Subkey enumeration callbacks; FALSE stops the enumeration.
BOOLEAN CountChannelSubkey(PVOID Context, WDFKEY Key, PWSTR Name); // Context: ULONG count
BOOLEAN ReadChannelSubkey(PVOID Context, WDFKEY Key, PWSTR Name);  // Context: the WDFDEVICE
BOOLEAN CountSensorSubkey(PVOID Context, WDFKEY Key, PWSTR Name);  // Context: ULONG count
BOOLEAN ReadSensorSubkey(PVOID Context, WDFKEY Key, PWSTR Name);   // Context: SENSOR_READ_CONTEXT

struct SENSOR_READ_CONTEXT {
    WDFDEVICE Device;
    PCHANNEL_INFO Channel;
};

NTSTATUS ReadChannelType(WDFDEVICE Device, WDFKEY Key, PCHANNEL_INFO Channel);
NTSTATUS ReadSarDataMapping(WDFDEVICE Device, WDFKEY Key, PCHANNEL_INFO Channel);

// A 4-byte value; *Value is 0 unless the read succeeds.
bool RegistryReadUlong(WDFDEVICE Device, WDFKEY Key, PCWSTR Name, PULONG Value);
ULONG ReadUlongOrDefault(WDFDEVICE Device, WDFKEY Key, PCWSTR Name, ULONG Default);
// A string value in a new buffer parented to the device. The buffer holds
// one zeroed character beyond what was read, so it is always terminated;
// *BytesRead (optional) is the value's length in bytes.
bool ReadRegistryString(WDFDEVICE Device, WDFKEY Key, PCWSTR Name, PWSTR* Buffer,
                        PULONG BytesRead = nullptr);
