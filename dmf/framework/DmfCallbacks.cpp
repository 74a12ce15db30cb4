// The callback tables every module starts from: the defaults a module type's
// NULL slots keep, the core's internal tables (traced trampolines into the
// module's own slots) and the two sets of lock operations.
#include "dmf/framework/DmfObject.h"
#include "platform/trace.h"

#include <type_traits>

namespace {

const char* const kWdfSlotNames[] = {
#define DMF_SLOT_NAME(name) #name,
    DMF_WDF_SLOTS(DMF_SLOT_NAME)
#undef DMF_SLOT_NAME
};

template <typename Fn> struct Slot;
template <typename R, typename... Args> struct Slot<R(DMFMODULE, Args...)> {
    using Pointer = R (*)(DMFMODULE, Args...);

    // A slot the module type left empty: traces and reports success, or
    // "not handled" for the queue and file slots.
    template <ULONG Index> static R Default(DMFMODULE DmfModule, Args...) {
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "DmfModule=%p %s (default)",
                    static_cast<void*>(DmfModule), kWdfSlotNames[Index]);
        if constexpr (!std::is_void_v<R>) {
            return R{};
        }
    }

    // The core's entry into a module's slot: every dispatch passes here, so
    // the trace shows which module saw which event.
    template <ULONG Index, Pointer DMF_CALLBACKS_WDF::*Member>
    static R Trampoline(DMFMODULE DmfModule, Args... args) {
        DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "DmfModule=%p [%s] %s",
                    static_cast<void*>(DmfModule), dmfObject->ClientModuleInstanceName,
                    kWdfSlotNames[Index]);
        return (DMF_ModuleWdfCallbacks(dmfObject)->*Member)(DmfModule, args...);
    }
};

void DefaultModuleDestroy(DMFMODULE DmfModule) {
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "DmfModule=%p ModuleDestroy (default)",
                static_cast<void*>(DmfModule));
}
NTSTATUS DefaultResourcesAssign(DMFMODULE, WDFCMRESLIST, WDFCMRESLIST) {
    return STATUS_SUCCESS;
}
NTSTATUS DefaultNotificationRegister(DMFMODULE) {
    return STATUS_SUCCESS;
}
NTSTATUS DefaultDeviceOpen(DMFMODULE) {
    return STATUS_SUCCESS;
}
void DefaultDeviceClose(DMFMODULE) {}
void DefaultChildModulesAdd(DMFMODULE, DMF_MODULE_ATTRIBUTES*, PDMFMODULE_INIT) {}

// The core's DMF layer: slots 5 and 6 are the core's open and close, which
// call the module's DeviceOpen and DeviceClose.
void InternalModuleDestroy(DMFMODULE DmfModule) {
    DMF_ModuleDmfCallbacks(DMF_ModuleToObject(DmfModule))->ModuleDestroy(DmfModule);
}
NTSTATUS InternalResourcesAssign(DMFMODULE DmfModule, WDFCMRESLIST Raw, WDFCMRESLIST Translated) {
    return DMF_ModuleDmfCallbacks(DMF_ModuleToObject(DmfModule))
        ->ResourcesAssign(DmfModule, Raw, Translated);
}
NTSTATUS InternalNotificationRegister(DMFMODULE DmfModule) {
    return DMF_ModuleDmfCallbacks(DMF_ModuleToObject(DmfModule))->NotificationRegister(DmfModule);
}
void InternalNotificationUnregister(DMFMODULE DmfModule) {
    DMF_ModuleDmfCallbacks(DMF_ModuleToObject(DmfModule))->NotificationUnregister(DmfModule);
}
NTSTATUS InternalOpen(DMFMODULE DmfModule) {
    return DMF_Internal_Open(DMF_ModuleToObject(DmfModule));
}
void InternalClose(DMFMODULE DmfModule) {
    DMF_Internal_Close(DMF_ModuleToObject(DmfModule));
}

} // namespace

const DMF_CALLBACKS_DMF DmfCallbacksDmf_Default = {
    sizeof(DMF_CALLBACKS_DMF),
    DefaultModuleDestroy,
    DefaultResourcesAssign,
    DefaultNotificationRegister,
    DMF_Generic_NotificationUnregister,
    DefaultDeviceOpen,
    DefaultDeviceClose,
    DefaultChildModulesAdd,
};

const DMF_CALLBACKS_DMF DmfCallbacksDmf_Internal = {
    sizeof(DMF_CALLBACKS_DMF),
    InternalModuleDestroy,
    InternalResourcesAssign,
    InternalNotificationRegister,
    InternalNotificationUnregister,
    InternalOpen,
    InternalClose,
    nullptr,
};

const DMF_CALLBACKS_WDF DmfCallbacksWdf_Default = [] {
    DMF_CALLBACKS_WDF table{};
    table.Size = sizeof(DMF_CALLBACKS_WDF);
#define DMF_SLOT_DEFAULT(name) table.name = Slot<EVT_DMF_MODULE_##name>::Default<DmfWdfSlot_##name>;
    DMF_WDF_SLOTS(DMF_SLOT_DEFAULT)
#undef DMF_SLOT_DEFAULT
    // These four carry out the open options.
    table.PrepareHardware = DMF_Generic_PrepareHardware;
    table.ReleaseHardware = DMF_Generic_ReleaseHardware;
    table.D0Entry = DMF_Generic_D0Entry;
    table.D0Exit = DMF_Generic_D0Exit;
    return table;
}();

const DMF_CALLBACKS_WDF DmfCallbacksWdf_Internal = [] {
    DMF_CALLBACKS_WDF table{};
    table.Size = sizeof(DMF_CALLBACKS_WDF);
#define DMF_SLOT_TRAMPOLINE(name)                                                                  \
    table.name =                                                                                   \
        Slot<EVT_DMF_MODULE_##name>::Trampoline<DmfWdfSlot_##name, &DMF_CALLBACKS_WDF::name>;
    DMF_WDF_SLOTS(DMF_SLOT_TRAMPOLINE)
#undef DMF_SLOT_TRAMPOLINE
    return table;
}();

void DMF_ListInitialize(DMF_LIST_ENTRY* Head) {
    Head->Flink = Head;
    Head->Blink = Head;
}

void DMF_ListAppend(DMF_LIST_ENTRY* Head, DMF_LIST_ENTRY* Entry) {
    Entry->Flink = Head;
    Entry->Blink = Head->Blink;
    Head->Blink->Flink = Entry;
    Head->Blink = Entry;
}

void DMF_ListRemove(DMF_LIST_ENTRY* Entry) {
    Entry->Blink->Flink = Entry->Flink;
    Entry->Flink->Blink = Entry->Blink;
    Entry->Flink = Entry;
    Entry->Blink = Entry;
}
