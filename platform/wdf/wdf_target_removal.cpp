// The removal of a simulated device that I/O targets are open on, delivered
// to the targets' drivers the way the framework delivers it.
#include "platform/sim/callback_thread.h"
#include "platform/sim/wdf_control.h"
#include "platform/wdf/fx_device.h"
#include "platform/win32.h"

#include <functional>

namespace {

struct Affected {
    std::shared_ptr<fx::IoTarget> target;
    WDF_IO_TARGET_OPEN_PARAMS params;
};

// The targets on `name` that are open, or closed for a query (`closed`).
std::vector<Affected> TargetsOn(const std::u16string& name, bool closed) {
    std::vector<Affected> result;
    for (const auto& object : fx::Snapshot()) {
        if (object->kind() != fx::Kind::IoTarget || object->state() != fx::LifeState::Live) {
            continue;
        }
        auto target = std::static_pointer_cast<fx::IoTarget>(object);
        std::lock_guard guard(target->targetLock);
        if (target->isDefault || target->name != name) {
            continue;
        }
        if (closed ? target->closedForQueryRemove : target->open) {
            result.push_back({target, target->openParams});
        }
    }
    return result;
}

// Runs `body` on a stand-in thread, as the framework's notification thread;
// where none can be started, on this one.
void OnNotificationThread(const std::function<void()>& body) {
    if (!sim::RunOnCallbackThread("target removal", "a driver callback", body)) {
        body();
    }
}

WDFIOTARGET HandleOf(const Affected& affected) {
    return reinterpret_cast<WDFIOTARGET>(affected.target->handle());
}

void ReopenAfterQuery(const std::u16string& name) {
    for (const auto& affected : TargetsOn(name, true)) {
        if (affected.params.EvtIoTargetRemoveCanceled != nullptr) {
            affected.params.EvtIoTargetRemoveCanceled(HandleOf(affected));
        } else {
            WDF_IO_TARGET_OPEN_PARAMS reopen;
            WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(&reopen);
            WdfIoTargetOpen(HandleOf(affected), &reopen);
        }
    }
}

} // namespace

namespace sim::wdf {

NTSTATUS QueryRemoveTargetDevice(const std::u16string& name) {
    NTSTATUS result = STATUS_SUCCESS;
    OnNotificationThread([&] {
        for (const auto& affected : TargetsOn(name, false)) {
            NTSTATUS status = STATUS_SUCCESS;
            if (affected.params.EvtIoTargetQueryRemove != nullptr) {
                status = affected.params.EvtIoTargetQueryRemove(HandleOf(affected));
            } else {
                WdfIoTargetCloseForQueryRemove(HandleOf(affected));
            }
            if (!NT_SUCCESS(status)) {
                result = status;
                ReopenAfterQuery(name);
                return;
            }
        }
    });
    return result;
}

void CancelTargetDeviceRemoval(const std::u16string& name) {
    OnNotificationThread([&] { ReopenAfterQuery(name); });
}

void CompleteTargetDeviceRemoval(const std::u16string& name) {
    OnNotificationThread([&] {
        auto gone = TargetsOn(name, false);
        for (const auto& affected : TargetsOn(name, true)) {
            gone.push_back(affected);
        }
        for (const auto& affected : gone) {
            if (affected.params.EvtIoTargetRemoveComplete != nullptr) {
                affected.params.EvtIoTargetRemoveComplete(HandleOf(affected));
            } else {
                WdfIoTargetClose(HandleOf(affected));
            }
        }
    });
    UnregisterTargetDevice(name);
}

NTSTATUS RemoveTargetDevice(const std::u16string& name, bool surprise) {
    if (!surprise) {
        NTSTATUS status = QueryRemoveTargetDevice(name);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    CompleteTargetDeviceRemoval(name);
    return STATUS_SUCCESS;
}

} // namespace sim::wdf
