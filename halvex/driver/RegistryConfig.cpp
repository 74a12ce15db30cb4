// The registry configuration reader. Each step raises its failure as a
// runtime error with a fixed message and catches it at its own boundary, so
// only traces and the state of DEVICE_CONTEXT leave the reader.
#include "halvex/driver/RegistryConfig.h"

#include "dmf/modules/Dmf_Registry.h"
#include "halvex/driver/DeviceContext.h"
#include "platform/com.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace {

constexpr ULONG kConfigPoolTag = WdfMakePoolTag("Hvx0");
// Mapping value names are formed in two characters: one digit and the terminator.
constexpr ULONG kMappingNameCharacters = 2;
constexpr ULONG kMaximumMappingEntries = 10;

// State of one read: reset at the start of every ReadSarConfiguration.
ULONG gChannelSubkeyCount = 0;
ULONG gNextChannelIndex = 0;

[[noreturn]] void Fail(const char* message) {
    throw std::runtime_error(message);
}

void TraceStandardException(const char* function, const std::exception& e, NTSTATUS ntStatus) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%s: %s GetLastError=%u ntStatus=0x%08X", function,
                e.what(), static_cast<unsigned>(GetLastError()), static_cast<unsigned>(ntStatus));
}

void TraceUnknownException(const char* function, NTSTATUS ntStatus) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                "%s: unknown exception GetLastError=%u ntStatus=0x%08X", function,
                static_cast<unsigned>(GetLastError()), static_cast<unsigned>(ntStatus));
}

PDEVICE_CONTEXT DeviceContextOf(WDFDEVICE device) {
    return device != nullptr ? DeviceGetContext(device) : nullptr;
}

PHALVEX_DMF_DEVICE_CONTEXT DmfContextOf(WDFDEVICE device) {
    return device != nullptr ? HalvexDmfDeviceGetContext(device) : nullptr;
}

