// WDF timers on the machine clock. A one-shot start counts as pending work
// for quiescence; periodic timers do not, and neither does a one-shot timer
// once its own callback has restarted it: it then runs as a periodic one,
// whoever restarts it afterwards. Nor does a one-shot timer due later than a
// settle waits (a refresh an hour away at full time): it would hold every
// command back for the whole bound and then run later all the same. A timer
// gets its thread when it is first started: pools create many that never run.
#include "platform/sim/clock.h"
#include "platform/sim/quiescence.h"
#include "platform/wdf/fx_deferred.h"
#include "platform/wdf/fx_object.h"

namespace {

class Timer final : public fx::Object {
public:
    explicit Timer(const WDF_TIMER_CONFIG& config) : fx::Object(fx::Kind::Timer), mConfig(config) {}
    ~Timer() override { fx::RetireQueue(mQueue); }

    BOOLEAN Start(double ms) {
        std::lock_guard guard(mTimerLock);
        if (mGone) {
            return FALSE;
        }
        if (!mQueue) {
            mQueue = fx::NewQueue("WDF timer");
        }
        bool wasQueued = mPending != 0 && mQueue->Cancel(mPending);
        mRearmsItself = mRearmsItself || mQueue->OnQueueThread();
        bool counted =
            mConfig.Period == 0 && !mRearmsItself && sim::RealDuration(ms) <= sim::kSettleBound;
        Post(ms, counted);
        return wasQueued ? TRUE : FALSE;
    }

    BOOLEAN Stop(bool wait) {
        bool wasQueued = false;
        fx::QueuePtr queue;
        {
            std::lock_guard guard(mTimerLock);
            queue = mQueue;
            if (!queue) {
                return FALSE; // never started
            }
            wasQueued = mPending != 0 && queue->Cancel(mPending);
            mPending = 0;
            ++mGeneration;
        }
        if (wait && !queue->OnQueueThread()) {
            fx::Drain(queue);
        }
        return wasQueued ? TRUE : FALSE;
    }

    void OnDeleteBegin() override {
        {
            std::lock_guard guard(mTimerLock);
            mGone = true;
        }
        Stop(true);
    }
    void OnDestroy() override {
        std::lock_guard guard(mTimerLock);
        mGone = true;
        if (mQueue && mPending != 0) {
            mQueue->Cancel(mPending);
            mPending = 0;
        }
    }

    WDF_TIMER_CONFIG mConfig;

private:
    // Under mTimerLock.
    void Post(double ms, bool counted) {
        std::uint64_t generation = ++mGeneration;
        std::weak_ptr<Timer> self = std::static_pointer_cast<Timer>(shared_from_this());
        mPending = mQueue->PostAfter(
            ms,
            [self, generation] {
                if (auto timer = self.lock()) {
                    timer->Fire(generation);
                }
            },
            counted);
    }

    void Fire(std::uint64_t generation) {
        {
            std::lock_guard guard(mTimerLock);
            if (generation != mGeneration || mGone) {
                return;
            }
            mPending = 0;
        }
        mConfig.EvtTimerFunc(reinterpret_cast<WDFTIMER>(handle()));
        std::lock_guard guard(mTimerLock);
        // A periodic timer goes on unless it was stopped or restarted meanwhile.
        if (mConfig.Period != 0 && generation == mGeneration && !mGone) {
            Post(mConfig.Period, false);
        }
    }

    std::mutex mTimerLock;
    fx::QueuePtr mQueue;
    sim::WorkQueue::Id mPending = 0;
    std::uint64_t mGeneration = 0;
    bool mGone = false;
    bool mRearmsItself = false;
};

} // namespace

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                        WDFTIMER* Timer) {
    *Timer = nullptr;
    if (Config == nullptr || Config->EvtTimerFunc == nullptr || Attributes == nullptr ||
        Attributes->ParentObject == nullptr) {
        fx::ReportError("WdfTimerCreate: a timer needs a callback and a parent object");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfTimerCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto timer = std::make_shared<::Timer>(*Config);
    return fx::InsertAs(timer, Attributes, nullptr, "WdfTimerCreate", Timer);
}

BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime) {
    auto timer = fx::Get<::Timer>(Timer, fx::Kind::Timer, "WdfTimerStart");
    if (!timer) {
        return FALSE;
    }
    // Starting a timer cannot fail; the point only holds a start (Hold()).
    fx::CheckFaultStatus("WdfTimerStart");
    double ms = 0;
    if (DueTime < 0) {
        ms = static_cast<double>(-DueTime) / 10000.0;
    } else if (DueTime > 0) {
        ms = static_cast<double>(DueTime) / 10000.0 - static_cast<double>(sim::NowMs());
        ms = ms < 0 ? 0 : ms;
    }
    return timer->Start(ms);
}

BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait) {
    auto timer = fx::Get<::Timer>(Timer, fx::Kind::Timer, "WdfTimerStop");
    return timer ? timer->Stop(Wait != FALSE) : FALSE;
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer) {
    auto timer = fx::Get<::Timer>(Timer, fx::Kind::Timer, "WdfTimerGetParentObject");
    return timer ? timer->parent() : nullptr;
}
