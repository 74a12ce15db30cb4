// Linked into a loadable library that carries the HMCI client: the library
// starts when its image loads, as a client library starts when its DLL is
// attached to a process, before any of its users can open a client.
#include "hmx/hmx_cci_startup.h"

namespace {

struct LibraryStart {
    LibraryStart() { hmx_cci_library_start(); }
};
const LibraryStart gLibraryStart;

} // namespace
