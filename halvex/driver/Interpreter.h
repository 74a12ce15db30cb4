// A channel's mapping table from a state mask to a back-off index.
#pragma once

#include "platform/types.h"

#include <map>

class Interpreter {
public:
    Interpreter() = default;
    ~Interpreter() = default;

    // Inserts the pair; a mask already present takes the new index.
    void SetMapping(ULONG stateMask, LONG backoffIndex);

    // Exact-key lookup. The output is -1 unless the mask is present, in which
    // case it is the stored index (which may itself be -1).
    bool GetBackoffIndex(ULONG stateMask, LONG* backoffIndex) const;

private:
    std::map<ULONG, LONG> mMapping;
};
