// Telling the encodings of a text file handed to the machine apart, and
// reading UTF-8 strictly. Read as bytes, UTF-16 and UTF-32 are NULs between
// letters: a reader that takes UTF-8 names the form from the first bytes
// instead of failing on its content. Header-only: the host's scenario parser,
// which links no machine, uses it too.
#pragma once

#include <cstddef>
#include <string_view>

namespace sim {

// The wide forms, told from the first bytes.
enum class WideForm {
    None, // not UTF-16 or UTF-32 (UTF-8 or ASCII, with or without a byte-order mark)
    Utf16LittleEndian,
    Utf16BigEndian,
    Utf16LittleEndianUnmarked, // without a byte-order mark
    Utf16BigEndianUnmarked,
    Utf32LittleEndian,
    Utf32BigEndian,
    Utf32LittleEndianUnmarked,
    Utf32BigEndianUnmarked,
};

inline WideForm WideFormOf(std::string_view text) {
    auto zero = [&](std::size_t i) { return i < text.size() && text[i] == '\0'; };
    auto letter = [&](std::size_t i) { return i < text.size() && text[i] != '\0'; };
    // UTF-32's marks begin as UTF-16's do: they are looked for first.
    if (text.starts_with(std::string_view("\xFF\xFE\0\0", 4))) {
        return WideForm::Utf32LittleEndian;
    }
    if (text.starts_with(std::string_view("\0\0\xFE\xFF", 4))) {
        return WideForm::Utf32BigEndian;
    }
    if (text.starts_with("\xFF\xFE")) {
        return WideForm::Utf16LittleEndian;
    }
    if (text.starts_with("\xFE\xFF")) {
        return WideForm::Utf16BigEndian;
    }
    if (letter(0) && zero(1) && zero(2) && zero(3)) {
        return WideForm::Utf32LittleEndianUnmarked;
    }
    if (zero(0) && zero(1) && zero(2) && letter(3)) {
        return WideForm::Utf32BigEndianUnmarked;
    }
    if (letter(0) && zero(1)) {
        return WideForm::Utf16LittleEndianUnmarked;
    }
    if (zero(0) && letter(1)) {
        return WideForm::Utf16BigEndianUnmarked;
    }
    return WideForm::None;
}

// "UTF-16 little-endian", ..., "UTF-32 big-endian (without a byte-order mark)".
inline const char* WideFormName(WideForm form) {
    switch (form) {
    case WideForm::Utf16LittleEndian:
        return "UTF-16 little-endian";
    case WideForm::Utf16BigEndian:
        return "UTF-16 big-endian";
    case WideForm::Utf16LittleEndianUnmarked:
        return "UTF-16 little-endian (without a byte-order mark)";
    case WideForm::Utf16BigEndianUnmarked:
        return "UTF-16 big-endian (without a byte-order mark)";
    case WideForm::Utf32LittleEndian:
        return "UTF-32 little-endian";
    case WideForm::Utf32BigEndian:
        return "UTF-32 big-endian";
    case WideForm::Utf32LittleEndianUnmarked:
        return "UTF-32 little-endian (without a byte-order mark)";
    case WideForm::Utf32BigEndianUnmarked:
        return "UTF-32 big-endian (without a byte-order mark)";
    case WideForm::None:
        break;
    }
    return "neither UTF-16 nor UTF-32";
}

// One UTF-8 sequence: the code point it stands for and how many bytes it takes.
struct Utf8Sequence {
    char32_t codePoint = 0;
    std::size_t length = 0; // 0: the bytes begin no well-formed sequence
};

// The well-formed UTF-8 sequence `text` begins with. None (length 0) for a
// stray continuation byte, a sequence cut short, an overlong form (a shorter
// one says the same: "T\xC1\xB9pe" is not "Type"), a surrogate, a code point
// past U+10FFFF, or an empty text: a name read one way must not match a name
// written another.
inline Utf8Sequence DecodeUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t least = 0; // the first code point that needs this length
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        least = 0x10000;
    } else {
        return {};
    }
    if (text.size() < length) {
        return {};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) {
            return {};
        }
        codePoint = (codePoint << 6) | (byte(k) & 0x3F);
    }
    if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return {};
    }
    return {codePoint, length};
}

} // namespace sim
