// Bounded string formatting as kernel-mode code has it: the result always
// ends in a terminator within the destination, and cutting it short is
// reported, not hidden.
#pragma once

#include "platform/types.h"

// Formats into Dest of DestBytes bytes. The format knows %s (a wide string)
// and %%. STATUS_BUFFER_OVERFLOW when the text was cut to fit (Dest then holds
// as much as fits, terminated); STATUS_INVALID_PARAMETER for a destination
// that cannot hold a terminator, or a format it does not know (Dest empty).
NTSTATUS RtlStringCbPrintfW(PWSTR Dest, size_t DestBytes, PCWSTR Format, ...);
