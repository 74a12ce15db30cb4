// Splitting a scenario line into words and reading the values the scenario
// language knows: numbers (decimal or 0x hex), hex byte strings, index lists
// and NTSTATUS names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

struct Token {
    std::string text;
    bool quoted = false;
};

// Words separated by blanks; "..." is one word (\" and \\ escape); # outside
// quotes starts a comment. Fails with a message on an unterminated quote.
bool SplitLine(std::string_view line, std::vector<Token>* tokens, std::string* error);

std::optional<std::uint32_t> ParseU32(std::string_view text);
std::optional<std::int32_t> ParseI32(std::string_view text);
// A time scale within the host's limits (host/cli/Limits.h); anything else is empty.
std::optional<double> ParseScale(std::string_view text);
// Pairs of hex digits, optionally separated by commas or colons: "01000000", "01,00".
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text);
// "0,3,3": indexes in antenna order.
std::optional<std::vector<std::int32_t>> ParseIndexList(std::string_view text);
// A number, or success / unsuccessful / buffer-too-small / not-supported / ...
std::optional<std::uint32_t> ParseStatus(std::string_view text);
// The name of a status the scenario language knows, or its hex text.
std::string StatusText(std::uint32_t status);
std::string HexBytes(const std::vector<std::uint8_t>& bytes);
// Indexes as ParseIndexList reads them: "0,3,3".
std::string IndexList(const std::vector<std::int32_t>& indexes);
// "a, b, c".
std::string Joined(const std::vector<std::string>& items);
// Input as it may be quoted in a message or on a terminal: control characters,
// NUL and bytes that are not UTF-8 become \t, \0, \x1b..., so that a message is
// never cut short and no escape sequence reaches the terminal.
std::string Printable(std::string_view text);

} // namespace host
