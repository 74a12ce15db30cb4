// What a module type sees of the framework: the handle, the records that
// describe a module type and one instance of it, module creation, the field
// accessors, open/close, run-time references and the module locks.
//
// A module type's source file, in short:
//
//   namespace {
//   struct DMF_CONTEXT_Example { ... };
//   DMF_MODULE_DECLARE_CUSTOM_TYPE(Example)       // WdfCustomType_DMF_Example, attach
//   DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_Example) // DMF_CONTEXT_GET(module)
//   DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_Example)   // DMF_CONFIG_GET(module)
//   NTSTATUS DMF_Example_Open(DMFMODULE DmfModule) { ... }
//   }
//
//   NTSTATUS DMF_Example_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* Attributes,
//                               WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
//       DMF_CALLBACKS_DMF callbacksDmf;
//       DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
//       callbacksDmf.DeviceOpen = DMF_Example_Open;
//       DMF_MODULE_DESCRIPTOR descriptor;
//       WDF_OBJECT_ATTRIBUTES contextAttributes;
//       DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, Example, DMF_MODULE_OPTIONS_PASSIVE,
//                                       DMF_MODULE_OPEN_OPTION_OPEN_Create);
//       DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_Example);
//       descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_Example);
//       descriptor.CallbacksDmf = &callbacksDmf;
//       return DMF_ModuleCreate(Device, Attributes, ObjectAttributes, &descriptor, DmfModule);
//   }
//
// Public methods that take a client's handle check its type with
// DMF_ModuleLockChecked / DMF_ModuleUnlockChecked (DMF_Example_TypeInfo()).
#pragma once

#include "platform/types.h"
#include "platform/wdf.h"

// A module: a WDF memory object whose buffer is the framework's module object.
struct DMFMODULE__;
using DMFMODULE = DMFMODULE__*;
using PDMFMODULE = DMFMODULE*;

struct DMF_MODULE_ATTRIBUTES;
struct DMFMODULE_INIT;
using PDMFMODULE_INIT = DMFMODULE_INIT*;

// ModuleOptions bits.
#define DMF_MODULE_OPTIONS_PASSIVE 0x1u
#define DMF_MODULE_OPTIONS_DISPATCH 0x2u
#define DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM 0x4u // lock kind chosen by the attributes' passive flag
#define DMF_MODULE_OPTIONS_TRANSPORT_REQUIRED 0x8u

// When a module opens (OpenOption).
enum DmfModuleOpenOption : ULONG {
    DMF_MODULE_OPEN_OPTION_OPEN_Create = 1,
    DMF_MODULE_OPEN_OPTION_OPEN_PrepareHardware = 2,
    DMF_MODULE_OPEN_OPTION_OPEN_D0EntrySystemPowerUp = 3,
    DMF_MODULE_OPEN_OPTION_OPEN_D0Entry = 4,
    DMF_MODULE_OPEN_OPTION_NOTIFY_PrepareHardware = 5,
    DMF_MODULE_OPEN_OPTION_NOTIFY_D0Entry = 6,
    DMF_MODULE_OPEN_OPTION_NOTIFY_Create = 7,
};

// Auxiliary locks a module type may ask for besides the module lock.
#define DMF_MAXIMUM_AUXILIARY_LOCKS 4u
#define DMF_DEFAULT_LOCK_INDEX 0u

// The module type's own callbacks.
using EVT_DMF_MODULE_ModuleDestroy = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_ResourcesAssign = NTSTATUS(DMFMODULE DmfModule, WDFCMRESLIST ResourcesRaw,
                                                WDFCMRESLIST ResourcesTranslated);
using EVT_DMF_MODULE_NotificationRegister = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_NotificationUnregister = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_DeviceOpen = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_DeviceClose = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_ChildModulesAdd = void(DMFMODULE DmfModule,
                                            DMF_MODULE_ATTRIBUTES* DmfParentModuleAttributes,
                                            PDMFMODULE_INIT DmfModuleInit);

