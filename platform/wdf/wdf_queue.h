// WDF I/O queues and the requests they present.
#pragma once

#include "platform/wdf/wdf_memory.h"
#include "platform/wdf/wdf_types.h"

enum WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
};

using EVT_WDF_IO_QUEUE_IO_DEFAULT = void(WDFQUEUE Queue, WDFREQUEST Request);
using PFN_WDF_IO_QUEUE_IO_DEFAULT = EVT_WDF_IO_QUEUE_IO_DEFAULT*;
using EVT_WDF_IO_QUEUE_IO_READ = void(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
using PFN_WDF_IO_QUEUE_IO_READ = EVT_WDF_IO_QUEUE_IO_READ*;
using EVT_WDF_IO_QUEUE_IO_WRITE = void(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
using PFN_WDF_IO_QUEUE_IO_WRITE = EVT_WDF_IO_QUEUE_IO_WRITE*;
using EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void(WDFQUEUE Queue, WDFREQUEST Request,
                                                size_t OutputBufferLength, size_t InputBufferLength,
                                                ULONG IoControlCode);
using PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL = EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL*;
using EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL = EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
using PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL = EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL*;
using EVT_WDF_IO_QUEUE_IO_STOP = void(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
using PFN_WDF_IO_QUEUE_IO_STOP = EVT_WDF_IO_QUEUE_IO_STOP*;
using EVT_WDF_IO_QUEUE_IO_RESUME = void(WDFQUEUE Queue, WDFREQUEST Request);
using PFN_WDF_IO_QUEUE_IO_RESUME = EVT_WDF_IO_QUEUE_IO_RESUME*;
using EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE = void(WDFQUEUE Queue, WDFREQUEST Request);
using PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE = EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE*;

struct WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
};
using PWDF_IO_QUEUE_CONFIG = WDF_IO_QUEUE_CONFIG*;

inline void WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG config,
                                     WDF_IO_QUEUE_DISPATCH_TYPE dispatchType) {
    std::memset(config, 0, sizeof(WDF_IO_QUEUE_CONFIG));
    config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    config->PowerManaged = WdfUseDefault;
    config->DispatchType = dispatchType;
    if (dispatchType == WdfIoQueueDispatchParallel) {
        config->Settings.Parallel.NumberOfPresentedRequests = 0xFFFFFFFFu;
    }
}

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE dispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(config, dispatchType);
    config->DefaultQueue = TRUE;
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);

// Requests.
enum WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeDeviceControlInternal = 0xF,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeOther = 0x1B,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
};

struct WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
};
using PWDF_REQUEST_PARAMETERS = WDF_REQUEST_PARAMETERS*;

inline void WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS parameters) {
    std::memset(parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
    parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

// Buffered I/O: no buffer at all fails with STATUS_BUFFER_TOO_SMALL, even
// with a minimum of 0; so does one shorter than the minimum.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                       PVOID* Buffer, size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                        PVOID* Buffer, size_t* Length);
NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory);
NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory);

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request);
void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request);
