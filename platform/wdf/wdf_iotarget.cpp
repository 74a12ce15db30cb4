// Requests sent to I/O targets. The device below a target is a handler of
// sim/wdf_control.h; asynchronous completions reach the driver's completion
// routine on a thread of their own, as they would from the I/O system.
#include "platform/sim/kernel.h"
#include "platform/sim/work_queue.h"
#include "platform/wdf/fx_device.h"
#include "platform/wdf/fx_memory.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>

namespace {

std::shared_ptr<fx::Request> GetRequest(WDFREQUEST handle, const char* call) {
    return fx::Get<fx::Request>(handle, fx::Kind::Request, call);
}
std::shared_ptr<fx::IoTarget> GetTarget(WDFIOTARGET handle, const char* call) {
    return fx::Get<fx::IoTarget>(handle, fx::Kind::IoTarget, call);
}

// The bytes of a memory object within an offset, or nothing.
bool MemorySpan(WDFMEMORY handle, const WDFMEMORY_OFFSET& offset, std::uint8_t** data,
                std::size_t* size, const char* call) {
    *data = nullptr;
    *size = 0;
    if (handle == nullptr) {
        return true;
    }
    auto memory = fx::Get<fx::Memory>(handle, fx::Kind::Memory, call);
    if (!memory) {
        return false;
    }
    std::size_t start = std::min(offset.BufferOffset, memory->size);
    std::size_t length = memory->size - start;
    if (offset.BufferLength != 0) {
        length = std::min(length, offset.BufferLength);
    }
    *data = static_cast<std::uint8_t*>(memory->buffer) + start;
    *size = length;
    return true;
}

struct SendState {
    std::shared_ptr<sim::kernel::Object> done = [] {
        auto event = std::make_shared<sim::kernel::Object>();
        event->kind = sim::kernel::ObjectKind::Event;
        event->manualReset = true;
        return event;
    }();
    bool synchronous = false;
    bool forget = false;
    bool finished = false; // under the dispatcher lock
};

sim::WorkQueue& TimeoutQueue() {
    static sim::WorkQueue* queue = new sim::WorkQueue("I/O request time-outs");
    return *queue;
}

std::shared_ptr<fx::IoTarget> TargetRecord(WDFIOTARGET target) {
    auto object = fx::Lookup(target);
    return object && object->kind() == fx::Kind::IoTarget
               ? std::static_pointer_cast<fx::IoTarget>(object)
               : nullptr;
}

void Track(const std::shared_ptr<fx::IoTarget>& target,
           const std::shared_ptr<fx::Request>& request) {
    std::lock_guard guard(target->targetLock);
    target->sent.push_back(request);
    std::lock_guard dispatcher(sim::kernel::DispatcherLock());
    target->idle->signaled = false;
}

void Untrack(WDFIOTARGET handle, const fx::Request* request) {
    auto target = TargetRecord(handle);
    if (!target) {
        return;
    }
    std::lock_guard guard(target->targetLock);
    std::erase_if(target->sent, [&](const std::weak_ptr<fx::Request>& entry) {
        auto locked = entry.lock();
        return !locked || locked.get() == request;
    });
    if (target->sent.empty()) {
        std::lock_guard dispatcher(sim::kernel::DispatcherLock());
        sim::kernel::SignalLocked(*target->idle);
    }
}

// Ends every request sent to the target with STATUS_CANCELLED; with `wait`,
// returns once each has been handed back to the driver.
void CancelSent(const std::shared_ptr<fx::IoTarget>& target, bool wait) {
    std::vector<std::weak_ptr<fx::Request>> sent;
    {
        std::lock_guard guard(target->targetLock);
        sent = target->sent;
    }
    for (const auto& entry : sent) {
        if (auto request = entry.lock()) {
            std::function<bool(NTSTATUS)> abort;
            {
                std::lock_guard guard(request->requestLock);
                abort = request->abort;
            }
            if (abort) {
                abort(STATUS_CANCELLED);
            }
        }
    }
    if (wait) {
        std::unique_lock lock(sim::kernel::DispatcherLock());
        sim::kernel::WaitAny({target->idle}, lock, INFINITE);
    }
}

void RunCompletion(const std::shared_ptr<fx::Request>& request, WDFIOTARGET target) {
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = nullptr;
    WDFCONTEXT context = nullptr;
    {
        std::lock_guard guard(request->requestLock);
        routine = request->completionRoutine;
        context = request->completionContext;
        request->completionOwed = false;
    }
    if (routine != nullptr) {
        routine(reinterpret_cast<WDFREQUEST>(request->handle()), target, &request->completionParams,
                context);
    }
}

// Applies the result of the device below, once; false when it was applied before.
bool Finish(const std::shared_ptr<fx::Request>& request, const std::shared_ptr<SendState>& state,
            const std::shared_ptr<sim::wdf::TargetIo>& io, WDFIOTARGET target,
            NTSTATUS overrideStatus) {
    {
        std::lock_guard guard(sim::kernel::DispatcherLock());
        if (state->finished) {
            return false;
        }
        state->finished = true;
    }
    // A request the stand-in ends itself is ended with nothing of the device's:
    // the device may still be writing its answer.
    const bool answered = overrideStatus == STATUS_SUCCESS;
    NTSTATUS status = answered ? io->status : overrideStatus;
    ULONG_PTR information = answered ? io->information : 0;
    {
        std::lock_guard guard(request->requestLock);
        std::uint8_t* out = nullptr;
        std::size_t outSize = 0;
        if (request->formatted.current && request->incoming) {
            out = request->system.data();
            outSize = request->outputLength;
        } else {
            MemorySpan(request->formatted.output, request->formatted.outputOffset, &out, &outSize,
                       "WdfRequestSend");
        }
        std::size_t copied = answered ? std::min(outSize, io->output.size()) : 0;
        if (out != nullptr && copied != 0) {
            std::memcpy(out, io->output.data(), copied);
        }
        request->status = status;
        request->information = information;
        request->inFlight = false;
        request->completionOwed = !state->synchronous && request->completionRoutine != nullptr;
        request->io.reset();
        auto& params = request->completionParams;
        WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
        params.Type = request->formatted.type;
        params.IoStatus.Status = status;
        params.IoStatus.Information = information;
        switch (request->formatted.type) {
        case WdfRequestTypeDeviceControl:
        case WdfRequestTypeDeviceControlInternal:
            params.Parameters.Ioctl.IoControlCode = request->formatted.ioctl;
            params.Parameters.Ioctl.Input.Buffer = request->formatted.input;
            params.Parameters.Ioctl.Input.Offset = request->formatted.inputOffset.BufferOffset;
            params.Parameters.Ioctl.Output.Buffer = request->formatted.output;
            params.Parameters.Ioctl.Output.Offset = request->formatted.outputOffset.BufferOffset;
            params.Parameters.Ioctl.Output.Length = information;
            break;
        case WdfRequestTypeRead:
            params.Parameters.Read.Buffer = request->formatted.output;
            params.Parameters.Read.Offset = request->formatted.outputOffset.BufferOffset;
            params.Parameters.Read.Length = information;
            break;
        case WdfRequestTypeWrite:
            params.Parameters.Write.Buffer = request->formatted.input;
            params.Parameters.Write.Offset = request->formatted.inputOffset.BufferOffset;
            params.Parameters.Write.Length = information;
            break;
        default:
            break;
        }
    }
    if (state->synchronous) {
        Untrack(target, request.get());
        std::lock_guard guard(sim::kernel::DispatcherLock());
        sim::kernel::SignalLocked(*state->done);
        return true;
    }
    bool hasRoutine = false;
    {
        std::lock_guard guard(request->requestLock);
        hasRoutine = request->completionRoutine != nullptr;
    }
    if (!hasRoutine) {
        Untrack(target, request.get());
        if (request->incoming && (state->forget || request->formatted.current)) {
            fx::CompleteRequest(request, status, information, "WdfRequestSend");
        }
        return true;
    }
    HANDLE thread = sim::kernel::StartThread(
        [request, target]() -> DWORD {
            RunCompletion(request, target);
            Untrack(target, request.get());
            return 0;
        },
        nullptr);
    if (thread == nullptr) {
        RunCompletion(request, target);
        Untrack(target, request.get());
    } else {
        CloseHandle(thread);
    }
    return true;
}

} // namespace

