#include "host/scenario/Scenario.h"
#include "host/scenario/Tokens.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

int CountLines(const std::string& text) {
    int lines = 1;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    host::ParseResult result = host::ParseScenario(text, "fuzz.scn", "");
    Check(result.scenario.has_value() != result.error.has_value());
    if (result.error) {
        Check(result.error->line >= 1 && result.error->line <= CountLines(text));
        Check(!result.error->message.empty());
        return 0;
    }
    int previous = 0;
    for (const host::Command& c : result.scenario->commands) {
        Check(c.line > previous);
        previous = c.line;
        host::ParseResult again = host::ParseScenario(c.text, "again.scn", "");
        Check(again.scenario && again.scenario->commands.size() == 1);
        const host::Command& d = again.scenario->commands[0];
        Check(d.op == c.op && d.a == c.a && d.b == c.b && d.outLen == c.outLen &&
              d.bytes == c.bytes && d.indexes == c.indexes && d.word == c.word && d.how == c.how &&
              d.flag == c.flag && d.path == c.path && d.entries == c.entries && d.text == c.text);
        host::StatusText(c.a);
        host::HexBytes(c.bytes);
    }
    return 0;
}
