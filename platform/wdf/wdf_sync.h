// WDF wait locks and spin locks.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
// Timeout: NULL waits forever; otherwise 100 ns units, negative = relative,
// 0 = try once. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
void WdfWaitLockRelease(WDFWAITLOCK Lock);

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
void WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
void WdfSpinLockRelease(WDFSPINLOCK SpinLock);
