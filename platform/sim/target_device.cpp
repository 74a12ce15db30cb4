#include "platform/sim/target_device.h"

#include "platform/sim/cm_control.h"
#include "platform/sim/wdf_control.h"
#include "platform/sim/work_queue.h"

#include <algorithm>
#include <mutex>

namespace sim {

namespace {

// Delayed answers of every target device, in machine time.
WorkQueue& AnswerQueue() {
    static WorkQueue* queue = new WorkQueue; // answers may still be due at exit
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

    void Receive(const std::shared_ptr<wdf::TargetIo>& io) {
        TargetRequest request{io->type, io->ioControlCode, io->input, io->outputCapacity};
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

std::vector<TargetRequest> TargetDevice::Requests() const {
    std::lock_guard guard(mState->lock);
    return mState->requests;
}

std::size_t TargetDevice::RequestCount() const {
    std::lock_guard guard(mState->lock);
    return mState->requests.size();
}

std::size_t TargetDevice::WithheldCount() const {
    std::lock_guard guard(mState->lock);
    return static_cast<std::size_t>(
        std::count_if(mState->withheld.begin(), mState->withheld.end(),
                      [](const auto& entry) { return !entry.first.expired(); }));
}

void TargetDevice::ReleaseWithheld() {
    std::vector<std::pair<std::weak_ptr<wdf::TargetIo>, TargetAnswer>> held;
    {
        std::lock_guard guard(mState->lock);
        held.swap(mState->withheld);
    }
    for (const auto& [weak, answer] : held) {
        if (auto io = weak.lock()) {
            Apply(*io, answer);
            io->complete();
        }
    }
}

} // namespace sim
