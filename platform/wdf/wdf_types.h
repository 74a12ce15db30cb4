// WDF handle types, enumerations and object attributes of the framework
// stand-in. Handles are opaque: the stand-in checks every handle it is given
// against its table of live objects.
#pragma once

#include "platform/types.h"

#include <cstring>

// Handles. WDFOBJECT takes any of them, as in the framework.
using PLONGLONG = LONGLONG*;

using WDFOBJECT = void*;
using WDFCONTEXT = void*;
#define HVX_WDF_DECLARE_HANDLE(name) using name = struct name##__*
HVX_WDF_DECLARE_HANDLE(WDFDRIVER);
HVX_WDF_DECLARE_HANDLE(WDFDEVICE);
HVX_WDF_DECLARE_HANDLE(WDFMEMORY);
HVX_WDF_DECLARE_HANDLE(WDFREQUEST);
HVX_WDF_DECLARE_HANDLE(WDFQUEUE);
HVX_WDF_DECLARE_HANDLE(WDFFILEOBJECT);
HVX_WDF_DECLARE_HANDLE(WDFCOLLECTION);
HVX_WDF_DECLARE_HANDLE(WDFWAITLOCK);
HVX_WDF_DECLARE_HANDLE(WDFSPINLOCK);
HVX_WDF_DECLARE_HANDLE(WDFTIMER);
HVX_WDF_DECLARE_HANDLE(WDFWORKITEM);
HVX_WDF_DECLARE_HANDLE(WDFKEY);
HVX_WDF_DECLARE_HANDLE(WDFIOTARGET);
HVX_WDF_DECLARE_HANDLE(WDFCMRESLIST);
HVX_WDF_DECLARE_HANDLE(WDFSTRING);
#undef HVX_WDF_DECLARE_HANDLE

#define WDF_NO_HANDLE nullptr
#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_CONTEXT nullptr
#define WDF_NO_SEND_OPTIONS nullptr

struct WDFDEVICE_INIT;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

// The loader's view of a driver: opaque to the driver.
struct DRIVER_OBJECT;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using DRIVER_INITIALIZE = NTSTATUS(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
using PDRIVER_INITIALIZE = DRIVER_INITIALIZE*;

enum WDF_TRI_STATE { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 };

enum WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
};

enum WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
};

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

using KPROCESSOR_MODE = CHAR;
#define KernelMode 0
#define UserMode 1

// Power states and actions.
enum WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
};

enum POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject,
    PowerActionDisplayOff,
};

enum SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum,
};

enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum,
};

enum WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileBoot,
    WdfSpecialFilePostDisplay,
    WdfSpecialFileGuestAssigned,
    WdfSpecialFileMax,
};

enum DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations,
    PowerRelations,
    RemovalRelations,
    TargetDeviceRelation,
    SingleBusRelations,
    TransportRelations,
};

// Object callbacks.
using EVT_WDF_OBJECT_CONTEXT_CLEANUP = void(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_CLEANUP = EVT_WDF_OBJECT_CONTEXT_CLEANUP*;
using EVT_WDF_OBJECT_CONTEXT_DESTROY = void(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = EVT_WDF_OBJECT_CONTEXT_DESTROY*;

// Context types. A type is identified by its UniqueType record; the size may
// be overridden at run time through WDF_OBJECT_ATTRIBUTES.ContextSizeOverride.
struct WDF_OBJECT_CONTEXT_TYPE_INFO;
using PCWDF_OBJECT_CONTEXT_TYPE_INFO = const WDF_OBJECT_CONTEXT_TYPE_INFO*;
using PFN_GET_UNIQUE_CONTEXT_TYPE = PCWDF_OBJECT_CONTEXT_TYPE_INFO (*)();
struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};
using PWDF_OBJECT_CONTEXT_TYPE_INFO = WDF_OBJECT_CONTEXT_TYPE_INFO*;

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES attributes) {
    std::memset(attributes, 0, sizeof(WDF_OBJECT_ATTRIBUTES));
    attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                          \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                         \
    do {                                                                                           \
        WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                   \
        WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype);                         \
    } while (0)

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

// Declares the type record of `_contexttype` and an accessor `_castingfunction`
// (handle) -> `_contexttype`*, NULL when the object has no such context.
// Declared where the type is private to one file (an unnamed namespace), an
// unused accessor is no error.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                         \
    [[maybe_unused]] inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(         \
        _contexttype) = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype,                      \
                         sizeof(_contexttype), &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype),          \
                         nullptr};                                                                 \
    [[maybe_unused]] inline _contexttype* _castingfunction(WDFOBJECT Handle) {                     \
        return static_cast<_contexttype*>(                                                         \
            WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)));      \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                     \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(_handle, _type)                                                   \
    static_cast<_type*>(WdfObjectGetTypedContextWorker((_handle), WDF_GET_CONTEXT_TYPE_INFO(_type)))

// Custom types: a context of type WdfCustomType_<name> holding a
// WDF_CUSTOM_TYPE_CONTEXT, which marks an object as being of that type.
struct WDF_CUSTOM_TYPE_CONTEXT {
    ULONG Size;
    ULONG_PTR Data;
};
using PWDF_CUSTOM_TYPE_CONTEXT = WDF_CUSTOM_TYPE_CONTEXT*;

#define WDF_DECLARE_CUSTOM_TYPE(_type)                                                             \
    using WdfCustomType_##_type = WDF_CUSTOM_TYPE_CONTEXT;                                         \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WdfCustomType_##_type, WdfObjectGetCustomType_##_type)
#define WDF_GET_CUSTOM_TYPE_INFO(_type) WDF_GET_CONTEXT_TYPE_INFO(WdfCustomType_##_type)

// Pool tags as the framework writes them: the first character in the low byte.
constexpr ULONG WdfMakePoolTag(const char (&tag)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(tag[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(tag[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(tag[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(tag[3])) << 24;
}

// Time-outs in 100 ns units; negative means relative.
#define WDF_REL_TIMEOUT_IN_MS(ms) (static_cast<LONGLONG>(ms) * -10000LL)
#define WDF_REL_TIMEOUT_IN_SEC(s) (static_cast<LONGLONG>(s) * -10000000LL)
#define WDF_ABS_TIMEOUT_IN_MS(ms) (static_cast<LONGLONG>(ms) * 10000LL)
