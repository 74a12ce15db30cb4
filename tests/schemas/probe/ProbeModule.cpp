// Stands in for the driver library: one exported entry, everything else
// hidden, the schemas reached only through a static library.

#include "ProbeConsumer.h"

#include <cstddef>
#include <cstring>

extern "C" __attribute__((visibility("default"))) std::size_t ProbeEntry(char* out,
                                                                         std::size_t size) {
    const std::string wire = ProbeSerializeDisableRequest();
    if (wire.size() <= size) {
        std::memcpy(out, wire.data(), wire.size());
    }
    return wire.size();
}