struct DMF_CALLBACKS_DMF {
    ULONG Size;
    EVT_DMF_MODULE_ModuleDestroy* ModuleDestroy;
    EVT_DMF_MODULE_ResourcesAssign* ResourcesAssign;
    EVT_DMF_MODULE_NotificationRegister* NotificationRegister;
    EVT_DMF_MODULE_NotificationUnregister* NotificationUnregister;
    EVT_DMF_MODULE_DeviceOpen* DeviceOpen;
    EVT_DMF_MODULE_DeviceClose* DeviceClose;
    EVT_DMF_MODULE_ChildModulesAdd* ChildModulesAdd;
};

// The device's WDF events as a module receives them: the module first, then
// the event's own arguments. Queue and file slots return TRUE when the module
// claimed the request (it then owns its completion).
using EVT_DMF_MODULE_PrepareHardware = NTSTATUS(DMFMODULE DmfModule, WDFCMRESLIST ResourcesRaw,
                                                WDFCMRESLIST ResourcesTranslated);
using EVT_DMF_MODULE_ReleaseHardware = NTSTATUS(DMFMODULE DmfModule,
                                                WDFCMRESLIST ResourcesTranslated);
using EVT_DMF_MODULE_D0Entry = NTSTATUS(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState);
using EVT_DMF_MODULE_D0EntryPostInterruptsEnabled = NTSTATUS(DMFMODULE DmfModule,
                                                             WDF_POWER_DEVICE_STATE PreviousState);
using EVT_DMF_MODULE_D0ExitPreInterruptsDisabled = NTSTATUS(DMFMODULE DmfModule,
                                                            WDF_POWER_DEVICE_STATE TargetState);
using EVT_DMF_MODULE_D0Exit = NTSTATUS(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE TargetState);
using EVT_DMF_MODULE_QueueIoRead = BOOLEAN(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request,
                                           size_t Length);
using EVT_DMF_MODULE_QueueIoWrite = BOOLEAN(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request,
                                            size_t Length);
using EVT_DMF_MODULE_DeviceIoControl = BOOLEAN(DMFMODULE DmfModule, WDFQUEUE Queue,
                                               WDFREQUEST Request, size_t OutputBufferLength,
                                               size_t InputBufferLength, ULONG IoControlCode);
using EVT_DMF_MODULE_InternalDeviceIoControl = EVT_DMF_MODULE_DeviceIoControl;
using EVT_DMF_MODULE_SelfManagedIoCleanup = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_SelfManagedIoFlush = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_SelfManagedIoInit = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_SelfManagedIoSuspend = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_SelfManagedIoRestart = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_SurpriseRemoval = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_QueryRemove = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_QueryStop = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_RelationsQuery = void(DMFMODULE DmfModule, DEVICE_RELATION_TYPE RelationType);
using EVT_DMF_MODULE_UsageNotificationEx = NTSTATUS(DMFMODULE DmfModule,
                                                    WDF_SPECIAL_FILE_TYPE NotificationType,
                                                    BOOLEAN IsInNotificationPath);
using EVT_DMF_MODULE_ArmWakeFromS0 = NTSTATUS(DMFMODULE DmfModule);
using EVT_DMF_MODULE_DisarmWakeFromS0 = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_WakeFromS0Triggered = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_ArmWakeFromSxWithReason = NTSTATUS(DMFMODULE DmfModule,
                                                        BOOLEAN DeviceWakeEnabled,
                                                        BOOLEAN ChildrenArmedForWake);
using EVT_DMF_MODULE_DisarmWakeFromSx = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_WakeFromSxTriggered = void(DMFMODULE DmfModule);
using EVT_DMF_MODULE_FileCreate = BOOLEAN(DMFMODULE DmfModule, WDFDEVICE Device, WDFREQUEST Request,
                                          WDFFILEOBJECT FileObject);
using EVT_DMF_MODULE_FileCleanup = BOOLEAN(DMFMODULE DmfModule, WDFFILEOBJECT FileObject);
using EVT_DMF_MODULE_FileClose = BOOLEAN(DMFMODULE DmfModule, WDFFILEOBJECT FileObject);

