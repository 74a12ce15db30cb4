// WDF wait locks and spin locks. Both block through the dispatcher, so that a
// thread waiting for a lock counts as waiting for quiescence.
#include "platform/sim/clock.h"
#include "platform/sim/kernel.h"
#include "platform/wdf/fx_object.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

class Lock final : public fx::Object {
public:
    explicit Lock(fx::Kind kind)
        : fx::Object(kind), mGate(std::make_shared<sim::kernel::Object>()) {
        mGate->kind = sim::kernel::ObjectKind::Event;
        mGate->manualReset = false;
        mGate->signaled = true;
    }

    // `milliseconds` of machine time, INFINITE to wait for ever.
    bool Acquire(DWORD milliseconds, const char* call) {
        DWORD self = sim::kernel::CurrentThreadId();
        if (mOwner.load() == self) {
            if (milliseconds == INFINITE) {
                std::fprintf(stderr,
                             "%s: lock %p acquired again by its owner thread %u: deadlock\n", call,
                             handle(), self);
                std::abort();
            }
            fx::ReportError("%s: lock %p acquired again by its owner thread %u", call, handle(),
                            self);
        }
        std::unique_lock lock(sim::kernel::DispatcherLock());
        if (sim::kernel::WaitAny({mGate}, lock, milliseconds) != WAIT_OBJECT_0) {
            return false;
        }
        mOwner.store(self);
        return true;
    }

    void Release(const char* call) {
        DWORD self = sim::kernel::CurrentThreadId();
        DWORD owner = mOwner.load();
        if (owner != self) {
            fx::ReportError("%s: lock %p released by thread %u, held by %u", call, handle(), self,
                            owner);
            if (owner == 0) {
                return; // not held: releasing would let two owners in
            }
        }
        mOwner.store(0);
        std::lock_guard lock(sim::kernel::DispatcherLock());
        sim::kernel::SignalLocked(*mGate);
    }

private:
    std::shared_ptr<sim::kernel::Object> mGate;
    std::atomic<DWORD> mOwner{0};
};

NTSTATUS CreateLock(fx::Kind kind, const char* call, PWDF_OBJECT_ATTRIBUTES attributes,
                    WDFOBJECT* handle) {
    *handle = nullptr;
    if (NTSTATUS status = fx::CheckFaultStatus(call); !NT_SUCCESS(status)) {
        return status;
    }
    auto lock = std::make_shared<Lock>(kind);
    return fx::InsertAs(lock, attributes, fx::DefaultParent(), call, handle);
}

// 100 ns units, negative relative; positive counts from the machine's start.
DWORD TimeoutMs(PLONGLONG timeout) {
    if (timeout == nullptr) {
        return INFINITE;
    }
    LONGLONG value = *timeout;
    LONGLONG ms = 0;
    if (value < 0) {
        ms = (-value + 9999) / 10000;
    } else if (value > 0) {
        ms = value / 10000 - static_cast<LONGLONG>(sim::NowMs());
    }
    if (ms < 0) {
        ms = 0;
    }
    return ms >= static_cast<LONGLONG>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

} // namespace

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    WDFOBJECT handle = nullptr;
    NTSTATUS status = CreateLock(fx::Kind::WaitLock, "WdfWaitLockCreate", LockAttributes, &handle);
    *Lock = reinterpret_cast<WDFWAITLOCK>(handle);
    return status;
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
    auto lock = fx::Get<::Lock>(Lock, fx::Kind::WaitLock, "WdfWaitLockAcquire");
    if (!lock) {
        return STATUS_INVALID_HANDLE;
    }
    return lock->Acquire(TimeoutMs(Timeout), "WdfWaitLockAcquire") ? STATUS_SUCCESS
                                                                   : STATUS_TIMEOUT;
}

void WdfWaitLockRelease(WDFWAITLOCK Lock) {
    if (auto lock = fx::Get<::Lock>(Lock, fx::Kind::WaitLock, "WdfWaitLockRelease")) {
        lock->Release("WdfWaitLockRelease");
    }
}

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    WDFOBJECT handle = nullptr;
    NTSTATUS status =
        CreateLock(fx::Kind::SpinLock, "WdfSpinLockCreate", SpinLockAttributes, &handle);
    *SpinLock = reinterpret_cast<WDFSPINLOCK>(handle);
    return status;
}

void WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    if (auto lock = fx::Get<::Lock>(SpinLock, fx::Kind::SpinLock, "WdfSpinLockAcquire")) {
        lock->Acquire(INFINITE, "WdfSpinLockAcquire");
    }
}

void WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    if (auto lock = fx::Get<::Lock>(SpinLock, fx::Kind::SpinLock, "WdfSpinLockRelease")) {
        lock->Release("WdfSpinLockRelease");
    }
}
