// The IOCTL handlers. Any client that can open the device may send both: the
// module's access-mode filter is 0 and no record is administrator-only.
#include "halvex/driver/Ioctl.h"

#include "halvex/driver/CaughtException.h"
#include "halvex/driver/SensorStateMap.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstring>
#include <exception>

IoctlHandler_IoctlRecord HalvexIoctlHandlerTable[2] = {
    {IOCTL_HALVEX_GET_INFO, 0, sizeof(HALVEX_INFO_OUTPUT), IoctlGetInfo, FALSE},
    {IOCTL_HALVEX_SET_SENSOR_STATE, sizeof(SAR_SENSOR_STATE_INPUT), 0, IoctlSetSensorState, FALSE},
};

NTSTATUS IoctlGetInfo(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request, ULONG IoctlCode,
                      PVOID InputBuffer, size_t InputBufferSize, PVOID OutputBuffer,
                      size_t OutputBufferSize, size_t* BytesReturned) {
    (void)DmfModule;
    (void)Queue;
    (void)Request;
    (void)IoctlCode;
    (void)InputBuffer;
    (void)InputBufferSize;
    (void)OutputBufferSize;
    FuncEntry(TRACE_QUEUE);
    try {
        const HALVEX_INFO_OUTPUT info{1, 1};
        std::memcpy(OutputBuffer, &info, sizeof(info));
        *BytesReturned = sizeof(info);
    } catch (...) {
        TraceCaughtException(TRACE_QUEUE);
    }
    FuncExit(TRACE_QUEUE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_SUCCESS));
    return STATUS_SUCCESS;
}

NTSTATUS IoctlSetSensorState(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request,
                             ULONG IoctlCode, PVOID InputBuffer, size_t InputBufferSize,
                             PVOID OutputBuffer, size_t OutputBufferSize, size_t* BytesReturned) {
    (void)DmfModule;
    (void)Queue;
    (void)Request;
    (void)IoctlCode;
    (void)InputBufferSize;
    (void)OutputBuffer;
    (void)OutputBufferSize;
    FuncEntry(TRACE_QUEUE);
    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    try {
        // The module has ensured at least 8 bytes; they need not be aligned.
        SAR_SENSOR_STATE_INPUT input;
        std::memcpy(&input, InputBuffer, sizeof(input));
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_QUEUE, "SensorId=%u State=%u",
                    static_cast<unsigned>(input.SensorId), static_cast<unsigned>(input.State));
        if (input.State > 1) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "Invalid State=%u",
                        static_cast<unsigned>(input.State));
        } else if (UpdateSensorState(input.SensorId, static_cast<LONG>(input.State))) {
            ntStatus = STATUS_SUCCESS;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "UpdateSensorState failed for SensorId=%u",
                        static_cast<unsigned>(input.SensorId));
        }
    } catch (...) {
        TraceCaughtException(TRACE_QUEUE);
        ntStatus = STATUS_UNSUCCESSFUL;
    }
    *BytesReturned = 0;
    FuncExit(TRACE_QUEUE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
