// The Rundown module: a reference count with end-and-wait. Whoever must not
// run while its owner closes takes a reference first; ending refuses new
// references and waits until the ones held are given back.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"
#include "platform/wdf.h"

NTSTATUS DMF_Rundown_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                            WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

// The module has no configuration.
inline void DMF_Rundown_ATTRIBUTES_INIT(DMF_MODULE_ATTRIBUTES* Attributes) {
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, 0, nullptr, DMF_Rundown_Create);
}

// References may be taken from here on (the count holds its initial one).
void DMF_Rundown_Start(DMFMODULE DmfModule);
// STATUS_INVALID_DEVICE_STATE before Start, while ending and after the end.
NTSTATUS DMF_Rundown_Reference(DMFMODULE DmfModule);
void DMF_Rundown_Dereference(DMFMODULE DmfModule);
// Refuses new references and returns once every reference taken is given back.
void DMF_Rundown_EndAndWait(DMFMODULE DmfModule);
