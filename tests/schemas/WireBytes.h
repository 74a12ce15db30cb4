#pragma once

// Helpers that spell protobuf wire bytes out in tests.

#include <cstdint>
#include <initializer_list>
#include <string>

namespace schema_test {

inline std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

inline std::string LittleEndian(std::uint64_t value, int size) {
    std::string out;
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

inline std::string Fixed32(std::uint32_t value) {
    return LittleEndian(value, 4);
}
inline std::string Fixed64(std::uint64_t value) {
    return LittleEndian(value, 8);
}

// Key and length of a length-delimited field whose contents are shorter than
// 128 bytes, then the contents.
inline std::string Nested(int fieldNumber, const std::string& contents) {
    return Bytes({(fieldNumber << 3) | 2, static_cast<int>(contents.size())}) + contents;
}

} // namespace schema_test