void fx::IoTarget::OnDeleteBegin() {
    {
        std::lock_guard guard(targetLock);
        open = false;
    }
    // Not waiting: the deletion may come from a completion of this target.
    CancelSent(std::static_pointer_cast<IoTarget>(shared_from_this()), false);
}

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request) {
    *Request = nullptr;
    if (IoTarget != nullptr && !GetTarget(IoTarget, "WdfRequestCreate")) {
        return STATUS_INVALID_HANDLE;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfRequestCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto request = std::make_shared<fx::Request>();
    request->target = IoTarget;
    return fx::InsertAs(request, RequestAttributes, fx::DefaultParent(), "WdfRequestCreate",
                        Request);
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    auto request = GetRequest(Request, "WdfRequestReuse");
    if (!request) {
        return STATUS_INVALID_HANDLE;
    }
    std::lock_guard guard(request->requestLock);
    if (request->inFlight || request->incoming) {
        fx::ReportError("WdfRequestReuse: request %p is in flight or was presented", Request);
        return STATUS_INVALID_DEVICE_STATE;
    }
    request->status = ReuseParams != nullptr ? ReuseParams->Status : STATUS_SUCCESS;
    request->information = 0;
    request->formatted = {};
    request->completionRoutine = nullptr;
    request->completionContext = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&request->completionParams);
    return STATUS_SUCCESS;
}

void WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestFormatRequestUsingCurrentType");
    if (!request) {
        return;
    }
    std::lock_guard guard(request->requestLock);
    if (!request->incoming) {
        fx::ReportError("WdfRequestFormatRequestUsingCurrentType: %p was not presented", Request);
        return;
    }
    request->formatted = {};
    request->formatted.current = true;
    request->formatted.type = request->type;
    request->formatted.ioctl = request->ioctl;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
    if (auto request = GetRequest(Request, "WdfRequestSetCompletionRoutine")) {
        std::lock_guard guard(request->requestLock);
        request->completionRoutine = CompletionRoutine;
        request->completionContext = CompletionContext;
    }
}

void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    auto request = GetRequest(Request, "WdfRequestGetCompletionParams");
    if (!request || Params == nullptr) {
        return;
    }
    std::lock_guard guard(request->requestLock);
    *Params = request->completionParams;
}

NTSTATUS WdfRequestAllocateTimer(WDFREQUEST Request) {
    if (!GetRequest(Request, "WdfRequestAllocateTimer")) {
        return STATUS_INVALID_HANDLE;
    }
    return fx::CheckFaultStatus("WdfRequestAllocateTimer");
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    auto request = GetRequest(Request, "WdfRequestSend");
    if (!request) {
        return FALSE;
    }
    auto target = GetTarget(Target, "WdfRequestSend");
    auto fail = [&](NTSTATUS status) {
        std::lock_guard guard(request->requestLock);
        request->status = status;
        return FALSE;
    };
    if (!target) {
        return fail(STATUS_INVALID_HANDLE);
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfRequestSend", STATUS_INVALID_DEVICE_STATE);
        !NT_SUCCESS(status)) {
        return fail(status);
    }
    ULONG flags = Options != nullptr ? Options->Flags : 0;
    auto io = std::make_shared<sim::wdf::TargetIo>();
    LONGLONG timeout = (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 ? Options->Timeout : 0;
    DWORD timeoutMs = INFINITE;
    if (timeout < 0) {
        timeoutMs = static_cast<DWORD>(std::min<LONGLONG>((-timeout + 9999) / 10000, INFINITE - 1));
    } else if (timeout > 0) {
        timeoutMs = 0;
    }
    io->timeoutMs = timeoutMs;
    sim::wdf::TargetHandler handler;
    {
        std::lock_guard guard(target->targetLock);
        if (!target->open && (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) == 0) {
            return fail(STATUS_INVALID_DEVICE_STATE);
        }
        handler = target->isDefault ? fx::LowerDeviceHandler() : target->handler;
    }
    {
        std::lock_guard guard(request->requestLock);
        if (request->inFlight) {
            fx::ReportError("WdfRequestSend: request %p is already in flight", Request);
            request->status = STATUS_INVALID_DEVICE_STATE;
            return FALSE;
        }
        if (request->formatted.type == WdfRequestTypeNoFormat) {
            fx::ReportError("WdfRequestSend: request %p was not formatted", Request);
            request->status = STATUS_INVALID_DEVICE_REQUEST;
            return FALSE;
        }
        io->type = request->formatted.type;
        io->ioControlCode = request->formatted.ioctl;
        if (request->formatted.current) {
            std::size_t in = request->inputLength;
            io->input.assign(request->system.begin(),
                             request->system.begin() + static_cast<std::ptrdiff_t>(in));
            io->outputCapacity = request->outputLength;
        } else {
            std::uint8_t* data = nullptr;
            std::size_t size = 0;
            if (MemorySpan(request->formatted.input, request->formatted.inputOffset, &data, &size,
                           "WdfRequestSend") &&
                data != nullptr) {
                io->input.assign(data, data + size);
            }
            MemorySpan(request->formatted.output, request->formatted.outputOffset, &data, &size,
                       "WdfRequestSend");
            io->outputCapacity = size;
        }
        request->inFlight = true;
        request->status = STATUS_PENDING;
        request->target = Target;
        request->io = io;
    }
    auto state = std::make_shared<SendState>();
    state->synchronous = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    state->forget = (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0;
    std::weak_ptr<fx::Request> weak = request;
    // Weak: the record must not own itself through its own completion.
    std::weak_ptr<sim::wdf::TargetIo> weakIo = io;
    io->complete = [weak, state, weakIo, Target] {
        auto record = weak.lock();
        auto self = weakIo.lock();
        if (record && self) {
            Finish(record, state, self, Target, STATUS_SUCCESS);
        }
    };
    {
        std::lock_guard guard(request->requestLock);
        request->abort = [weak, state, weakIo, Target](NTSTATUS status) {
            auto record = weak.lock();
            auto self = weakIo.lock();
            return record && self && Finish(record, state, self, Target, status);
        };
    }
    Track(target, request);
    if (handler) {
        handler(io);
    } else {
        io->status = STATUS_NOT_SUPPORTED;
    }
    if (!io->pending) {
        Finish(request, state, io, Target, STATUS_SUCCESS);
    }
    if (state->synchronous) {
        std::unique_lock lock(sim::kernel::DispatcherLock());
        bool done = sim::kernel::WaitAny({state->done}, lock, timeoutMs) == WAIT_OBJECT_0;
        lock.unlock();
        if (!done) {
            Finish(request, state, io, Target, STATUS_IO_TIMEOUT);
        }
        std::lock_guard guard(request->requestLock);
        return NT_SUCCESS(request->status) ? TRUE : FALSE;
    }
    if (timeoutMs != INFINITE) {
        TimeoutQueue().PostAfter(
            timeoutMs,
            [weak] {
                if (auto record = weak.lock()) {
                    std::function<bool(NTSTATUS)> abort;
                    {
                        std::lock_guard guard(record->requestLock);
                        abort = record->abort;
                    }
                    if (abort) {
                        abort(STATUS_IO_TIMEOUT);
                    }
                }
            },
            false);
    }
    return TRUE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    auto request = GetRequest(Request, "WdfRequestCancelSentRequest");
    if (!request) {
        return FALSE;
    }
    std::function<bool(NTSTATUS)> abort;
    {
        std::lock_guard guard(request->requestLock);
        if (!request->inFlight) {
            return FALSE;
        }
        abort = request->abort;
    }
    // As if the device below completed it with STATUS_CANCELLED.
    return abort && abort(STATUS_CANCELLED) ? TRUE : FALSE;
}

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           WDFIOTARGET* IoTarget) {
    *IoTarget = nullptr;
    if (!fx::Get<fx::Device>(Device, fx::Kind::Device, "WdfIoTargetCreate")) {
        return STATUS_INVALID_HANDLE;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfIoTargetCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto target = std::make_shared<fx::IoTarget>();
    target->device = Device;
    return fx::InsertAs(target, IoTargetAttributes, Device, "WdfIoTargetCreate", IoTarget);
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams) {
    auto target = GetTarget(IoTarget, "WdfIoTargetOpen");
    if (!target) {
        return STATUS_INVALID_HANDLE;
    }
    if (OpenParams == nullptr || target->isDefault) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfIoTargetOpen"); !NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard guard(target->targetLock);
    std::u16string name = target->name;
    if (OpenParams->Type == WdfIoTargetOpenByName) {
        name = fx::FromUnicodeString(&OpenParams->TargetDeviceName);
    } else if (OpenParams->Type != WdfIoTargetOpenReopen) {
        return STATUS_NOT_SUPPORTED;
    }
    auto handler = fx::FindTargetDevice(name);
    if (!handler) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (OpenParams->Type == WdfIoTargetOpenByName) {
        target->openParams = *OpenParams;
        target->openParams.TargetDeviceName = {};
    }
    target->name = name;
    target->handler = handler;
    target->open = true;
    target->closedForQueryRemove = false;
    return STATUS_SUCCESS;
}

namespace {

void SetOpen(const std::shared_ptr<fx::IoTarget>& target, bool open) {
    std::lock_guard guard(target->targetLock);
    target->open = open;
}

} // namespace

void WdfIoTargetClose(WDFIOTARGET IoTarget) {
    if (auto target = GetTarget(IoTarget, "WdfIoTargetClose")) {
        {
            std::lock_guard guard(target->targetLock);
            target->open = false;
            target->closedForQueryRemove = false;
        }
        CancelSent(target, true);
    }
}

void WdfIoTargetCloseForQueryRemove(WDFIOTARGET IoTarget) {
    if (auto target = GetTarget(IoTarget, "WdfIoTargetCloseForQueryRemove")) {
        {
            std::lock_guard guard(target->targetLock);
            target->open = false;
            target->closedForQueryRemove = true;
        }
        CancelSent(target, true);
    }
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
    auto target = GetTarget(IoTarget, "WdfIoTargetStart");
    if (!target) {
        return STATUS_INVALID_HANDLE;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfIoTargetStart"); !NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard guard(target->targetLock);
    if (!target->isDefault && !target->handler) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    target->open = true;
    return STATUS_SUCCESS;
}

void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    auto target = GetTarget(IoTarget, "WdfIoTargetStop");
    if (!target) {
        return;
    }
    SetOpen(target, false);
    if (Action == WdfIoTargetCancelSentIo) {
        CancelSent(target, true);
    } else if (Action == WdfIoTargetWaitForSentIoToComplete) {
        std::unique_lock lock(sim::kernel::DispatcherLock());
        sim::kernel::WaitAny({target->idle}, lock, INFINITE);
    }
}

void WdfIoTargetPurge(WDFIOTARGET IoTarget, WDF_IO_TARGET_PURGE_IO_ACTION Action) {
    auto target = GetTarget(IoTarget, "WdfIoTargetPurge");
    if (!target) {
        return;
    }
    SetOpen(target, false);
    CancelSent(target, Action == WdfIoTargetPurgeIoAndWait);
}

HANDLE WdfIoTargetWdmGetTargetFileHandle(WDFIOTARGET IoTarget) {
    auto target = GetTarget(IoTarget, "WdfIoTargetWdmGetTargetFileHandle");
    if (!target) {
        return nullptr;
    }
    std::lock_guard guard(target->targetLock);
    return target->open ? static_cast<HANDLE>(IoTarget) : nullptr;
}

namespace {

NTSTATUS Format(WDFIOTARGET IoTarget, WDFREQUEST Request, WDF_REQUEST_TYPE type, ULONG ioctl,
                WDFMEMORY input, PWDFMEMORY_OFFSET inputOffset, WDFMEMORY output,
                PWDFMEMORY_OFFSET outputOffset, const char* call) {
    if (!GetTarget(IoTarget, call)) {
        return STATUS_INVALID_HANDLE;
    }
    auto request = GetRequest(Request, call);
    if (!request) {
        return STATUS_INVALID_HANDLE;
    }
    if ((input != nullptr && !fx::Get<fx::Memory>(input, fx::Kind::Memory, call)) ||
        (output != nullptr && !fx::Get<fx::Memory>(output, fx::Kind::Memory, call))) {
        return STATUS_INVALID_HANDLE;
    }
    if (NTSTATUS status = fx::CheckFaultStatus(call); !NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard guard(request->requestLock);
    if (request->inFlight) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    request->formatted = {};
    request->formatted.type = type;
    request->formatted.ioctl = ioctl;
    request->formatted.input = input;
    request->formatted.output = output;
    if (inputOffset != nullptr) {
        request->formatted.inputOffset = *inputOffset;
    }
    if (outputOffset != nullptr) {
        request->formatted.outputOffset = *outputOffset;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer,
                                          PWDFMEMORY_OFFSET OutputBufferOffset) {
    return Format(IoTarget, Request, WdfRequestTypeDeviceControl, IoctlCode, InputBuffer,
                  InputBufferOffset, OutputBuffer, OutputBufferOffset,
                  "WdfIoTargetFormatRequestForIoctl");
}

NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                         WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset) {
    (void)DeviceOffset;
    return Format(IoTarget, Request, WdfRequestTypeRead, 0, nullptr, nullptr, OutputBuffer,
                  OutputBufferOffset, "WdfIoTargetFormatRequestForRead");
}

NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          PLONGLONG DeviceOffset) {
    (void)DeviceOffset;
    return Format(IoTarget, Request, WdfRequestTypeWrite, 0, InputBuffer, InputBufferOffset,
                  nullptr, nullptr, "WdfIoTargetFormatRequestForWrite");
}
