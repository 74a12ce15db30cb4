// The removal of a simulated device that I/O targets are open on, delivered
// to the targets' drivers the way the framework delivers it: to the
// configuration manager's registrations on each target's file handle first,
// then to the target's own callbacks.
#include "platform/sim/callback_thread.h"
#include "platform/sim/cm_control.h"
#include "platform/sim/wdf_control.h"
#include "platform/wdf/fx_device.h"
#include "platform/win32.h"

#include <functional>

namespace {

struct Affected {
    std::shared_ptr<fx::IoTarget> target;
    WDF_IO_TARGET_OPEN_PARAMS params;
};

enum class Which {
    Open,    // open on the device now
    Queried, // given a query-remove that has not ended yet
    Either,
};

// The targets on `name` in the given state.
std::vector<Affected> TargetsOn(const std::u16string& name, Which which) {
    std::vector<Affected> result;
    fx::ForEachTargetOn(name, [&](fx::IoTarget& target) {
        bool wanted = which == Which::Open      ? target.open
                      : which == Which::Queried ? target.queryPending
                                                : target.open || target.queryPending;
        if (wanted) {
            result.push_back({std::static_pointer_cast<fx::IoTarget>(target.shared_from_this()),
                              target.openParams});
        }
    });
    return result;
}

// Runs `body` on a stand-in thread, as the framework's notification thread;
// where none can be started, on this one.
void OnNotificationThread(const std::function<void()>& body) {
    if (!sim::RunOnCallbackThread("target removal", "a driver callback", body)) {
        body();
    }
}

void SetQueried(const Affected& affected, bool queried) {
    std::lock_guard guard(affected.target->targetLock);
    affected.target->queryPending = queried;
}

WDFIOTARGET HandleOf(const Affected& affected) {
    return reinterpret_cast<WDFIOTARGET>(affected.target->handle());
}

// The file handle that configuration-manager registrations name the target by.
HANDLE FileHandleOf(const Affected& affected) {
    return static_cast<HANDLE>(affected.target->handle());
}

// A query that will not be followed by the removal: every target that was
// asked, the one that vetoed included, is told, and one the framework closed
// for the query is opened again.
void EndQuery(const Affected& affected) {
    SetQueried(affected, false);
    sim::cm::NotifyDeviceHandle(FileHandleOf(affected), CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED);
    if (affected.params.EvtIoTargetRemoveCanceled != nullptr) {
        affected.params.EvtIoTargetRemoveCanceled(HandleOf(affected));
        return;
    }
    bool closedForQuery = false;
    {
        std::lock_guard guard(affected.target->targetLock);
        closedForQuery = affected.target->closedForQueryRemove;
    }
    if (closedForQuery) {
        WDF_IO_TARGET_OPEN_PARAMS reopen;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(&reopen);
        WdfIoTargetOpen(HandleOf(affected), &reopen);
    }
}

} // namespace

namespace sim::wdf {

NTSTATUS QueryRemoveTargetDevice(const std::u16string& name, bool deviceVetoes) {
    NTSTATUS result = STATUS_SUCCESS;
    OnNotificationThread([&] {
        for (const auto& affected : TargetsOn(name, Which::Open)) {
            SetQueried(affected, true);
            NTSTATUS status = STATUS_SUCCESS;
            if (sim::cm::NotifyDeviceHandle(FileHandleOf(affected),
                                            CM_NOTIFY_ACTION_DEVICEQUERYREMOVE) != ERROR_SUCCESS) {
                status = STATUS_UNSUCCESSFUL;
            } else if (affected.params.EvtIoTargetQueryRemove != nullptr) {
                status = affected.params.EvtIoTargetQueryRemove(HandleOf(affected));
            } else {
                WdfIoTargetCloseForQueryRemove(HandleOf(affected));
            }
            if (!NT_SUCCESS(status)) {
                result = status;
                break;
            }
        }
        if (NT_SUCCESS(result) && deviceVetoes) {
            result = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(result)) {
            for (const auto& affected : TargetsOn(name, Which::Queried)) {
                EndQuery(affected);
            }
        }
    });
    return result;
}

void CancelTargetDeviceRemoval(const std::u16string& name) {
    OnNotificationThread([&] {
        for (const auto& affected : TargetsOn(name, Which::Queried)) {
            EndQuery(affected);
        }
    });
}

void CompleteTargetDeviceRemoval(const std::u16string& name) {
    OnNotificationThread([&] {
        for (const auto& affected : TargetsOn(name, Which::Either)) {
            SetQueried(affected, false);
            sim::cm::NotifyDeviceHandle(FileHandleOf(affected),
                                        CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE);
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
