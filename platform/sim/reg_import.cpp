// The .reg importer: parses a whole registry export first and applies it only
// when every line is sound, so a broken file leaves the registry untouched.
#include "platform/sim/registry.h"
#include "platform/sim/text_encoding.h"

#include <cstring>
#include <fstream>
#include <sstream>

namespace sim::registry {
namespace {

struct Op {
    std::u16string path;
    bool isKey = false; // a key line: only creates the key
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct ParseError {
    std::string what;
};

// The platform registry's limits on names, in UTF-16 code units.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

// A name as a message may quote it: at most 40 characters of it.
std::string Shortened(std::string_view name) {
    return name.size() <= 40 ? std::string(name) : std::string(name.substr(0, 40)) + "...";
}

// UTF-8 to UTF-16; throws on a malformed sequence.
std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Sequence sequence = DecodeUtf8(text.substr(i));
        if (sequence.length == 0) {
            throw ParseError{"invalid UTF-8"};
        }
        char32_t cp = sequence.codePoint;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += sequence.length;
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x + 32);
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y + 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

// "[...Device Parameters\Channel0]" -> "Device Parameters\Channel0": the
// device key is everything up to and including its "Device Parameters" part.
std::u16string KeyPath(std::string_view inner) {
    if (inner.empty()) {
        throw ParseError{"empty key name"};
    }
    if (inner.front() == '-') {
        throw ParseError{"key deletion is not supported"};
    }
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= inner.size()) {
        std::size_t end = inner.find('\\', start);
        if (end == std::string_view::npos) {
            end = inner.size();
        }
        parts.push_back(inner.substr(start, end - start));
        start = end + 1;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].find('\0') != std::string_view::npos) {
            throw ParseError{"a NUL character in the key name"};
        }
        if (Utf8ToUtf16(parts[i]).size() > kMaxKeyName) {
            std::string parent;
            for (std::size_t k = 0; k < i; ++k) {
                parent += (k ? "\\" : "") + std::string(parts[k]);
            }
            throw ParseError{"the key name \"" + Shortened(parts[i]) + "\" in [" + parent +
                             "] is longer than the registry's limit of 255 characters"};
        }
    }
    std::size_t device = parts.size();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (IEquals(parts[i], kDeviceKey)) {
            device = i;
            break;
        }
    }
    if (device == parts.size()) {
        throw ParseError{"key is not under \"Device Parameters\""};
    }
    std::string path;
    for (std::size_t i = device; i < parts.size(); ++i) {
        if (parts[i].empty()) {
            throw ParseError{"empty key name in path"};
        }
        if (!path.empty()) {
            path += '\\';
        }
        path += parts[i];
    }
    return Utf8ToUtf16(path);
}

// A quoted string starting at s[0] == '"'; returns the text and advances past it.
std::string ParseQuoted(std::string_view& s) {
    std::string out;
    std::size_t i = 1;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                throw ParseError{"bad escape in string"};
            }
            out.push_back(s[++i]);
        } else if (c == '"') {
            break;
        } else {
            out.push_back(c);
        }
    }
    if (i >= s.size()) {
        throw ParseError{"unterminated string"};
    }
    s.remove_prefix(i + 1);
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::vector<std::uint8_t> ParseHexBytes(std::string_view s) {
    std::vector<std::uint8_t> out;
    s = Trim(s);
    if (s.empty()) {
        return out;
    }
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t end = s.find(',', start);
        if (end == std::string_view::npos) {
            end = s.size();
        }
        std::string_view byte = Trim(s.substr(start, end - start));
        if (byte.size() != 2 || HexDigit(byte[0]) < 0 || HexDigit(byte[1]) < 0) {
            throw ParseError{"bad hex byte \"" + std::string(byte) + "\""};
        }
        out.push_back(static_cast<std::uint8_t>(HexDigit(byte[0]) * 16 + HexDigit(byte[1])));
        start = end + 1;
    }
    return out;
}

Op ParseValue(std::string_view line, const std::u16string& path) {
    Op op;
    op.path = path;
    std::string_view s = line;
    if (s.front() == '@') {
        s.remove_prefix(1);
    } else {
        std::string name = ParseQuoted(s);
        if (name.find('\0') != std::string::npos) {
            throw ParseError{"a NUL character in the value name"};
        }
        op.name = Utf8ToUtf16(name);
        if (op.name.size() > kMaxValueName) {
            throw ParseError{"the value name \"" + Shortened(name) +
                             "\" is longer than the registry's limit of 16383 characters"};
        }
    }
    s = Trim(s);
    if (s.empty() || s.front() != '=') {
        throw ParseError{"expected '=' after the value name"};
    }
    s = Trim(s.substr(1));
    if (s.empty()) {
        throw ParseError{"missing value data"};
    }
    if (s.front() == '"') {
        std::u16string text = Utf8ToUtf16(ParseQuoted(s));
        if (!Trim(s).empty()) {
            throw ParseError{"text after the string"};
        }
        op.type = REG_SZ;
        op.data.resize((text.size() + 1) * sizeof(char16_t), 0);
        std::memcpy(op.data.data(), text.data(), text.size() * sizeof(char16_t));
        return op;
    }
    if (s == "-") {
        throw ParseError{"value deletion is not supported"};
    }
    if (IStartsWith(s, "dword:")) {
        std::string_view digits = Trim(s.substr(6));
        if (digits.empty() || digits.size() > 8) {
            throw ParseError{"dword needs 1 to 8 hex digits"};
        }
        ULONG value = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) {
                throw ParseError{"bad hex digit in dword"};
            }
            value = value * 16 + static_cast<ULONG>(d);
        }
        op.type = REG_DWORD;
        op.data.resize(sizeof(ULONG));
        std::memcpy(op.data.data(), &value, sizeof(ULONG));
        return op;
    }
    if (IStartsWith(s, "hex:")) {
        op.type = REG_BINARY;
        op.data = ParseHexBytes(s.substr(4));
        return op;
    }
    if (IStartsWith(s, "hex(")) {
        std::size_t close = s.find("):");
        if (close == std::string_view::npos || close == 4 || close > 12) {
            throw ParseError{"bad hex(type): prefix"};
        }
        ULONG type = 0;
        for (char c : s.substr(4, close - 4)) {
            int d = HexDigit(c);
            if (d < 0) {
                throw ParseError{"bad hex digit in hex(type)"};
            }
            type = type * 16 + static_cast<ULONG>(d);
        }
        op.type = type;
        op.data = ParseHexBytes(s.substr(close + 2));
        return op;
    }
    throw ParseError{"unknown value format"};
}

