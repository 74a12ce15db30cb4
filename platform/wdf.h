// The framework stand-in: the WDF objects and calls the driver and its module
// framework use. Registry keys (WDFKEY) are declared here; their calls live
// with the in-memory registry.
#pragma once

#include "platform/types.h"
#include "platform/wdf/wdf_collection.h"
#include "platform/wdf/wdf_device.h"
#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_iotarget.h"
#include "platform/wdf/wdf_memory.h"
#include "platform/wdf/wdf_object.h"
#include "platform/wdf/wdf_queue.h"
#include "platform/wdf/wdf_sync.h"
#include "platform/wdf/wdf_timer.h"
#include "platform/wdf/wdf_types.h"
