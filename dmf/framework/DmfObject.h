// The framework's internal records: the module object behind a DMFMODULE,
// the module collection of a device and the device context. Only the
// framework's own sources include this, and the host, which reads a device's
// module collection in place to show it.
#pragma once

#include "dmf/framework/DmfDevice.h"
#include "dmf/framework/DmfModule.h"
#include "platform/wdf.h"

#include <atomic>
#include <cstddef>

#define DMF_OBJECT_SIGNATURE 0x12345678ull
#define DMF_MAXIMUM_LOCKS (DMF_MAXIMUM_AUXILIARY_LOCKS + 1)

// Pool tags of the framework's memory.
#define DMF_TAG_MODULE WdfMakePoolTag("Dmf4")
#define DMF_TAG_DESCRIPTION WdfMakePoolTag("Dmf5")
#define DMF_TAG_COLLECTION WdfMakePoolTag("Dmf6")
#define DMF_TAG_MODULE_ARRAY WdfMakePoolTag("Dmf8")
#define DMF_TAG_DEVICE_INIT WdfMakePoolTag("Brid")
#define DMF_TAG_PARENT_REFERENCE reinterpret_cast<PVOID>(0x7654)

// Module states.
enum ModuleStateType : LONG {
    ModuleState_Invalid = 0,
    ModuleState_Creating = 1,
    ModuleState_Created = 2,
    ModuleState_Opening = 3,
    ModuleState_Opened = 4,
    ModuleState_Closing = 5,
    ModuleState_Closed = 6,
    ModuleState_Destroyed = 7,
};

// Where a module was opened (open mark) or its notification registered.
enum ModuleOpenedDuringType : LONG {
    ModuleOpenedDuringType_Invalid = 0,
    ModuleOpenedDuringType_Open = 1,
    ModuleOpenedDuringType_Create = 2,
    ModuleOpenedDuringType_PrepareHardware = 3,
    ModuleOpenedDuringType_D0Entry = 4,
    ModuleOpenedDuringType_D0EntrySystemPowerUp = 5,
};

struct DMF_LIST_ENTRY {
    DMF_LIST_ENTRY* Flink;
    DMF_LIST_ENTRY* Blink;
};

struct DMF_OBJECT;
struct DMF_MODULE_COLLECTION;

using DMF_LockFunction = void(DMFMODULE DmfModule);
using DMF_LockByIndexFunction = void(DMFMODULE DmfModule, ULONG Index);
struct DMF_LOCK_OPERATIONS {
    ULONG Size;
    DMF_LockFunction* Lock;
    DMF_LockFunction* Unlock;
    DMF_LockByIndexFunction* LockByIndex;
    DMF_LockByIndexFunction* UnlockByIndex;
};

struct DMF_LOCK_RECORD {
    WDFSPINLOCK SpinLock;
    WDFWAITLOCK WaitLock;
    ULONG64 OwnerThreadId;
};

// The module object; zeroed at creation.
struct DMF_OBJECT {
    DMF_LIST_ENTRY SiblingLinks;
    PVOID ModuleConfig;
    size_t ModuleConfigSize;
    PVOID ModuleContext;
    LONG ReferenceCount;
    WDFSPINLOCK ReferenceCountLock;
    WDFDEVICE ParentDevice;
    DMFMODULE MemoryDmfModule;
    // Written by whichever thread opens or closes the module (a PnP/power
    // callback or the module's own notification) and read by the others.
    std::atomic<LONG> ModuleState;
    std::atomic<LONG> ModuleOpenedDuring;
    std::atomic<LONG> ModuleNotificationRegisteredDuring;
    PCSTR ModuleName;
    char* ClientModuleInstanceName;
    size_t ClientModuleInstanceNameSizeBytes;
    ULONG64 Signature;
    DMF_CALLBACKS_DMF InternalCallbacksDmf;
    DMF_CALLBACKS_WDF InternalCallbacksWdf;
    DMF_LOCK_OPERATIONS LockOperations;
    DMF_MODULE_DESCRIPTOR ModuleDescriptor;
    DMF_MODULE_ATTRIBUTES ModuleAttributes;
    EVT_DMF_MODULE_OnModuleOpenClose* EvtModulePostOpen;
    EVT_DMF_MODULE_OnModuleOpenClose* EvtModulePreClose;
    BOOLEAN IsClosing;
    std::atomic<BOOLEAN> PostOpenDone;
    BOOLEAN DynamicModuleOpenedImmediately;
    DMF_LIST_ENTRY ChildObjectList;
    ULONG NumberOfChildModules;
    BOOLEAN InterfaceBindingsPresent;
    WDFCOLLECTION InterfaceBindings;
    WDFSPINLOCK InterfaceBindingsLock;
    DMF_OBJECT* TransportModule;
    DMF_OBJECT* DmfObjectParent;
    DMF_MODULE_COLLECTION* ModuleCollection;
    DMF_LOCK_RECORD Locks[DMF_MAXIMUM_LOCKS];
    PFN_WDF_OBJECT_CONTEXT_CLEANUP ClientEvtCleanupCallback;
    BOOLEAN IsTransport;
    WDFOBJECT ReferencedParent;
    HANDLE ModuleOpenedEvent;
    BOOLEAN IsClosed;
    BOOLEAN InParentList;
    // Set once DMF_ModuleCreate handed the module to its creator: only then
    // does the creator's cleanup callback hear of it.
    BOOLEAN HandedOut;
};

