#include "platform/sim/target_device.h"

#include "platform/sim/cm_control.h"
#include "platform/sim/wdf_control.h"
#include "platform/sim/work_queue.h"

#include <algorithm>
#include <mutex>

namespace sim {

namespace {

// Delayed answers of every target device, in machine time. Answers may still
// be due at exit: the queue is never destroyed.
WorkQueue& AnswerQueue() {
    static WorkQueue* queue = new WorkQueue("I/O target device answers");
    return *queue;
}

void Apply(wdf::TargetIo& io, const TargetAnswer& answer) {
    io.output = answer.output;
    io.output.resize(std::min(io.output.size(), io.outputCapacity));
    io.status = answer.status;
    io.information = answer.information.value_or(io.output.size());
}

} // namespace

struct TargetDevice::State {
    GUID interfaceClass;
    std::u16string link;

    mutable std::mutex lock; // guards what follows
    TargetRequestHandler handler;
    bool present = false;
    std::vector<TargetRequest> requests;
    // A request's record lives as long as its sender waits for it: an expired
    // one was ended by its sender.
    std::vector<std::pair<std::weak_ptr<wdf::TargetIo>, TargetAnswer>> withheld;

    // Answers every withheld request still waited for, with its own answer
    // or with `instead`.
    void AnswerWithheld(const TargetAnswer* instead) {
        std::vector<std::pair<std::weak_ptr<wdf::TargetIo>, TargetAnswer>> held;
        {
            std::lock_guard guard(lock);
            held.swap(withheld);
        }
        for (const auto& [weak, answer] : held) {
            if (auto io = weak.lock()) {
                Apply(*io, instead != nullptr ? *instead : answer);
                io->complete();
            }
        }
    }

    void Receive(const std::shared_ptr<wdf::TargetIo>& io) {
        TargetRequest request{io->type, io->ioControlCode, io->input, io->outputCapacity,
                              io->timeoutMs};
        TargetRequestHandler current;
        {
            std::lock_guard guard(lock);
            requests.push_back(request);
            current = handler;
        }
        TargetAnswer answer;
        if (current) {
            answer = current(request);
        } else {
            answer.status = STATUS_NOT_SUPPORTED;
        }
        if (answer.withhold) {
            io->pending = true;
            std::lock_guard guard(lock);
            withheld.emplace_back(io, std::move(answer));
        } else if (answer.delayMs > 0) {
            io->pending = true;
            std::weak_ptr<wdf::TargetIo> weak = io;
            AnswerQueue().PostAfter(answer.delayMs, [weak, answer] {
                if (auto record = weak.lock()) {
                    Apply(*record, answer);
                    record->complete();
                }
            });
        } else {
            Apply(*io, answer);
        }
    }
};

TargetDevice::TargetDevice(const GUID& interfaceClass, std::u16string symbolicLink,
                           TargetRequestHandler handler)
    : mState(std::make_shared<State>()) {
    mState->interfaceClass = interfaceClass;
    mState->link = std::move(symbolicLink);
    mState->handler = std::move(handler);
}

TargetDevice::~TargetDevice() {
    Withdraw();
}

const std::u16string& TargetDevice::SymbolicLink() const {
    return mState->link;
}

void TargetDevice::SetHandler(TargetRequestHandler handler) {
    std::lock_guard guard(mState->lock);
    mState->handler = std::move(handler);
}

void TargetDevice::Publish() {
    {
        std::lock_guard guard(mState->lock);
        if (mState->present) {
            return;
        }
        mState->present = true;
    }
    std::weak_ptr<State> weak = mState;
    wdf::RegisterTargetDevice(mState->link, [weak](const std::shared_ptr<wdf::TargetIo>& io) {
        if (auto state = weak.lock()) {
            state->Receive(io);
        } else {
            io->status = STATUS_DEVICE_REMOVED;
        }
    });
    cm::AddInterface(mState->interfaceClass, mState->link);
}

void TargetDevice::Withdraw() {
    {
        std::lock_guard guard(mState->lock);
        if (!mState->present) {
            return;
        }
        mState->present = false;
    }
    // A device that goes fails what it still holds, as its driver would.
    TargetAnswer gone;
    gone.status = STATUS_DEVICE_REMOVED;
    mState->AnswerWithheld(&gone);
    wdf::CompleteTargetDeviceRemoval(mState->link);
    cm::RemoveInterface(mState->link);
}

bool TargetDevice::Present() const {
    std::lock_guard guard(mState->lock);
    return mState->present;
}

NTSTATUS TargetDevice::QueryRemove(bool veto) {
    return wdf::QueryRemoveTargetDevice(mState->link, veto);
}

void TargetDevice::CancelRemove() {
    wdf::CancelTargetDeviceRemoval(mState->link);
}

void TargetDevice::CompleteRemove() {
    Withdraw();
}

WDFIOTARGET TargetDevice::OpenTarget(WDFDEVICE device) const {
    WDFIOTARGET target = nullptr;
    if (!NT_SUCCESS(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target))) {
        return nullptr;
    }
    std::u16string name = mState->link;
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    UNICODE_STRING text{bytes, bytes, name.data()};
    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &text, GENERIC_READ | GENERIC_WRITE);
    if (!NT_SUCCESS(WdfIoTargetOpen(target, &params))) {
        WdfObjectDelete(target);
        return nullptr;
    }
    return target;
}

std::vector<TargetRequest> TargetDevice::Requests() const {
    std::lock_guard guard(mState->lock);
    return mState->requests;
}

std::size_t TargetDevice::RequestCount() const {
    std::lock_guard guard(mState->lock);
    return mState->requests.size();
}

void TargetDevice::ForgetRequests() {
    std::lock_guard guard(mState->lock);
    mState->requests.clear();
}

std::size_t TargetDevice::WithheldCount() const {
    std::lock_guard guard(mState->lock);
    return static_cast<std::size_t>(
        std::count_if(mState->withheld.begin(), mState->withheld.end(),
                      [](const auto& entry) { return !entry.first.expired(); }));
}

void TargetDevice::ReleaseWithheld() {
    mState->AnswerWithheld(nullptr);
}

} // namespace sim
