// WDF collections: ordered lists of objects, each held with a reference.
#pragma once

#include "platform/wdf/wdf_types.h"

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             WDFCOLLECTION* Collection);
NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object);
void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item);
void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index);
ULONG WdfCollectionGetCount(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection);
