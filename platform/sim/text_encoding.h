// The UTF-16 forms a text file handed to the machine may come in, told from
// its first two bytes. Read as bytes, UTF-16 is NULs between letters: a
// reader that takes UTF-8 names the form instead of failing on its content.
// Header-only: the host's scenario parser, which links no machine, uses it
// too.
#pragma once

#include <string_view>

namespace sim {

enum class Utf16 {
    None, // not UTF-16 (UTF-8 or ASCII, with or without a byte-order mark)
    LittleEndian,
    BigEndian,
    LittleEndianUnmarked, // without a byte-order mark
    BigEndianUnmarked,
};

inline Utf16 Utf16FormOf(std::string_view text) {
    if (text.starts_with("\xFF\xFE")) {
        return Utf16::LittleEndian;
    }
    if (text.starts_with("\xFE\xFF")) {
        return Utf16::BigEndian;
    }
    if (text.size() >= 2 && text[0] != '\0' && text[1] == '\0') {
        return Utf16::LittleEndianUnmarked;
    }
    if (text.size() >= 2 && text[0] == '\0' && text[1] != '\0') {
        return Utf16::BigEndianUnmarked;
    }
    return Utf16::None;
}

// "UTF-16 little-endian", ..., "UTF-16 big-endian (without a byte-order mark)".
inline const char* Utf16Name(Utf16 form) {
    switch (form) {
    case Utf16::LittleEndian:
        return "UTF-16 little-endian";
    case Utf16::BigEndian:
        return "UTF-16 big-endian";
    case Utf16::LittleEndianUnmarked:
        return "UTF-16 little-endian (without a byte-order mark)";
    case Utf16::BigEndianUnmarked:
        return "UTF-16 big-endian (without a byte-order mark)";
    case Utf16::None:
        break;
    }
    return "not UTF-16";
}

} // namespace sim
