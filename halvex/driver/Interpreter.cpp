#include "halvex/driver/Interpreter.h"

void Interpreter::SetMapping(ULONG stateMask, LONG backoffIndex) {
    mMapping[stateMask] = backoffIndex;
}

bool Interpreter::GetBackoffIndex(ULONG stateMask, LONG* backoffIndex) const {
    *backoffIndex = -1;
    auto it = mMapping.find(stateMask);
    if (it == mMapping.end()) {
        return false;
    }
    *backoffIndex = it->second;
    return true;
}