// The module collection of a device (or, briefly, a module's children).
struct DMF_MODULE_COLLECTION {
    WDFMEMORY ModuleCollectionHandleMemory;
    DMF_OBJECT** ClientDriverDmfModules;
    WDFMEMORY ClientDriverDmfModulesMemory;
    LONG NumberOfClientDriverDmfModules;
    DMF_OBJECT* DmfObjectBranchTrack;
    DMF_OBJECT* DmfObjectLiveKernelDump;
    BOOLEAN OwnHandler[DmfWdfSlot_Count];
    BOOLEAN ManualStartStop;
    WDFDEVICE ClientDevice;
};

// The framework's context on the client device.
struct DMF_DEVICE_CONTEXT {
    WDFDEVICE WdfDevice;
    BOOLEAN DmfDeviceInitGiven;
    WDFMEMORY WdfModuleCollection;
    WDFDEVICE WdfControlDevice;
    WDFDEVICE WdfClientDriverDevice;
    BOOLEAN IsFilterDevice;
    EVT_DMF_DEVICE_CALLBACK* EvtDmfDeviceCallback;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DMF_DEVICE_CONTEXT, DmfDeviceContextGet);

WDF_DECLARE_CUSTOM_TYPE(DMFMODULE_TYPE)
WDF_DECLARE_CUSTOM_TYPE(DMFCOLLECTION_TYPE)

// Module object from its handle, and back.
DMF_OBJECT* DMF_ModuleToObject(DMFMODULE DmfModule);
inline DMFMODULE DMF_ObjectToModule(DMF_OBJECT* DmfObject) {
    return DmfObject->MemoryDmfModule;
}
inline WDFOBJECT DMF_ModuleToWdfObject(DMFMODULE DmfModule) {
    return reinterpret_cast<WDFOBJECT>(DmfModule);
}

// Lists.
void DMF_ListInitialize(DMF_LIST_ENTRY* Head);
void DMF_ListAppend(DMF_LIST_ENTRY* Head, DMF_LIST_ENTRY* Entry);
void DMF_ListRemove(DMF_LIST_ENTRY* Entry);
inline DMF_OBJECT* DMF_ObjectFromSiblingLinks(DMF_LIST_ENTRY* Entry) {
    return reinterpret_cast<DMF_OBJECT*>(reinterpret_cast<char*>(Entry) -
                                         offsetof(DMF_OBJECT, SiblingLinks));
}
// Calls `Visit` for each child, in creation order or in reverse.
template <typename Visit> void DMF_ChildrenForward(DMF_OBJECT* Parent, Visit&& visit) {
    for (DMF_LIST_ENTRY* entry = Parent->ChildObjectList.Flink;
         entry != &Parent->ChildObjectList;) {
        DMF_LIST_ENTRY* next = entry->Flink;
        visit(DMF_ObjectFromSiblingLinks(entry));
        entry = next;
    }
}
template <typename Visit> void DMF_ChildrenReverse(DMF_OBJECT* Parent, Visit&& visit) {
    for (DMF_LIST_ENTRY* entry = Parent->ChildObjectList.Blink;
         entry != &Parent->ChildObjectList;) {
        DMF_LIST_ENTRY* previous = entry->Blink;
        visit(DMF_ObjectFromSiblingLinks(entry));
        entry = previous;
    }
}

