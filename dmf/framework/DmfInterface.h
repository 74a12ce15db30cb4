// Interface bindings: a record that joins two modules, one offering an
// interface and one using it, until either module goes. Destroying a module
// removes and unbinds every binding it holds.
#pragma once

#include "dmf/framework/DmfModule.h"

using EVT_DMF_INTERFACE_Unbind = void(DMFMODULE DmfModule, DMFMODULE OtherModule);
using EVT_DMF_INTERFACE_Final = void(DMFMODULE DmfModule);

struct DMF_INTERFACE_BINDING_CALLBACKS {
    EVT_DMF_INTERFACE_Unbind* FirstUnbind;  // may be NULL
    EVT_DMF_INTERFACE_Unbind* SecondUnbind; // may be NULL
    EVT_DMF_INTERFACE_Final* FirstFinal;    // may be NULL; after every reference is released
};

// Binds two modules; the binding object is returned for its references.
NTSTATUS DMF_ModuleInterfaceBind(DMFMODULE First, DMFMODULE Second,
                                 const DMF_INTERFACE_BINDING_CALLBACKS* Callbacks,
                                 WDFOBJECT* Binding);
// A use of the binding that its removal waits for; fails once unbinding began.
NTSTATUS DMF_InterfaceReference(WDFOBJECT Binding);
void DMF_InterfaceDereference(WDFOBJECT Binding);