// The 29 WDF slots in table order.
#define DMF_WDF_SLOTS(X)                                                                           \
    X(PrepareHardware)                                                                             \
    X(ReleaseHardware)                                                                             \
    X(D0Entry)                                                                                     \
    X(D0EntryPostInterruptsEnabled)                                                                \
    X(D0ExitPreInterruptsDisabled)                                                                 \
    X(D0Exit)                                                                                      \
    X(QueueIoRead)                                                                                 \
    X(QueueIoWrite)                                                                                \
    X(DeviceIoControl)                                                                             \
    X(InternalDeviceIoControl)                                                                     \
    X(SelfManagedIoCleanup)                                                                        \
    X(SelfManagedIoFlush)                                                                          \
    X(SelfManagedIoInit)                                                                           \
    X(SelfManagedIoSuspend)                                                                        \
    X(SelfManagedIoRestart)                                                                        \
    X(SurpriseRemoval)                                                                             \
    X(QueryRemove)                                                                                 \
    X(QueryStop)                                                                                   \
    X(RelationsQuery)                                                                              \
    X(UsageNotificationEx)                                                                         \
    X(ArmWakeFromS0)                                                                               \
    X(DisarmWakeFromS0)                                                                            \
    X(WakeFromS0Triggered)                                                                         \
    X(ArmWakeFromSxWithReason)                                                                     \
    X(DisarmWakeFromSx)                                                                            \
    X(WakeFromSxTriggered)                                                                         \
    X(FileCreate)                                                                                  \
    X(FileCleanup)                                                                                 \
    X(FileClose)

enum DmfWdfSlot : ULONG {
#define DMF_SLOT_INDEX(name) DmfWdfSlot_##name,
    DMF_WDF_SLOTS(DMF_SLOT_INDEX)
#undef DMF_SLOT_INDEX
        DmfWdfSlot_Count
};

struct DMF_CALLBACKS_WDF {
    ULONG Size;
    ULONG Reserved;
#define DMF_SLOT_FIELD(name) EVT_DMF_MODULE_##name* name;
    DMF_WDF_SLOTS(DMF_SLOT_FIELD)
#undef DMF_SLOT_FIELD
};

// Attaches the module type's custom type to a new module.
using DMF_ModuleAttach = NTSTATUS(DMFMODULE DmfModule, ULONG_PTR Data,
                                  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback,
                                  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback);
using EVT_DMF_MODULE_BranchTrackInitialize = void(DMFMODULE DmfModule);

// Filled on the stack by a module type's create function; read only while
// DMF_ModuleCreate runs.
struct DMF_MODULE_DESCRIPTOR {
    ULONG Size;
    PCSTR ModuleName;
    ULONG ModuleOptions;
    ULONG OpenOption;
    ULONG ModuleConfigSize;
    DMF_CALLBACKS_DMF* CallbacksDmf;
    DMF_CALLBACKS_WDF* CallbacksWdf;
    PVOID ModuleTypeData;
    EVT_DMF_MODULE_BranchTrackInitialize* BranchTrackInitialize;
    PVOID ModuleTypeData2;
    ULONG AuxiliaryLockCount;
    WDF_OBJECT_ATTRIBUTES* ModuleContextAttributes;
    ULONG ModuleTypeValue;
    GUID TransportGuidOffered;
    GUID TransportGuidRequired;
    DMF_ModuleAttach* ModuleAttach;
};

using EVT_DMF_MODULE_OnModuleOpenClose = void(DMFMODULE DmfModule);
struct DMF_MODULE_EVENT_CALLBACKS {
    EVT_DMF_MODULE_OnModuleOpenClose* EvtModulePostOpen;
    EVT_DMF_MODULE_OnModuleOpenClose* EvtModulePreClose;
};

// A module type's create function: every module is created through one.
using DMF_ModuleInstanceCreate = NTSTATUS(WDFDEVICE Device,
                                          DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                          WDF_OBJECT_ATTRIBUTES* ObjectAttributes,
                                          DMFMODULE* DmfModule);
using EVT_DMF_MODULE_TransportModulesAdd = EVT_DMF_MODULE_ChildModulesAdd;

