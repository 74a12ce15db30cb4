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

DMFMODULE DMF_BranchTrackModuleGet(DMFMODULE DmfModule) {
    DMF_MODULE_COLLECTION* collection = DMF_ModuleToObject(DmfModule)->ModuleCollection;
    return collection != nullptr && collection->DmfObjectBranchTrack != nullptr
               ? collection->DmfObjectBranchTrack->MemoryDmfModule
               : nullptr;
}

PVOID DMF_ModuleContextGet(DMFMODULE DmfModule, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    return WdfObjectGetTypedContextWorker(DMF_ModuleToWdfObject(DmfModule), TypeInfo);
}

void DMF_ModuleInObjectAttributesSet(WDF_OBJECT_ATTRIBUTES* Attributes) {
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(Attributes, DMFMODULE);
}

void DMF_ModuleInContextSave(WDFOBJECT Object, DMFMODULE DmfModule) {
    DMFMODULE* context = WdfObjectGet_DMFMODULE(Object);
    if (context != nullptr) {
        *context = DmfModule;
    }
}

DMFMODULE DMF_ModuleInContextGet(WDFOBJECT Object) {
    DMFMODULE* context = WdfObjectGet_DMFMODULE(Object);
    return context != nullptr ? *context : nullptr;
}