// A configuration buffer of `bytes`, zeroed, parented to the device.
NTSTATUS AllocateConfigMemory(WDFDEVICE device, size_t bytes, WDFMEMORY* memory, PVOID* buffer) {
    *memory = nullptr;
    *buffer = nullptr;
    if (bytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    NTSTATUS ntStatus =
        WdfMemoryCreate(&attributes, PagedPool, kConfigPoolTag, bytes, memory, buffer);
    if (NT_SUCCESS(ntStatus)) {
        std::memset(*buffer, 0, bytes);
    } else {
        *memory = nullptr;
        *buffer = nullptr;
    }
    return ntStatus;
}

// A string as read: whole characters up to the first terminator within what
// was read, compared whole and case-sensitively.
bool StringEquals(PCWSTR buffer, ULONG bytesRead, std::u16string_view expected) {
    std::u16string_view read(buffer, bytesRead / sizeof(WCHAR));
    const size_t terminator = read.find(u'\0');
    if (terminator != std::u16string_view::npos) {
        read = read.substr(0, terminator);
    }
    return read == expected;
}

// The decimal text of `value` in a buffer of `characters`; false when it does not fit.
bool FormatDecimal(ULONG value, PWSTR buffer, ULONG characters) {
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (count + 1 > characters) {
        if (characters > 0) {
            buffer[0] = 0;
        }
        return false;
    }
    for (ULONG i = 0; i < count; ++i) {
        buffer[i] = digits[count - 1 - i];
    }
    buffer[count] = 0;
    return true;
}

// The number a name begins with, as the C runtime's wide atoi reads it:
// leading white space, an optional sign, then digits; no digits read as 0.
// Out-of-range numbers saturate.
long long LeadingNumber(PCWSTR name) {
    size_t i = 0;
    while (name[i] == u' ' || (name[i] >= u'\t' && name[i] <= u'\r')) {
        ++i;
    }
    bool negative = false;
    if (name[i] == u'+' || name[i] == u'-') {
        negative = name[i] == u'-';
        ++i;
    }
    long long value = 0;
    while (name[i] >= u'0' && name[i] <= u'9') {
        if (value <= INT_MAX) {
            value = value * 10 + (name[i] - u'0');
        }
        ++i;
    }
    if (value > INT_MAX) {
        value = negative ? static_cast<long long>(INT_MAX) + 1 : INT_MAX;
    }
    return negative ? -value : value;
}

bool IsChannelSubkeyName(PCWSTR name) {
    // The six characters that "channel" begins with, case-sensitive.
    static constexpr char16_t kPrefix[] = u"channe";
    for (size_t i = 0; i < 6; ++i) {
        if (name[i] != kPrefix[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

bool RegistryReadUlong(WDFDEVICE Device, WDFKEY Key, PCWSTR Name, PULONG Value) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    try {
        PHALVEX_DMF_DEVICE_CONTEXT dmfContext = DmfContextOf(Device);
        if (dmfContext == nullptr) {
            Fail("DMF Device Context is NULL");
        }
        if (Value == nullptr) {
            Fail("Parameter output pointer invalid!");
        }
        *Value = 0;
        if (Key == nullptr) {
            Fail("Registry device key handle invalid!");
        }
        if (Name == nullptr) {
            Fail("Value name is invalid!");
        }
        ntStatus =
            DMF_Registry_HandleValueReadDword(dmfContext->DmfModuleRegistry, Key, Name, Value);
        if (!NT_SUCCESS(ntStatus)) {
            Fail("Registry query failed!");
        }
        return true;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    return false;
}

ULONG ReadUlongOrDefault(WDFDEVICE Device, WDFKEY Key, PCWSTR Name, ULONG Default) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    try {
        if (Key == nullptr) {
            Fail("Registry key handle invalid!");
        }
        if (Name == nullptr) {
            Fail("Parameter name pointer invalid!");
        }
        ULONG value = 0;
        if (!RegistryReadUlong(Device, Key, Name, &value)) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail("RegistryReadUlong() failed");
        }
        return value;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    return Default;
}

bool ReadRegistryString(WDFDEVICE Device, WDFKEY Key, PCWSTR Name, PWSTR* Buffer,
                        PULONG BytesRead) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    WDFMEMORY memory = nullptr;
    try {
        PHALVEX_DMF_DEVICE_CONTEXT dmfContext = DmfContextOf(Device);
        if (dmfContext == nullptr) {
            Fail("DMF Device Context is NULL");
        }
        if (Key == nullptr) {
            Fail("parentKey device key handle invalid!");
        }
        if (Name == nullptr || Buffer == nullptr) {
            Fail("Parameter name pointer invalid!");
        }
        ULONG bytes = 0;
        ntStatus = DMF_Registry_HandleValueReadString(dmfContext->DmfModuleRegistry, Key, Name,
                                                      nullptr, 0, &bytes);
        if (ntStatus != STATUS_BUFFER_TOO_SMALL) {
            Fail(" String length returned is zero!");
        }
        // Whole characters for an odd byte count, and one zeroed character
        // more, so that the text is terminated whatever was stored.
        const ULONG characters = (bytes + 1) / static_cast<ULONG>(sizeof(WCHAR));
        PVOID buffer = nullptr;
        ntStatus = AllocateConfigMemory(
            Device, (static_cast<size_t>(characters) + 1) * sizeof(WCHAR), &memory, &buffer);
        if (!NT_SUCCESS(ntStatus)) {
            Fail("cannot allocate memory to read registry string");
        }
        ULONG read = 0;
        ntStatus =
            DMF_Registry_HandleValueReadString(dmfContext->DmfModuleRegistry, Key, Name,
                                               static_cast<PWSTR>(buffer), characters, &read);
        if (!NT_SUCCESS(ntStatus)) {
            Fail("Registry query failed!");
        }
        *Buffer = static_cast<PWSTR>(buffer);
        if (BytesRead != nullptr) {
            *BytesRead = read;
        }
        return true;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    if (memory != nullptr) {
        WdfObjectDelete(memory);
    }
    return false;
}

void ReadNumberOfChannels(WDFDEVICE Device, WDFKEY Key) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    try {
        PDEVICE_CONTEXT context = DeviceContextOf(Device);
        if (context == nullptr) {
            Fail("Device context is NULL");
        }
        context->NumberOfChannels = ReadUlongOrDefault(Device, Key, u"NumberOfChannels", 0);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "NumberOfChannels=%u",
                    static_cast<unsigned>(context->NumberOfChannels));
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
}

void ReadWlanAntCount(WDFDEVICE Device, WDFKEY Key) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    try {
        PDEVICE_CONTEXT context = DeviceContextOf(Device);
        if (context == nullptr) {
            Fail("Device context is NULL");
        }
        context->WlanAntCount = ReadUlongOrDefault(Device, Key, u"WlanAntCount", 0);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "WlanAntCount=%u",
                    static_cast<unsigned>(context->WlanAntCount));
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
}

BOOLEAN CountChannelSubkey(PVOID Context, WDFKEY Key, PWSTR Name) {
    (void)Key;
    if (Context != nullptr && Name != nullptr && IsChannelSubkeyName(Name)) {
        ++*static_cast<PULONG>(Context);
    }
    return TRUE;
}

BOOLEAN CountSensorSubkey(PVOID Context, WDFKEY Key, PWSTR Name) {
    (void)Key;
    (void)Name;
    if (Context != nullptr) {
        ++*static_cast<PULONG>(Context);
    }
    return TRUE;
}

NTSTATUS ReadChannelType(WDFDEVICE Device, WDFKEY Key, PCHANNEL_INFO Channel) {
    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    try {
        Channel->ChannelType = ChannelTypeInvalid;
        PWSTR type = nullptr;
        ULONG bytes = 0;
        if (!ReadRegistryString(Device, Key, u"ChannelType", &type, &bytes)) {
            Fail("Cannot read Channel Type. Valid channel types are \"MODEM\" and \"WLAN\"");
        }
        if (StringEquals(type, bytes, u"MODEM")) {
            Channel->ChannelType = ChannelTypeModem;
        } else if (StringEquals(type, bytes, u"WLAN")) {
            Channel->ChannelType = ChannelTypeWlan;
        } else {
            Fail("Invalid Channel Type. Valid channel types are \"MODEM\" and \"WLAN\"");
        }
        ntStatus = STATUS_SUCCESS;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    return ntStatus;
}

NTSTATUS ReadSarDataMapping(WDFDEVICE Device, WDFKEY Key, PCHANNEL_INFO Channel) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    WDFMEMORY memory = nullptr;
    try {
        const ULONG count = ReadUlongOrDefault(Device, Key, u"SarMappingCount", 0);
        if (count < 2) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail("No SAR mapping found. At least 2 mapping values are required for a valid "
                 "sensor.");
        }
        // Only ten value names can be formed, so no more entries are ever filled.
        const ULONG entries = count < kMaximumMappingEntries ? count : kMaximumMappingEntries;
        PVOID buffer = nullptr;
        ntStatus =
            AllocateConfigMemory(Device, entries * sizeof(SAR_DATA_MAPPING), &memory, &buffer);
        if (!NT_SUCCESS(ntStatus)) {
            Fail("cannot allocate memory for SARData mapping");
        }
        Channel->SarDataMapping = static_cast<PSAR_DATA_MAPPING>(buffer);
        Channel->SarMappingCount = 0;
        for (ULONG i = 0; i < count; ++i) {
            WCHAR name[kMappingNameCharacters];
            if (!FormatDecimal(i, name, kMappingNameCharacters)) {
                Fail(" _ultow_s() returned failure");
            }
            const auto index = static_cast<LONG>(
                ReadUlongOrDefault(Device, Key, name, static_cast<ULONG>(BACKOFF_INDEX_NONE)));
            if (index == BACKOFF_INDEX_NONE) {
                ntStatus = STATUS_UNSUCCESSFUL;
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "No back-off index for state mask %u",
                            static_cast<unsigned>(i));
            }
            Channel->SarDataMapping[i] = SAR_DATA_MAPPING{i, index};
            ++Channel->SarMappingCount;
        }
        return STATUS_SUCCESS;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    // A failure past the tenth entry leaves the entries read, unless one of
    // them had no index.
    if (!NT_SUCCESS(ntStatus)) {
        Channel->SarMappingCount = 0;
        if (memory != nullptr) {
            WdfObjectDelete(memory);
        }
        Channel->SarDataMapping = nullptr;
    }
    return ntStatus;
}

BOOLEAN ReadSensorSubkey(PVOID Context, WDFKEY Key, PWSTR Name) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    try {
        auto* readContext = static_cast<SENSOR_READ_CONTEXT*>(Context);
        if (readContext == nullptr || readContext->Channel == nullptr) {
            Fail("Caller Context received is NULL");
        }
        if (DeviceContextOf(readContext->Device) == nullptr) {
            Fail("Device Context is NULL");
        }
        WDFDEVICE device = readContext->Device;
        PCHANNEL_INFO channel = readContext->Channel;

        const long long slotNumber = LeadingNumber(Name);
        if (slotNumber < 0 || slotNumber >= static_cast<long long>(channel->SensorCount)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "Sensor subkey %s has no slot among %u sensors; skipped",
                        NarrowString(Name).c_str(), static_cast<unsigned>(channel->SensorCount));
            return TRUE;
        }
        SENSOR_INFO& sensor = channel->Sensors[slotNumber];

        PWSTR type = nullptr;
        ULONG bytes = 0;
        if (!ReadRegistryString(device, Key, u"Type", &type, &bytes)) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail("Cannot read Sensor Type. Valid channel types are \"SLPI\" and \"APSS\"");
        }
        sensor.Type = SensorTypeInvalid;
        if (StringEquals(type, bytes, u"SLPI")) {
            sensor.Type = SensorTypeSlpi;
        } else if (StringEquals(type, bytes, u"APPS")) {
            sensor.Type = SensorTypeApps;
        } else {
            // A slot filled earlier by a subkey of the same number must not
            // stay valid with an invalid type.
            sensor.Valid = 0;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "Invalid Sensor Type. Valid channel types are \"SLPI\" and \"APSS\"");
            return TRUE;
        }

        sensor.ID = ReadUlongOrDefault(device, Key, u"ID", SENSOR_ID_NONE);
        sensor.Valid = sensor.ID != SENSOR_ID_NONE ? 1 : 0;
        if (!sensor.Valid) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Sensor %s has no ID; invalid",
                        NarrowString(Name).c_str());
        }

        const ULONG64 highH = ReadUlongOrDefault(device, Key, u"SUID_HIGH_H", 0);
        const ULONG64 highL = ReadUlongOrDefault(device, Key, u"SUID_HIGH_L", 0);
        const ULONG64 lowH = ReadUlongOrDefault(device, Key, u"SUID_LOW_H", 0);
        const ULONG64 lowL = ReadUlongOrDefault(device, Key, u"SUID_LOW_L", 0);
        sensor.SuidHigh = (highH << 32) + highL;
        sensor.SuidLow = (lowH << 32) + lowL;

        if (channel->ChannelType == ChannelTypeWlan) {
            WDFMEMORY memory = nullptr;
            PVOID buffer = nullptr;
            ntStatus = AllocateConfigMemory(device, channel->SensorCount * sizeof(ULONG), &memory,
                                            &buffer);
            if (!NT_SUCCESS(ntStatus)) {
                Fail("cannot allocate memory for WlanAntennaInfo");
            }
            channel->WlanAntennaInfo = static_cast<PULONG>(buffer);
            channel->WlanAntennaInfo[0] = ReadUlongOrDefault(device, Key, u"WlanAntMask", 0);
            if (channel->WlanAntennaInfo[0] == 0 || channel->WlanAntennaInfo[0] > 3) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Invalid WlanAntMask=%u",
                            static_cast<unsigned>(channel->WlanAntennaInfo[0]));
            }
        }
        channel->Valid = 1;
        return TRUE;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    return FALSE;
}

