// Everything a client driver or a module type needs of the framework.
#pragma once

#include "dmf/framework/DmfDevice.h"
#include "dmf/framework/DmfModule.h"
#include "dmf/framework/DmfUtility.h"