// One instance as its creator wants it.
struct DMF_MODULE_ATTRIBUTES {
    ULONG Size;
    PVOID ModuleConfigPointer;
    ULONG SizeOfModuleSpecificConfig;
    DMF_ModuleInstanceCreate* InstanceCreator;
    DMF_MODULE_EVENT_CALLBACKS* ModuleEventCallbacks;
    DMFMODULE* ResultantDmfModule;
    PCSTR ClientModuleInstanceName; // "" = the module name; never NULL
    BOOLEAN DynamicModule;
    BOOLEAN IsParentDynamic;
    EVT_DMF_MODULE_TransportModulesAdd* TransportModulesAdd;
    BOOLEAN PassiveLevel;
    BOOLEAN IsTransportModule;
};

// Attributes for a module of the given config type (no config when the type
// has none): the instance name is empty and the module keeps a copy of the
// config pointed to, or an all-zero one.
void DMF_MODULE_ATTRIBUTES_INIT(DMF_MODULE_ATTRIBUTES* Attributes, ULONG ConfigSize,
                                PVOID ConfigPointer, DMF_ModuleInstanceCreate* InstanceCreator);

// Descriptor helpers: a module type's create function fills its tables with
// these and sets only the slots it implements.
void DMF_CALLBACKS_DMF_INIT(DMF_CALLBACKS_DMF* Callbacks);
void DMF_CALLBACKS_WDF_INIT(DMF_CALLBACKS_WDF* Callbacks);
void DMF_MODULE_DESCRIPTOR_INIT(DMF_MODULE_DESCRIPTOR* Descriptor, PCSTR ModuleName,
                                ULONG ModuleOptions, ULONG OpenOption);

// Creates a module (see the module object): called by every module type's
// create function. The object attributes carry the parent object (default:
// the device) and, for a dynamic module, the creator's cleanup callback.
NTSTATUS DMF_ModuleCreate(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                          WDF_OBJECT_ATTRIBUTES* DmfModuleObjectAttributes,
                          DMF_MODULE_DESCRIPTOR* ModuleDescriptor, DMFMODULE* DmfModule);

// Field accessors.
WDFDEVICE DMF_ParentDeviceGet(DMFMODULE DmfModule);
DMFMODULE DMF_ParentModuleGet(DMFMODULE DmfModule);
PVOID DMF_ModuleConfigGet(DMFMODULE DmfModule);
BOOLEAN DMF_IsModuleDynamic(DMFMODULE DmfModule);
BOOLEAN DMF_ModuleIsInParentDynamic(DMFMODULE DmfModule);
BOOLEAN DMF_ModuleIsPassiveLevel(DMFMODULE DmfModule); // the attributes' passive flag
BOOLEAN DMF_ModuleIsPassive(DMFMODULE DmfModule);      // the module uses wait locks
PCSTR DMF_ModuleInstanceNameGet(DMFMODULE DmfModule);
PCSTR DMF_ModuleNameGet(DMFMODULE DmfModule);
// The child that serves as the module's transport, NULL when none was added.
DMFMODULE DMF_ModuleTransportGet(DMFMODULE DmfModule);
// Whether the module is open (run-time references can be taken).
BOOLEAN DMF_ModuleIsOpen(DMFMODULE DmfModule);
// The device's BranchTrack module, NULL when branch tracking is off: a module
// type's BranchTrackInitialize callback declares its branches there.
DMFMODULE DMF_BranchTrackModuleGet(DMFMODULE DmfModule);

// A module finds itself again from a WDF object it created (timer, work item,
// request): the object carries a context of type DMFMODULE holding the handle.
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DMFMODULE, WdfObjectGet_DMFMODULE)
// Adds that context to `Attributes` before the object is created.
void DMF_ModuleInObjectAttributesSet(WDF_OBJECT_ATTRIBUTES* Attributes);
void DMF_ModuleInContextSave(WDFOBJECT Object, DMFMODULE DmfModule);
DMFMODULE DMF_ModuleInContextGet(WDFOBJECT Object);