BOOLEAN ReadChannelSubkey(PVOID Context, WDFKEY Key, PWSTR Name) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    PCHANNEL_INFO channel = nullptr;
    WDFMEMORY sensorsMemory = nullptr;
    try {
        auto device = static_cast<WDFDEVICE>(Context);
        PDEVICE_CONTEXT context = DeviceContextOf(device);
        if (context == nullptr) {
            Fail("Device Context is NULL");
        }
        PHALVEX_DMF_DEVICE_CONTEXT dmfContext = DmfContextOf(device);
        if (dmfContext == nullptr) {
            Fail("DMF Device Context is NULL");
        }
        if (Name == nullptr || !IsChannelSubkeyName(Name)) {
            return TRUE;
        }
        if (gNextChannelIndex >= context->NumberOfChannels || context->Channels == nullptr) {
            // The subkeys changed since they were counted: no record is left for this one.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "Channel subkey %s beyond NumberOfChannels=%u; ignored",
                        NarrowString(Name).c_str(),
                        static_cast<unsigned>(context->NumberOfChannels));
            return TRUE;
        }
        channel = &context->Channels[gNextChannelIndex];
        // A record left by a skipped channel subkey is written over from scratch.
        *channel = CHANNEL_INFO{};

        ntStatus = ReadChannelType(device, Key, channel);
        if (!NT_SUCCESS(ntStatus) || channel->ChannelType == ChannelTypeInvalid) {
            Fail(" Reading channel type failed ");
        }
        if (channel->ChannelType == ChannelTypeWlan &&
            (context->WlanAntCount < 1 || context->WlanAntCount > 2)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WLAN channel %s skipped: WlanAntCount=%u",
                        NarrowString(Name).c_str(), static_cast<unsigned>(context->WlanAntCount));
            return TRUE;
        }

        channel->SensorCount = 0;
        if (!DMF_Registry_AllSubKeysFromHandleEnumerate(dmfContext->DmfModuleRegistry, Key,
                                                        CountSensorSubkey, &channel->SensorCount)) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail(" DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening SensorInfo "
                 "subkey under ChannelNum Key to count");
        }

        ntStatus = ReadSarDataMapping(device, Key, channel);
        if (!NT_SUCCESS(ntStatus)) {
            channel->Valid = 0;
            Fail(" ReadSarDataMapping failed ");
        }

        PVOID buffer = nullptr;
        ntStatus = AllocateConfigMemory(device, channel->SensorCount * sizeof(SENSOR_INFO),
                                        &sensorsMemory, &buffer);
        if (!NT_SUCCESS(ntStatus)) {
            Fail("cannot allocate memory for sensors");
        }
        channel->Sensors = static_cast<PSENSOR_INFO>(buffer);

        SENSOR_READ_CONTEXT sensorContext{device, channel};
        if (!DMF_Registry_AllSubKeysFromHandleEnumerate(dmfContext->DmfModuleRegistry, Key,
                                                        ReadSensorSubkey, &sensorContext)) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail(" DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening "
                 "ChannelSensorInfoSubkey subkey under ChannelNum SubKey");
        }

        if (channel->Valid) {
            ++gNextChannelIndex;
            ++context->ConfiguredCount;
        }
        return TRUE;
    } catch (const std::exception& e) {
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        TraceUnknownException(__func__, ntStatus);
    }
    if (sensorsMemory != nullptr) {
        WdfObjectDelete(sensorsMemory);
    }
    if (channel != nullptr) {
        channel->Sensors = nullptr;
    }
    return FALSE;
}

