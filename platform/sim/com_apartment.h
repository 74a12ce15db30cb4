// Which threads are in which COM apartment.
#pragma once

#include "platform/types.h"

namespace sim {

bool CurrentThreadInMta();
bool ThreadInMta(DWORD threadId);
int CurrentThreadComInitCount();

} // namespace sim
