// A driver library that dies as soon as it is loaded: the host must report a
// crash as a crash, not as a check that failed.
#include "platform/wdf.h"

#include <cstdlib>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    std::abort();
}
