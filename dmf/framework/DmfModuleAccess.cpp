// Field accessors on a module handle.
#include "dmf/framework/DmfObject.h"

WDFDEVICE DMF_ParentDeviceGet(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ParentDevice;
}

DMFMODULE DMF_ParentModuleGet(DMFMODULE DmfModule) {
    DMF_OBJECT* parent = DMF_ModuleToObject(DmfModule)->DmfObjectParent;
    return parent != nullptr ? parent->MemoryDmfModule : nullptr;
}

PVOID DMF_ModuleConfigGet(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ModuleConfig;
}

BOOLEAN DMF_IsModuleDynamic(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ModuleAttributes.DynamicModule;
}

BOOLEAN DMF_ModuleIsInParentDynamic(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ModuleAttributes.IsParentDynamic;
}

BOOLEAN DMF_ModuleIsPassiveLevel(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ModuleAttributes.PassiveLevel;
}

PCSTR DMF_ModuleInstanceNameGet(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ClientModuleInstanceName;
}

PCSTR DMF_ModuleNameGet(DMFMODULE DmfModule) {
    return DMF_ModuleToObject(DmfModule)->ModuleName;
}

DMFMODULE DMF_ModuleTransportGet(DMFMODULE DmfModule) {
    DMF_OBJECT* transport = DMF_ModuleToObject(DmfModule)->TransportModule;
    return transport != nullptr ? transport->MemoryDmfModule : nullptr;
}

PVOID DMF_ModuleContextGet(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    return WdfObjectGetTypedContextWorker(DMF_ModuleToWdfObject(DmfModule), TypeInfo);
}

void DMF_ModuleInObjectAttributesSet(WDF_OBJECT_ATTRIBUTES* Attributes) {
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(Attributes, DMF_MODULE_IN_OBJECT_CONTEXT);
}

void DMF_ModuleInContextSave(WDFOBJECT Object, DMFMODULE DmfModule) {
    DMF_MODULE_IN_OBJECT_CONTEXT* context = DMF_ModuleInObjectContextGet(Object);
    if (context != nullptr) {
        context->DmfModule = DmfModule;
    }
}

DMFMODULE DMF_ModuleInContextGet(WDFOBJECT Object) {
    DMF_MODULE_IN_OBJECT_CONTEXT* context = DMF_ModuleInObjectContextGet(Object);
    return context != nullptr ? context->DmfModule : nullptr;
}
