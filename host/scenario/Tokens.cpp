#include "host/scenario/Tokens.h"
#include "host/cli/Limits.h"

#include "platform/sim/text_encoding.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace host {

namespace {

struct StatusName {
    const char* name;
    std::uint32_t value;
};

constexpr StatusName kStatusNames[] = {
    {"success", 0x00000000u},
    {"unsuccessful", 0xC0000001u},
    {"invalid-parameter", 0xC000000Du},
    {"access-denied", 0xC0000022u},
    {"buffer-too-small", 0xC0000023u},
    {"not-supported", 0xC00000BBu},
    {"invalid-device-request", 0xC0000010u},
    {"io-timeout", 0xC00000B5u},
    {"invalid-device-state", 0xC0000184u},
    {"buffer-overflow", 0x80000005u},
    {"device-not-ready", 0xC00000A3u},
};

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

} // namespace

bool SplitLine(std::string_view line, std::vector<Token>* tokens, std::string* error) {
    tokens->clear();
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            break;
        }
        Token token;
        if (c == '"') {
            token.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char q = line[i++];
                if (q == '\\' && i < line.size()) {
                    token.text += line[i++];
                } else if (q == '"') {
                    closed = true;
                    break;
                } else {
                    token.text += q;
                }
            }
            if (!closed) {
                *error = "expected a closing '\"'";
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '#') {
                token.text += line[i++];
            }
        }
        tokens->push_back(std::move(token));
    }
    return true;
}

std::optional<std::uint32_t> ParseU32(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        for (std::size_t i = 2; i < text.size(); ++i) {
            int d = HexDigit(text[i]);
            if (d < 0 || i > 9) {
                return std::nullopt;
            }
            value = value * 16 + static_cast<unsigned>(d);
        }
        return static_cast<std::uint32_t>(value);
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFFFFFFull) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::int32_t> ParseI32(std::string_view text) {
    bool negative = !text.empty() && text[0] == '-';
    auto magnitude = ParseU32(negative ? text.substr(1) : text);
    if (!magnitude) {
        return std::nullopt;
    }
    if (negative) {
        if (*magnitude > 0x80000000u) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(*magnitude));
    }
    if (*magnitude > 0x7FFFFFFFu && !(text.size() > 2 && text[1] == 'x')) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*magnitude);
}

std::optional<double> ParseScale(std::string_view text) {
    std::string copy(text);
    if (copy.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(copy.c_str(), &end);
    if (errno != 0 || end != copy.c_str() + copy.size() || !(value >= kMinTimeScale) ||
        value > kMaxTimeScale) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if ((text[i] == ',' || text[i] == ':') && !bytes.empty()) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            return std::nullopt;
        }
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    if (bytes.empty()) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::vector<std::int32_t>> ParseIndexList(std::string_view text) {
    std::vector<std::int32_t> list;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        auto value =
            ParseI32(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (!value) {
            return std::nullopt;
        }
        list.push_back(*value);
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return list;
}

std::optional<std::uint32_t> ParseStatus(std::string_view text) {
    for (const auto& entry : kStatusNames) {
        if (text == entry.name) {
            return entry.value;
        }
    }
    return ParseU32(text);
}

std::string StatusText(std::uint32_t status) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    for (const auto& entry : kStatusNames) {
        if (entry.value == status) {
            return std::string(hex) + " (" + entry.name + ")";
        }
    }
    return hex;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text.empty() ? "(none)" : text;
}

std::string IndexList(const std::vector<std::int32_t>& indexes) {
    std::string text;
    for (std::int32_t i : indexes) {
        text += (text.empty() ? "" : ",") + std::to_string(i);
    }
    return text;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

std::string Printable(std::string_view text) {
    std::string out;
    char buf[8];
    for (std::size_t i = 0; i < text.size();) {
        // U+0080..U+009F are control characters too: some terminals take them as escapes.
        const sim::Utf8Sequence sequence = sim::DecodeUtf8(text.substr(i));
        if (sequence.length > 1 && sequence.codePoint >= 0xA0) {
            out.append(text.substr(i, sequence.length));
            i += sequence.length;
            continue;
        }
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == 0) {
            out += "\\0";
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
        ++i;
    }
    return out;
}

} // namespace host
