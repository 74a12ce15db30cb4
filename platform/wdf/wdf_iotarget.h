// WDF I/O targets and the sending of requests to them.
#pragma once

#include "platform/wdf/wdf_memory.h"
#include "platform/wdf/wdf_queue.h"
#include "platform/wdf/wdf_types.h"

#define WDF_REQUEST_SEND_OPTION_TIMEOUT 0x00000001u
#define WDF_REQUEST_SEND_OPTION_SYNCHRONOUS 0x00000002u
#define WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE 0x00000004u
#define WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET 0x00000008u

struct WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
};
using PWDF_REQUEST_SEND_OPTIONS = WDF_REQUEST_SEND_OPTIONS*;

inline void WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS options, ULONG flags) {
    std::memset(options, 0, sizeof(WDF_REQUEST_SEND_OPTIONS));
    options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    options->Flags = flags;
}
inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS options,
                                                 LONGLONG timeout) {
    options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    options->Timeout = timeout;
}

struct WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    struct {
        NTSTATUS Status;
        ULONG_PTR Information;
    } IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
};
using PWDF_REQUEST_COMPLETION_PARAMS = WDF_REQUEST_COMPLETION_PARAMS*;

inline void WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS params) {
    std::memset(params, 0, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    params->Type = WdfRequestTypeNoFormat;
}

using EVT_WDF_REQUEST_COMPLETION_ROUTINE = void(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                WDFCONTEXT Context);
using PFN_WDF_REQUEST_COMPLETION_ROUTINE = EVT_WDF_REQUEST_COMPLETION_ROUTINE*;

struct WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PVOID NewIrp;
};
using PWDF_REQUEST_REUSE_PARAMS = WDF_REQUEST_REUSE_PARAMS*;
#define WDF_REQUEST_REUSE_NO_FLAGS 0x00000000u

inline void WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS params, ULONG flags,
                                          NTSTATUS status) {
    std::memset(params, 0, sizeof(WDF_REQUEST_REUSE_PARAMS));
    params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    params->Flags = flags;
    params->Status = status;
}

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request);
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);
// Passes an incoming request on to a target with the parameters it came with.
void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request);
void WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext);
void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params);
NTSTATUS WdfRequestAllocateTimer(WDFREQUEST Request);
// FALSE when the request could not be sent (its status says why).
BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request);

// I/O targets opened on other devices.
using EVT_WDF_IO_TARGET_QUERY_REMOVE = NTSTATUS(WDFIOTARGET IoTarget);
using PFN_WDF_IO_TARGET_QUERY_REMOVE = EVT_WDF_IO_TARGET_QUERY_REMOVE*;
using EVT_WDF_IO_TARGET_REMOVE_CANCELED = void(WDFIOTARGET IoTarget);
using PFN_WDF_IO_TARGET_REMOVE_CANCELED = EVT_WDF_IO_TARGET_REMOVE_CANCELED*;
using EVT_WDF_IO_TARGET_REMOVE_COMPLETE = void(WDFIOTARGET IoTarget);
using PFN_WDF_IO_TARGET_REMOVE_COMPLETE = EVT_WDF_IO_TARGET_REMOVE_COMPLETE*;

enum WDF_IO_TARGET_OPEN_TYPE {
    WdfIoTargetOpenUndefined = 0,
    WdfIoTargetOpenUseExistingDevice = 1,
    WdfIoTargetOpenByName = 2,
    WdfIoTargetOpenReopen = 3,
    WdfIoTargetOpenLocalTargetByFile = 4,
};

struct WDF_IO_TARGET_OPEN_PARAMS {
    ULONG Size;
    WDF_IO_TARGET_OPEN_TYPE Type;
    PFN_WDF_IO_TARGET_QUERY_REMOVE EvtIoTargetQueryRemove;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED EvtIoTargetRemoveCanceled;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE EvtIoTargetRemoveComplete;
    UNICODE_STRING TargetDeviceName;
    ULONG DesiredAccess;
    ULONG ShareAccess;
    ULONG FileAttributes;
    ULONG CreateDisposition;
    ULONG CreateOptions;
    PUNICODE_STRING FileName;
};
using PWDF_IO_TARGET_OPEN_PARAMS = WDF_IO_TARGET_OPEN_PARAMS*;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define OPEN_EXISTING 3u

inline void WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(PWDF_IO_TARGET_OPEN_PARAMS params,
                                                        PCUNICODE_STRING targetDeviceName,
                                                        ULONG desiredAccess) {
    std::memset(params, 0, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    params->Type = WdfIoTargetOpenByName;
    params->TargetDeviceName = *targetDeviceName;
    params->DesiredAccess = desiredAccess;
    params->CreateDisposition = OPEN_EXISTING;
}
inline void WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(PWDF_IO_TARGET_OPEN_PARAMS params) {
    std::memset(params, 0, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    params->Type = WdfIoTargetOpenReopen;
}

enum WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
};
enum WDF_IO_TARGET_PURGE_IO_ACTION {
    WdfIoTargetPurgeIoUndefined = 0,
    WdfIoTargetPurgeIoAndWait,
    WdfIoTargetPurgeIo,
};

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           WDFIOTARGET* IoTarget);
NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams);
void WdfIoTargetClose(WDFIOTARGET IoTarget);
void WdfIoTargetCloseForQueryRemove(WDFIOTARGET IoTarget);
NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
void WdfIoTargetPurge(WDFIOTARGET IoTarget, WDF_IO_TARGET_PURGE_IO_ACTION Action);
HANDLE WdfIoTargetWdmGetTargetFileHandle(WDFIOTARGET IoTarget);
NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer,
                                          PWDFMEMORY_OFFSET OutputBufferOffset);
NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                         WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset);
NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          PLONGLONG DeviceOffset);
