// PLACEHOLDER: the reader needs the SocPartition module, which is not built
// yet. Until it is, there is no file to read, so the WLAN channels run
// without a refresh timer. This file is replaced by the real reader.
#include "halvex/notifier/SarProvisioningFile.h"

#include "platform/trace.h"

NTSTATUS ReadSarProvisioningFile() {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFIER, "SAR provisioning file reader is not built yet");
    return STATUS_UNSUCCESSFUL;
}
