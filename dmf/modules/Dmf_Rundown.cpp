// The Rundown module. The count starts at 1 (Start's own reference) so that
// a count of 0 means "ended"; the wait polls every 100 ms, as the framework's
// own close does, since nothing signals the last dereference.
#include "dmf/modules/Dmf_Rundown.h"

#include "dmf/framework/DmfUtility.h"
#include "platform/trace.h"
#include "platform/win32.h"

namespace {

constexpr ULONG kRundownPollMs = 100;

struct DMF_CONTEXT_Rundown {
    LONG ReferenceCount;
    BOOLEAN EndingRundown;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(Rundown)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_Rundown)

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_Rundown_TypeInfo(), FALSE);
}

// Drops the initial reference once it is the only one left; TRUE when the
// count is 0.
BOOLEAN RundownEnded(DMFMODULE DmfModule) {
    DMF_CONTEXT_Rundown* context = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    if (context->ReferenceCount == 1) {
        context->ReferenceCount = 0;
        context->EndingRundown = FALSE;
    }
    const BOOLEAN ended = context->ReferenceCount == 0 ? TRUE : FALSE;
    DMF_ModuleUnlock(DmfModule);
    return ended;
}

void Rundown_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_Rundown* context = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    const bool wait = !context->EndingRundown && context->ReferenceCount > 0;
    DMF_ModuleUnlock(DmfModule);
    if (wait) {
        DMF_Rundown_EndAndWait(DmfModule);
    }
    FuncExitVoid(DMF_TRACE);
}

} // namespace

NTSTATUS DMF_Rundown_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                            WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceClose = Rundown_Close;

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, Rundown, DMF_MODULE_OPTIONS_DISPATCH,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_Rundown);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_Rundown_Start(DMFMODULE DmfModule) {
    ValidateHandle(DmfModule);
    DMF_CONTEXT_Rundown* context = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    context->ReferenceCount = 1;
    context->EndingRundown = FALSE;
    DMF_ModuleUnlock(DmfModule);
}

NTSTATUS DMF_Rundown_Reference(DMFMODULE DmfModule) {
    ValidateHandle(DmfModule);
    DMF_CONTEXT_Rundown* context = DMF_CONTEXT_GET(DmfModule);
    NTSTATUS ntStatus = STATUS_SUCCESS;
    DMF_ModuleLock(DmfModule);
    if (context->ReferenceCount < 1 || context->EndingRundown) {
        ntStatus = STATUS_INVALID_DEVICE_STATE;
    } else {
        InterlockedIncrement(&context->ReferenceCount);
    }
    DMF_ModuleUnlock(DmfModule);
    return ntStatus;
}

void DMF_Rundown_Dereference(DMFMODULE DmfModule) {
    ValidateHandle(DmfModule);
    DMF_CONTEXT_Rundown* context = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    InterlockedDecrement(&context->ReferenceCount);
    DMF_ModuleUnlock(DmfModule);
}

void DMF_Rundown_EndAndWait(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_Rundown* context = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    context->EndingRundown = TRUE;
    DMF_ModuleUnlock(DmfModule);
    while (!RundownEnded(DmfModule)) {
        DMF_SleepMilliseconds(kRundownPollMs);
    }
    FuncExitVoid(DMF_TRACE);
}
