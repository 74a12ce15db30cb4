// Memory objects of the framework stand-in. Internal.
#pragma once

#include "platform/wdf/fx_object.h"

namespace fx {

class Memory final : public Object {
public:
    Memory() : Object(Kind::Memory) {}
    ~Memory() override;

    void* buffer = nullptr;
    std::size_t size = 0;
    POOL_TYPE pool = NonPagedPool;
    ULONG tag = 0;
    bool owned = false;

    std::string Describe() const override;
};

// Whether new buffers are poison-filled (sim::wdf::SetPoisonNewMemory).
bool PoisonNewMemory();
void SetPoisonNewMemory(bool on);

} // namespace fx