// Exports from the platform's editor are UTF-16LE with a byte-order mark.
// A lone surrogate or an odd trailing byte is an error on the line it is in.
std::string Utf16LeToUtf8(std::string_view bytes, std::string_view name, std::string* error) {
    std::string out;
    std::size_t line = 1;
    auto unit = [&](std::size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    };
    auto fail = [&](const char* what) {
        *error = std::string(name) + ":" + std::to_string(line) + ": invalid UTF-16 (" + what + ")";
        return std::string();
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (i + 1 >= bytes.size()) {
            return fail("an odd trailing byte");
        }
        char32_t cp = unit(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail("a lone surrogate");
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            char32_t low = i + 3 < bytes.size() ? unit(i + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                return fail("a lone surrogate");
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        line += cp == '\n' ? 1 : 0;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::vector<Op> Parse(std::string_view text, std::string_view name, std::string& error) {
    std::vector<Op> ops;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    bool sawHeader = false;
    bool haveKey = false;
    std::u16string path;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNo;
        const std::size_t firstLine = lineNo;
        std::string logical(Trim(text.substr(pos, end - pos)));
        pos = end + 1;
        // A trailing backslash continues hex data on the next line.
        while (!logical.empty() && logical.back() == '\\' &&
               (logical.front() == '"' || logical.front() == '@')) {
            logical.pop_back();
            if (pos >= text.size()) {
                break;
            }
            end = text.find('\n', pos);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            ++lineNo;
            logical += Trim(text.substr(pos, end - pos));
            pos = end + 1;
        }
        std::string_view line = Trim(logical);
        try {
            if (line.empty() || line.front() == ';') {
                continue;
            }
            if (!sawHeader) {
                if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4") {
                    throw ParseError{
                        "expected the header \"Windows Registry Editor Version 5.00\""};
                }
                sawHeader = true;
                continue;
            }
            if (line.front() == '[') {
                if (line.back() != ']') {
                    throw ParseError{"key line without ']'"};
                }
                path = KeyPath(line.substr(1, line.size() - 2));
                haveKey = true;
                Op op;
                op.path = path;
                op.isKey = true;
                ops.push_back(std::move(op));
                continue;
            }
            if (line.front() == '"' || line.front() == '@') {
                if (!haveKey) {
                    throw ParseError{"value before any key"};
                }
                ops.push_back(ParseValue(line, path));
                continue;
            }
            throw ParseError{"unrecognised line"};
        } catch (const ParseError& e) {
            error = std::string(name) + ":" + std::to_string(firstLine) + ": " + e.what;
            return {};
        }
    }
    if (!sawHeader) {
        error =
            std::string(name) + ":1: expected the header \"Windows Registry Editor Version 5.00\"";
    }
    return ops;
}

} // namespace

namespace {

// The whole export read, nothing applied: its operations, or the error.
std::vector<Op> ReadExport(std::string_view text, std::string_view name, std::string& error) {
    std::string converted;
    // The registry editor exports UTF-16 little-endian with its byte-order
    // mark; any other wide form is named instead.
    const WideForm form = WideFormOf(text);
    if (form != WideForm::None && form != WideForm::Utf16LittleEndian) {
        error = std::string(name) + ":1: the file is " + WideFormName(form) +
                ": save it as UTF-16 little-endian with a byte-order mark (as the registry "
                "editor exports) or as UTF-8";
        return {};
    }
    if (form == WideForm::Utf16LittleEndian) {
        converted = Utf16LeToUtf8(text.substr(2), name, &error);
        if (!error.empty()) {
            return {};
        }
        text = converted;
    }
    return Parse(text, name, error);
}

} // namespace

ImportResult CheckRegText(std::string_view text, std::string_view name) {
    std::string error;
    ReadExport(text, name, error);
    return error.empty() ? ImportResult{} : ImportResult{false, error};
}

ImportResult ImportRegText(std::string_view text, std::string_view name) {
    std::string error;
    std::vector<Op> ops = ReadExport(text, name, error);
    if (!error.empty()) {
        return {false, error};
    }
    for (auto& op : ops) {
        if (op.isKey) {
            CreateKey(std::u16string_view(op.path));
        } else {
            SetValue(std::u16string_view(op.path), op.name, op.type, std::move(op.data));
        }
    }
    return {};
}

ImportResult ImportRegFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {false, path + ": cannot open the file"};
    }
    std::ostringstream content;
    content << file.rdbuf();
    return ImportRegText(content.str(), path);
}

} // namespace sim::registry