// The module's own context (its DMF_CONTEXT_<Module>).
PVOID DMF_ModuleContextGet(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

// Open and close outside the device's PnP/power callbacks: modules whose
// notification says the resource is there (or gone) call these on themselves.
NTSTATUS DMF_ModuleOpen(DMFMODULE DmfModule);
void DMF_ModuleClose(DMFMODULE DmfModule);

// Run-time references: a module method that reaches another module brackets
// the call with these, so the target cannot close underneath it.
NTSTATUS DMF_ModuleReference(DMFMODULE DmfModule);
void DMF_ModuleDereference(DMFMODULE DmfModule);

// The module lock (index 0) with owner recording, and the auxiliary locks.
void DMF_ModuleLock(DMFMODULE DmfModule);
void DMF_ModuleUnlock(DMFMODULE DmfModule);
void DMF_ModuleAuxiliaryLock(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex);
void DMF_ModuleAuxiliaryUnlock(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex);
void DMF_ModuleLockByIndex(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex);
void DMF_ModuleUnlockByIndex(DMFMODULE DmfModule, ULONG AuxiliaryLockIndex);

// Whether the framework verifier is on (the driver globals' verifier flag):
// modules then check what clients hand back to them.
BOOLEAN DMF_IsVerifierOn();

// Handle checks of a module type's public methods: with the verifier on, a
// handle that is not of the method's module type is reported to the debugger
// and broken into; the call goes on.
void DMF_HandleValidate_ModuleMethod(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo,
                                     BOOLEAN Unlocking);
void DMF_ModuleLockChecked(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
void DMF_ModuleUnlockChecked(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

// Declares a module type's custom type, its attach function, and typed
// accessors for its config and context. Use once, at namespace scope, in the
// module's source file: DMF_MODULE_DECLARE_TYPE(Bridge, DMF_CONTEXT_Bridge, DMF_CONFIG_Bridge).
#define DMF_MODULE_DECLARE_CUSTOM_TYPE(ModuleName)                                                 \
    WDF_DECLARE_CUSTOM_TYPE(DMF_##ModuleName)                                                      \
    [[maybe_unused]] static NTSTATUS DMF_##ModuleName##_Attach(                                    \
        DMFMODULE DmfModule, ULONG_PTR Data, PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback,    \
        PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback) {                                       \
        return WdfObjectAddCustomTypeWithData(reinterpret_cast<WDFOBJECT>(DmfModule),              \
                                              DMF_##ModuleName, Data, EvtCleanupCallback,          \
                                              EvtDestroyCallback);                                 \
    }                                                                                              \
    [[maybe_unused]] static PCWDF_OBJECT_CONTEXT_TYPE_INFO DMF_##ModuleName##_TypeInfo() {         \
        return WDF_GET_CUSTOM_TYPE_INFO(DMF_##ModuleName);                                         \
    }

#define DMF_MODULE_DECLARE_CONTEXT(ContextType)                                                    \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ContextType, ContextType##_ObjectGet)                       \
    [[maybe_unused]] static ContextType* DMF_CONTEXT_GET(DMFMODULE DmfModule) {                    \
        return static_cast<ContextType*>(                                                          \
            DMF_ModuleContextGet(DmfModule, WDF_GET_CONTEXT_TYPE_INFO(ContextType)));              \
    }

#define DMF_MODULE_DECLARE_CONFIG(ConfigType)                                                      \
    [[maybe_unused]] static ConfigType* DMF_CONFIG_GET(DMFMODULE DmfModule) {                      \
        return static_cast<ConfigType*>(DMF_ModuleConfigGet(DmfModule));                           \
    }

// Sets a descriptor's module name, options, open option, attach function and,
// for a type with a context, the context attributes (which must outlive the
// DMF_ModuleCreate call: declare them next to the descriptor).
#define DMF_MODULE_DESCRIPTOR_INIT_TYPE(Descriptor, ModuleName, Options, Open)                     \
    do {                                                                                           \
        DMF_MODULE_DESCRIPTOR_INIT(&(Descriptor), #ModuleName, (Options), (Open));                 \
        (Descriptor).ModuleAttach = DMF_##ModuleName##_Attach;                                     \
    } while (0)

#define DMF_MODULE_DESCRIPTOR_SET_CONTEXT(Descriptor, ContextAttributes, ContextType)              \
    do {                                                                                           \
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&(ContextAttributes), ContextType);                \
        (Descriptor).ModuleContextAttributes = &(ContextAttributes);                               \
    } while (0)
