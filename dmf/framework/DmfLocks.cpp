// The module lock and the auxiliary locks: wait locks for passive modules,
// spin locks for dispatch modules, chosen when the module is created.
#include "dmf/framework/DmfObject.h"
#include "platform/trace.h"
#include "platform/win32.h"

namespace {

// Only the locks the module was created with may be taken: index 0 (the
// module lock) to AuxiliaryLockCount.
bool LockIndexValid(DMF_OBJECT* dmfObject, ULONG index) {
    if (index >= DMF_MAXIMUM_LOCKS || index > dmfObject->ModuleDescriptor.AuxiliaryLockCount) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module %s has no lock %u",
                    dmfObject->ClientModuleInstanceName, index);
        return false;
    }
    return true;
}

void PassiveLockByIndex(DMFMODULE DmfModule, ULONG Index) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    if (LockIndexValid(dmfObject, Index)) {
        WdfWaitLockAcquire(dmfObject->Locks[Index].WaitLock, nullptr);
    }
}

void PassiveUnlockByIndex(DMFMODULE DmfModule, ULONG Index) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    if (LockIndexValid(dmfObject, Index)) {
        WdfWaitLockRelease(dmfObject->Locks[Index].WaitLock);
    }
}

void DispatchLockByIndex(DMFMODULE DmfModule, ULONG Index) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    if (LockIndexValid(dmfObject, Index)) {
        WdfSpinLockAcquire(dmfObject->Locks[Index].SpinLock);
    }
}

void DispatchUnlockByIndex(DMFMODULE DmfModule, ULONG Index) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    if (LockIndexValid(dmfObject, Index)) {
        WdfSpinLockRelease(dmfObject->Locks[Index].SpinLock);
    }
}

void PassiveLock(DMFMODULE DmfModule) {
    PassiveLockByIndex(DmfModule, DMF_DEFAULT_LOCK_INDEX);
}
void PassiveUnlock(DMFMODULE DmfModule) {
    PassiveUnlockByIndex(DmfModule, DMF_DEFAULT_LOCK_INDEX);
}
void DispatchLock(DMFMODULE DmfModule) {
    DispatchLockByIndex(DmfModule, DMF_DEFAULT_LOCK_INDEX);
}
void DispatchUnlock(DMFMODULE DmfModule) {
    DispatchUnlockByIndex(DmfModule, DMF_DEFAULT_LOCK_INDEX);
}

} // namespace

BOOLEAN DMF_IsVerifierOn() {
    return WdfDriverGlobals != nullptr && (WdfDriverGlobals->DriverFlags & WdfVerifyOn) != 0
               ? TRUE
               : FALSE;
}

const DMF_LOCK_OPERATIONS DmfLockOperations_Passive = {
    sizeof(DMF_LOCK_OPERATIONS), PassiveLock,          PassiveUnlock,
    PassiveLockByIndex,          PassiveUnlockByIndex,
};

const DMF_LOCK_OPERATIONS DmfLockOperations_Dispatch = {
    sizeof(DMF_LOCK_OPERATIONS), DispatchLock,          DispatchUnlock,
    DispatchLockByIndex,         DispatchUnlockByIndex,
};

void DMF_ModuleLock(DMFMODULE DmfModule) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    dmfObject->LockOperations.LockByIndex(DmfModule, DMF_DEFAULT_LOCK_INDEX);
    dmfObject->Locks[DMF_DEFAULT_LOCK_INDEX].OwnerThreadId = GetCurrentThreadId();
}

void DMF_ModuleUnlock(DMFMODULE DmfModule) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    dmfObject->Locks[DMF_DEFAULT_LOCK_INDEX].OwnerThreadId = 0;
    dmfObject->LockOperations.UnlockByIndex(DmfModule, DMF_DEFAULT_LOCK_INDEX);
}

void DMF_ModuleAuxiliaryLock(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex) {
    DMF_ModuleToObject(DmfModule)->LockOperations.LockByIndex(DmfModule, AuxiliaryLockIndex);
}

void DMF_ModuleAuxiliaryUnlock(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex) {
    DMF_ModuleToObject(DmfModule)->LockOperations.UnlockByIndex(DmfModule, AuxiliaryLockIndex);
}

void DMF_ModuleLockByIndex(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex) {
    DMF_ModuleAuxiliaryLock(DmfModule, AuxiliaryLockIndex);
}

void DMF_ModuleUnlockByIndex(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex) {
    DMF_ModuleAuxiliaryUnlock(DmfModule, AuxiliaryLockIndex);
}

BOOLEAN DMF_ModuleIsPassive(DMFMODULE DmfModule) {
    return (DMF_ModuleToObject(DmfModule)->ModuleDescriptor.ModuleOptions &
            DMF_MODULE_OPTIONS_PASSIVE)
               ? TRUE
               : FALSE;
}

void DMF_HandleValidate_ModuleMethod(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo,
                                     BOOLEAN Unlocking) {
    if (!DMF_IsVerifierOn()) {
        return;
    }
    if (!WdfObjectIsCustomTypeWorker(DMF_ModuleToWdfObject(DmfModule), TypeInfo)) {
        // Reported and broken into, not refused: the verifier's job is to
        // point at the caller, not to change what the call does.
        OutputDebugStringA(Unlocking ? "Invalid Module Handle Passed (Unlock)"
                                     : "Invalid Module Handle Passed (Lock)");
        DebugBreak();
    }
}

void DMF_ModuleLockChecked(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    DMF_HandleValidate_ModuleMethod(DmfModule, TypeInfo, FALSE);
    DMF_ModuleLock(DmfModule);
}

void DMF_ModuleUnlockChecked(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    DMF_HandleValidate_ModuleMethod(DmfModule, TypeInfo, TRUE);
    DMF_ModuleUnlock(DmfModule);
}
