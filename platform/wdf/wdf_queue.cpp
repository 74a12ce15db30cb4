// WDF queues, the requests they present and file objects.
#include "platform/wdf/fx_device.h"
#include "platform/wdf/fx_memory.h"

#include <algorithm>
#include <cstring>

namespace {

std::shared_ptr<fx::Request> GetRequest(WDFREQUEST handle, const char* call) {
    return fx::Get<fx::Request>(handle, fx::Kind::Request, call);
}

enum class Direction { Input, Output };

std::size_t LengthOf(const fx::Request& request, Direction direction) {
    switch (request.type) {
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal:
        return direction == Direction::Input ? request.inputLength : request.outputLength;
    case WdfRequestTypeWrite:
        return direction == Direction::Input ? request.inputLength : 0;
    case WdfRequestTypeRead:
        return direction == Direction::Output ? request.outputLength : 0;
    default:
        return 0;
    }
}

NTSTATUS Retrieve(WDFREQUEST Request, Direction direction, size_t minimum, PVOID* Buffer,
                  size_t* Length, const char* call) {
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (Length != nullptr) {
        *Length = 0;
    }
    auto request = GetRequest(Request, call);
    if (!request) {
        return STATUS_INVALID_HANDLE;
    }
    if (!request->incoming) {
        fx::ReportError("%s: %p was not presented by a queue", call, Request);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::size_t length = LengthOf(*request, direction);
    // No buffer is too small for any minimum, 0 included.
    if (length == 0 || length < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Buffer != nullptr) {
        *Buffer = request->system.data();
    }
    if (Length != nullptr) {
        *Length = length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RetrieveMemory(WDFREQUEST Request, Direction direction, WDFMEMORY* Memory,
                        const char* call) {
    *Memory = nullptr;
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status = Retrieve(Request, direction, 0, &buffer, &length, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto request = GetRequest(Request, call);
    if (!request) {
        return STATUS_INVALID_HANDLE;
    }
    std::lock_guard guard(request->requestLock);
    WDFMEMORY& slot = direction == Direction::Input ? request->inputMemory : request->outputMemory;
    if (slot == nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Request;
        auto memory = std::make_shared<fx::Memory>();
        memory->buffer = buffer;
        memory->size = length;
        status = fx::Insert(memory, &attributes, nullptr, call);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        slot = reinterpret_cast<WDFMEMORY>(memory->handle());
    }
    *Memory = slot;
    return STATUS_SUCCESS;
}

} // namespace

namespace fx {

void Queue::OnCleanedUp() {
    auto object = Lookup(device);
    if (!object || object->kind() != Kind::Device) {
        return;
    }
    auto record = std::static_pointer_cast<Device>(object);
    std::lock_guard guard(record->recordLock);
    if (record->defaultQueue == handle()) {
        record->defaultQueue = nullptr;
    }
}

void CompleteRequest(const std::shared_ptr<Request>& request, NTSTATUS status,
                     ULONG_PTR information, const char* call) {
    std::vector<std::uint8_t> output;
    {
        std::lock_guard guard(request->requestLock);
        if (request->completed) {
            ReportError("%s: request %p completed twice", call, request->handle());
            return;
        }
        request->completed = true;
        request->status = status;
        request->information = information;
        if (request->type == WdfRequestTypeDeviceControl ||
            request->type == WdfRequestTypeDeviceControlInternal ||
            request->type == WdfRequestTypeRead) {
            if (information > request->outputLength) {
                ReportError("%s: request %p reports %zu bytes for an output buffer of %zu", call,
                            request->handle(), static_cast<std::size_t>(information),
                            request->outputLength);
            }
            // Errors carry no data back to the caller.
            if (status >= 0 || (static_cast<ULONG>(status) >> 30) != 3) {
                std::size_t bytes = std::min<std::size_t>(static_cast<std::size_t>(information),
                                                          request->outputLength);
                output.assign(request->system.begin(),
                              request->system.begin() + static_cast<std::ptrdiff_t>(bytes));
            }
        }
    }
    if (request->onComplete) {
        request->onComplete(status, information, output);
    }
    // The framework owns an incoming request; once completed its handle is stale.
    Delete(request, true);
}

} // namespace fx

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    auto device = fx::Get<fx::Device>(Device, fx::Kind::Device, "WdfIoQueueCreate");
    if (!device) {
        return STATUS_INVALID_HANDLE;
    }
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid ||
        Config->DispatchType >= WdfIoQueueDispatchMax) {
        fx::ReportError("WdfIoQueueCreate: invalid queue config");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfIoQueueCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    if (Config->DefaultQueue) {
        std::lock_guard guard(device->recordLock);
        if (device->defaultQueue != nullptr) {
            fx::ReportError("WdfIoQueueCreate: the device already has a default queue");
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    auto queue = std::make_shared<fx::Queue>();
    queue->config = *Config;
    queue->device = Device;
    NTSTATUS status = fx::Insert(queue, QueueAttributes, Device, "WdfIoQueueCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto handle = reinterpret_cast<WDFQUEUE>(queue->handle());
    if (Config->DefaultQueue) {
        std::lock_guard guard(device->recordLock);
        device->defaultQueue = handle;
    }
    if (Queue != nullptr) {
        *Queue = handle;
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    auto queue = fx::Get<fx::Queue>(Queue, fx::Kind::Queue, "WdfIoQueueGetDevice");
    return queue ? queue->device : nullptr;
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                       PVOID* Buffer, size_t* Length) {
    return Retrieve(Request, Direction::Input, MinimumRequiredLength, Buffer, Length,
                    "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                        PVOID* Buffer, size_t* Length) {
    return Retrieve(Request, Direction::Output, MinimumRequiredSize, Buffer, Length,
                    "WdfRequestRetrieveOutputBuffer");
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    return RetrieveMemory(Request, Direction::Input, Memory, "WdfRequestRetrieveInputMemory");
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    return RetrieveMemory(Request, Direction::Output, Memory, "WdfRequestRetrieveOutputMemory");
}

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    auto request = GetRequest(Request, "WdfRequestComplete");
    if (!request) {
        return;
    }
    ULONG_PTR information = 0;
    {
        std::lock_guard guard(request->requestLock);
        information = request->information;
    }
    if (!request->incoming) {
        fx::ReportError("WdfRequestComplete: %p was created by the driver, not presented", Request);
        return;
    }
    fx::CompleteRequest(request, Status, information, "WdfRequestComplete");
}

void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    auto request = GetRequest(Request, "WdfRequestCompleteWithInformation");
    if (!request) {
        return;
    }
    if (!request->incoming) {
        fx::ReportError("WdfRequestCompleteWithInformation: %p was created by the driver", Request);
        return;
    }
    fx::CompleteRequest(request, Status, Information, "WdfRequestCompleteWithInformation");
}

void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    if (auto request = GetRequest(Request, "WdfRequestSetInformation")) {
        std::lock_guard guard(request->requestLock);
        request->information = Information;
    }
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestGetInformation");
    if (!request) {
        return 0;
    }
    std::lock_guard guard(request->requestLock);
    return request->information;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestGetStatus");
    if (!request) {
        return STATUS_INVALID_HANDLE;
    }
    std::lock_guard guard(request->requestLock);
    return request->status;
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestGetFileObject");
    return request ? request->file : nullptr;
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestGetRequestorMode");
    return request ? request->mode : static_cast<KPROCESSOR_MODE>(UserMode);
}

void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    auto request = GetRequest(Request, "WdfRequestGetParameters");
    if (!request || Parameters == nullptr) {
        return;
    }
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    Parameters->Type = request->type;
    switch (request->type) {
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal:
        Parameters->Parameters.DeviceIoControl.InputBufferLength = request->inputLength;
        Parameters->Parameters.DeviceIoControl.OutputBufferLength = request->outputLength;
        Parameters->Parameters.DeviceIoControl.IoControlCode = request->ioctl;
        break;
    case WdfRequestTypeRead:
        Parameters->Parameters.Read.Length = request->outputLength;
        break;
    case WdfRequestTypeWrite:
        Parameters->Parameters.Write.Length = request->inputLength;
        break;
    default:
        break;
    }
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestGetIoQueue");
    return request ? request->queue : nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    auto file = fx::Get<fx::FileObject>(FileObject, fx::Kind::FileObject, "WdfFileObjectGetDevice");
    return file ? file->device : nullptr;
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject) {
    auto file =
        fx::Get<fx::FileObject>(FileObject, fx::Kind::FileObject, "WdfFileObjectGetFileName");
    return file ? &file->nameString : nullptr;
}