// Callback tables (DmfCallbacks.cpp).
extern const DMF_CALLBACKS_DMF DmfCallbacksDmf_Default;
extern const DMF_CALLBACKS_WDF DmfCallbacksWdf_Default;
extern const DMF_CALLBACKS_DMF DmfCallbacksDmf_Internal;
extern const DMF_CALLBACKS_WDF DmfCallbacksWdf_Internal;
extern const DMF_LOCK_OPERATIONS DmfLockOperations_Passive;
extern const DMF_LOCK_OPERATIONS DmfLockOperations_Dispatch;
// The module's own WDF table (descriptor's slots over the defaults).
inline DMF_CALLBACKS_WDF* DMF_ModuleWdfCallbacks(DMF_OBJECT* DmfObject) {
    return DmfObject->ModuleDescriptor.CallbacksWdf;
}
inline DMF_CALLBACKS_DMF* DMF_ModuleDmfCallbacks(DMF_OBJECT* DmfObject) {
    return DmfObject->ModuleDescriptor.CallbacksDmf;
}

// Open and close (DmfOpenClose.cpp).
NTSTATUS DMF_Internal_Open(DMF_OBJECT* DmfObject);
void DMF_Internal_Close(DMF_OBJECT* DmfObject);
NTSTATUS DMF_Module_OpenDuringCreate(DMF_OBJECT* DmfObject);
void DMF_Module_CloseOrUnregisterNotificationOnDestroy(DMF_OBJECT* DmfObject);
void DMF_Module_NotificationUnregister(DMF_OBJECT* DmfObject);
void DMF_ModuleCollection_CloseOrUnregisterDuring(DMF_MODULE_COLLECTION* Collection, LONG Mark);
NTSTATUS DMF_Generic_PrepareHardware(DMFMODULE DmfModule, WDFCMRESLIST ResourcesRaw,
                                     WDFCMRESLIST ResourcesTranslated);
NTSTATUS DMF_Generic_ReleaseHardware(DMFMODULE DmfModule, WDFCMRESLIST ResourcesTranslated);
NTSTATUS DMF_Generic_D0Entry(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState);
NTSTATUS DMF_Generic_D0Exit(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE TargetState);
void DMF_Generic_NotificationUnregister(DMFMODULE DmfModule);

// Creation and destruction (DmfModuleCreate.cpp, DmfCollection.cpp).
void DMF_Module_Destroy(DMF_OBJECT* DmfObject, BOOLEAN DeleteMemory);
void DMF_ModuleInterfaceBindingsRemove(DMF_OBJECT* DmfObject);
NTSTATUS DMF_ModuleCollectionCreate(PDMFDEVICE_INIT DmfDeviceInit, PDMFMODULE_INIT DmfModuleInit,
                                    WDFMEMORY* CollectionMemory);
DMF_MODULE_COLLECTION* DMF_CollectionFromMemory(WDFMEMORY CollectionMemory);
void DMFMODULE_INIT_Prepare(DMFMODULE_INIT* Init, WDFDEVICE Device, DMFMODULE ParentModule,
                            const DMF_MODULE_ATTRIBUTES* BranchTrackModuleAttributes);
// The device's collection, NULL when the device has none.
DMF_MODULE_COLLECTION* DMF_DeviceCollectionGet(WDFDEVICE Device);

// Container callbacks (DmfContainer.cpp), installed by the device-init hooks.
void DMF_ContainerPnpPowerCallbacksSet(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks);
void DMF_ContainerPowerPolicyCallbacksSet(PWDF_POWER_POLICY_EVENT_CALLBACKS Callbacks);
void DMF_ContainerFileObjectCallbacksSet(PWDF_FILEOBJECT_CONFIG Config);
void DMF_ContainerQueueCallbacksSet(PWDF_IO_QUEUE_CONFIG Config);
