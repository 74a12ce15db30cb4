#include "tests/dmf/Dmf_Recorder.h"

#include "dmf/framework/DmfDevice.h"
#include "tests/dmf/EventLog.h"

#include <cstring>
#include <string>
#include <type_traits>

namespace {

DMF_MODULE_DECLARE_CUSTOM_TYPE(Recorder)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_Recorder)

const char* const kSlots[] = {
#define SLOT_NAME(name) #name,
    DMF_WDF_SLOTS(SLOT_NAME)
#undef SLOT_NAME
};

void Note(DMFMODULE DmfModule, const char* what) {
    dmftest::Record(std::string(DMF_ModuleInstanceNameGet(DmfModule)) + ":" + what);
}

bool Is(const char* configured, const char* what) {
    return configured != nullptr && std::strcmp(configured, what) == 0;
}

NTSTATUS Outcome(DMFMODULE DmfModule, const char* what) {
    const DMF_CONFIG_Recorder* config = DMF_CONFIG_GET(DmfModule);
    return Is(config->FailAt, what) ? config->FailStatus : STATUS_SUCCESS;
}

template <typename Fn> struct Slot;
template <typename R, typename... Args> struct Slot<R(DMFMODULE, Args...)> {
    template <ULONG Index> static R Handler(DMFMODULE DmfModule, Args...) {
        Note(DmfModule, kSlots[Index]);
        if constexpr (std::is_same_v<R, NTSTATUS>) {
            return Outcome(DmfModule, kSlots[Index]);
        } else if constexpr (!std::is_void_v<R>) {
            return R{};
        }
    }
};

bool Claims(DMFMODULE DmfModule, const char* slot) {
    Note(DmfModule, slot);
    return Is(DMF_CONFIG_GET(DmfModule)->ClaimAt, slot);
}

// A claimed request is completed here with `Status`.
template <NTSTATUS Status>
BOOLEAN Complete(DMFMODULE DmfModule, WDFREQUEST Request, const char* slot) {
    if (!Claims(DmfModule, slot)) {
        return FALSE;
    }
    WdfRequestComplete(Request, Status);
    return TRUE;
}

BOOLEAN DeviceIoControl(DMFMODULE DmfModule, WDFQUEUE, WDFREQUEST Request, size_t, size_t, ULONG) {
    return Complete<STATUS_SUCCESS>(DmfModule, Request, "DeviceIoControl");
}
BOOLEAN FileCreate(DMFMODULE DmfModule, WDFDEVICE, WDFREQUEST Request, WDFFILEOBJECT) {
    return Complete<STATUS_ACCESS_DENIED>(DmfModule, Request, "FileCreate");
}
BOOLEAN FileCleanup(DMFMODULE DmfModule, WDFFILEOBJECT) {
    return Claims(DmfModule, "FileCleanup") ? TRUE : FALSE;
}
BOOLEAN FileClose(DMFMODULE DmfModule, WDFFILEOBJECT) {
    return Claims(DmfModule, "FileClose") ? TRUE : FALSE;
}

NTSTATUS DeviceOpen(DMFMODULE DmfModule) {
    Note(DmfModule, "open");
    return Outcome(DmfModule, "DeviceOpen");
}

void DeviceClose(DMFMODULE DmfModule) {
    Note(DmfModule, "close");
}

NTSTATUS NotificationRegister(DMFMODULE DmfModule) {
    Note(DmfModule, "register");
    NTSTATUS ntStatus = Outcome(DmfModule, "NotificationRegister");
    if (NT_SUCCESS(ntStatus) && DMF_CONFIG_GET(DmfModule)->OpenOnNotification) {
        ntStatus = DMF_ModuleOpen(DmfModule);
    }
    return ntStatus;
}

void NotificationUnregister(DMFMODULE DmfModule) {
    Note(DmfModule, "unregister");
    DMF_ModuleClose(DmfModule);
}

void ModuleDestroy(DMFMODULE DmfModule) {
    Note(DmfModule, "destroy");
}

void ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*, PDMFMODULE_INIT DmfModuleInit) {
    const DMF_CONFIG_Recorder* config = DMF_CONFIG_GET(DmfModule);
    for (ULONG index = 0; index < config->ChildCount; ++index) {
        const RecorderChild& child = config->Children[index];
        DMF_MODULE_ATTRIBUTES attributes;
        DMF_MODULE_ATTRIBUTES_INIT(&attributes, sizeof(DMF_CONFIG_Recorder),
                                   const_cast<DMF_CONFIG_Recorder*>(&child.Config),
                                   DMF_Recorder_Create);
        attributes.ClientModuleInstanceName = child.Name;
        DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    }
}

} // namespace

NTSTATUS DMF_Recorder_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                             WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    DMF_CONFIG_Recorder given{};
    if (DmfModuleAttributes->ModuleConfigPointer != nullptr) {
        std::memcpy(
            &given, DmfModuleAttributes->ModuleConfigPointer,
            std::min<size_t>(sizeof(given), DmfModuleAttributes->SizeOfModuleSpecificConfig));
    }

    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = DeviceOpen;
    callbacksDmf.DeviceClose = DeviceClose;
    callbacksDmf.NotificationRegister = NotificationRegister;
    callbacksDmf.NotificationUnregister = NotificationUnregister;
    callbacksDmf.ModuleDestroy = ModuleDestroy;
    callbacksDmf.ChildModulesAdd = ChildModulesAdd;

    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
    if (given.OwnHandlers) {
#define SLOT_HANDLER(name)                                                                         \
    callbacksWdf.name = Slot<EVT_DMF_MODULE_##name>::Handler<DmfWdfSlot_##name>;
        DMF_WDF_SLOTS(SLOT_HANDLER)
#undef SLOT_HANDLER
    }
    // The device-control and file slots always take part, so claims can be tested
    // with the default open/close slots in place.
    callbacksWdf.DeviceIoControl = DeviceIoControl;
    callbacksWdf.FileCreate = FileCreate;
    callbacksWdf.FileCleanup = FileCleanup;
    callbacksWdf.FileClose = FileClose;

    DMF_MODULE_DESCRIPTOR descriptor;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(
        descriptor, Recorder,
        given.ModuleOptions != 0 ? given.ModuleOptions : DMF_MODULE_OPTIONS_PASSIVE,
        given.OpenOption != 0 ? given.OpenOption : DMF_MODULE_OPEN_OPTION_OPEN_Create);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_Recorder);
    descriptor.AuxiliaryLockCount = given.AuxiliaryLockCount;
    descriptor.TransportGuidOffered = given.TransportOffered;
    descriptor.TransportGuidRequired = given.TransportRequired;
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;
    return DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
}

const DMF_CONFIG_Recorder* DMF_Recorder_Config(DMFMODULE DmfModule) {
    return DMF_CONFIG_GET(DmfModule);
}

void DMF_Recorder_LockedNoop(DMFMODULE DmfModule) {
    DMF_ModuleLockChecked(DmfModule, DMF_Recorder_TypeInfo());
    DMF_ModuleUnlockChecked(DmfModule, DMF_Recorder_TypeInfo());
}
