// How a configured sensor's SUID shows in the device id of the proximity
// sensor that carries it: the high half, then the low half, each in lower-case
// hexadecimal without leading zeros, padding or prefix (high 0x1A, low 0x2B:
// "1a2b"; high 0, low 5: "05").
#pragma once

#include "platform/types.h"

#include <cinttypes>
#include <cstdio>
#include <string>

inline std::string FormatSuidPattern(ULONG64 SuidLow, ULONG64 SuidHigh) {
    char text[2 * 16 + 1];
    std::snprintf(text, sizeof text, "%" PRIx64 "%" PRIx64, static_cast<std::uint64_t>(SuidHigh),
                  static_cast<std::uint64_t>(SuidLow));
    return text;
}