NTSTATUS ReadSarConfiguration(WDFDEVICE Device) {
    FuncEntry(TRACE_DRIVER);
    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    PDEVICE_CONTEXT context = nullptr;
    PHALVEX_DMF_DEVICE_CONTEXT dmfContext = nullptr;
    WDFKEY key = nullptr;
    WDFMEMORY channelsMemory = nullptr;
    bool failed = false;
    gChannelSubkeyCount = 0;
    gNextChannelIndex = 0;
    try {
        context = DeviceContextOf(Device);
        if (context == nullptr) {
            Fail("Device context is NULL");
        }
        dmfContext = DmfContextOf(Device);
        if (dmfContext == nullptr) {
            Fail(" DMF Device Context is NULL");
        }
        context->ConfiguredCount = 0;

        ntStatus = DMF_Registry_HandleOpenById(dmfContext->DmfModuleRegistry, &key);
        if (!NT_SUCCESS(ntStatus)) {
            Fail(" DMF_Registry_HandleOpenById Failed!!!!");
        }

        ReadNumberOfChannels(Device, key);
        if (context->NumberOfChannels == 0) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail("No SAR channels defined. SAR will not be enabled ");
        }

        ReadWlanAntCount(Device, key);
        if (context->WlanAntCount != 1 && context->WlanAntCount != 2) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "WlanAntCount=%u is not 1 or 2: WLAN channels are skipped",
                        static_cast<unsigned>(context->WlanAntCount));
        }

        if (!DMF_Registry_AllSubKeysFromHandleEnumerate(dmfContext->DmfModuleRegistry, key,
                                                        CountChannelSubkey, &gChannelSubkeyCount)) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail(" DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening ChannelNum "
                 "subkey under Device Parameters Key to count");
        }

        if (context->NumberOfChannels != gChannelSubkeyCount) {
            // The read ends here with the status it has.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                        "NumberOfChannels=%u but %u channel subkeys",
                        static_cast<unsigned>(context->NumberOfChannels),
                        static_cast<unsigned>(gChannelSubkeyCount));
            context->NumberOfChannels = 0;
            Fail(" NumberOfChannels not matching with Channel subkeys, please recheck the "
                 "registry value");
        }

        // Always a new array: one left by an earlier read may have another size. The
        // old one stays with the device.
        PVOID buffer = nullptr;
        ntStatus = AllocateConfigMemory(Device, context->NumberOfChannels * sizeof(CHANNEL_INFO),
                                        &channelsMemory, &buffer);
        if (!NT_SUCCESS(ntStatus)) {
            Fail("WdfMemoryCreate failed");
        }
        context->Channels = static_cast<PCHANNEL_INFO>(buffer);

        if (!DMF_Registry_AllSubKeysFromHandleEnumerate(dmfContext->DmfModuleRegistry, key,
                                                        ReadChannelSubkey, Device)) {
            ntStatus = STATUS_UNSUCCESSFUL;
            Fail(" DMF_Registry_AllSubKeysFromHandleEnumerate failed while Opening ChannelNum "
                 "subkey under Device Parameters Key to read");
        }
    } catch (const std::exception& e) {
        failed = true;
        TraceStandardException(__func__, e, ntStatus);
    } catch (...) {
        failed = true;
        TraceUnknownException(__func__, ntStatus);
    }

    if (key != nullptr) {
        DMF_Registry_HandleClose(dmfContext->DmfModuleRegistry, key);
    }
    if (failed) {
        if (channelsMemory != nullptr) {
            WdfObjectDelete(channelsMemory);
        }
        if (context != nullptr) {
            context->Channels = nullptr;
            context->ConfiguredCount = 0;
        }
    }
    FuncExit(TRACE_DRIVER, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
