#include "host/cli/InputFile.h"
#include "host/cli/Limits.h"
#include "host/scenario/Scenario.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/text_encoding.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <utility>

namespace host {

namespace {

// The command as written again, quotes and escapes included.
std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// Thrown inside the parser only; turned into a SyntaxError with file and line.
struct Fail {
    std::string message;
};

// Reads one command's words into a Command. Each command has a rule that
// reads its arguments; a rule reads exactly its words, and the line must end
// after them.
class LineParser {
public:
    LineParser(std::vector<Token> tokens, Command* command, std::string baseDir)
        : mTokens(std::move(tokens)), mCommand(*command), mBaseDir(std::move(baseDir)) {}

    void Parse();

private:
    using Rule = void (LineParser::*)();

    const Token* Peek() const { return mNext < mTokens.size() ? &mTokens[mNext] : nullptr; }

    [[noreturn]] void Expected(const std::string& what) const {
        const Token* t = Peek();
        throw Fail{"expected " + what +
                   (t ? ", found '" + Printable(t->text) + "'" : ", found the end of the line")};
    }

    // The next word as `read` reads it (empty when it is not one); else `what`
    // is expected, with `hint` when a word is there that is not one.
    template <typename Read> auto Next(const std::string& what, Read read, const char* hint = "") {
        const Token* t = Peek();
        auto value = t != nullptr ? read(*t) : decltype(read(*t)){};
        if (!value) {
            Expected(t != nullptr ? what + hint : what);
        }
        ++mNext;
        return *value;
    }

    std::string Word(const std::string& what) {
        return Next(what, [](const Token& t) { return std::optional(t.text); });
    }

    void End() {
        if (Peek() != nullptr) {
            Expected("the end of the line");
        }
    }

    bool Accept(const char* word) {
        const Token* t = Peek();
        if (t != nullptr && !t->quoted && t->text == word) {
            ++mNext;
            return true;
        }
        return false;
    }

    std::uint32_t Number(const std::string& what) {
        return Next(
            what, [](const Token& t) { return ParseU32(t.text); }, " (a decimal or 0x hex number)");
    }

    // A number the host refuses above `most`: `limit` says what it takes.
    std::uint32_t NumberAtMost(const std::string& what, std::uint32_t most,
                               const std::string& limit) {
        std::uint32_t value = Number(what);
        if (value > most) {
            --mNext;
            Expected(limit);
        }
        return value;
    }

    // The host allocates what a length asks for: a slip of the finger must
    // not become a 4 GiB buffer.
    std::uint32_t BufferLength(const std::string& what) {
        return static_cast<std::uint32_t>(
            NumberAtMost(what, kMaxIoctlBuffer, what + " of at most " + kMaxIoctlBufferText));
    }

    std::int32_t Signed(const std::string& what) {
        return Next(what, [](const Token& t) { return ParseI32(t.text); });
    }

    std::uint32_t Status(const std::string& what) {
        return Next(
            what, [](const Token& t) { return ParseStatus(t.text); },
            " (0x hex, or a name such as success or buffer-too-small)");
    }

    std::vector<std::uint8_t> Bytes(const std::string& what) {
        return Next(
            what, [](const Token& t) { return ParseHexBytes(t.text); },
            " (pairs of hex digits, such as 0100000001000000)");
    }

    std::string Quoted(const std::string& what) {
        return Next(what + " in double quotes",
                    [](const Token& t) { return t.quoted ? std::optional(t.text) : std::nullopt; });
    }

    // One of `choices`, by its word.
    template <typename T>
    T Choose(const std::vector<std::pair<const char*, T>>& choices, const std::string& what) {
        const Token* t = Peek();
        std::string list;
        for (const auto& [word, value] : choices) {
            if (t != nullptr && !t->quoted && t->text == word) {
                ++mNext;
                return value;
            }
            list += (list.empty() ? "" : ", ") + std::string(word);
        }
        Expected(what + " (" + list + ")");
    }

    // One of `words`, as written.
    std::string OneOf(std::initializer_list<const char*> words, const std::string& what) {
        std::vector<std::pair<const char*, std::string>> choices;
        for (const char* word : words) {
            choices.emplace_back(word, word);
        }
        return Choose(choices, what);
    }

    // HIGH:LOW, each half a decimal or 0x hex 64-bit number.
    void Suid(const std::string& what);

    // The rules, one per command word.
    void Config();
    void PowerCallback();
    void Ioctl();
    void Display();
    void Wwan();
    void Modem();
    void Hub();
    void BootTime() { mCommand.a = Number("milliseconds since boot"); }
    void Wlan();
    // ENABLE [MASK:INDEX ...] to the end of the line.
    void WlanSetting();
    void Partition();
    void Proximity();
    void Wait() { mCommand.a = Number("milliseconds"); }
    void TimeScale();
    void Expect();

    std::vector<Token> mTokens;
    std::size_t mNext = 0;
    Command& mCommand;
    const std::string mBaseDir;
};

void LineParser::Parse() {
    struct Verb {
        Op op;     // the command's Op, or the first of its group
        Rule rule; // how its arguments are read (a rule may set another Op)
    };
    // In the order the users' reference presents them, which error messages follow.
    static const std::vector<std::pair<const char*, Verb>> kVerbs = {
        {"config", {Op::Config, &LineParser::Config}},
        {"add", {Op::Add, nullptr}},
        {"start", {Op::Start, nullptr}},
        {"d0-entry", {Op::D0Entry, &LineParser::PowerCallback}},
        {"d0-exit", {Op::D0Exit, &LineParser::PowerCallback}},
        {"sleep", {Op::Sleep, nullptr}},
        {"wake", {Op::Wake, nullptr}},
        {"hibernate", {Op::Hibernate, nullptr}},
        {"resume", {Op::Resume, nullptr}},
        {"shutdown", {Op::Shutdown, nullptr}},
        {"remove", {Op::Remove, nullptr}},
        {"unload", {Op::Unload, nullptr}},
        {"ioctl", {Op::IoctlSetState, &LineParser::Ioctl}},
        {"display", {Op::Display, &LineParser::Display}},
        {"wwan", {Op::WwanAdd, &LineParser::Wwan}},
        {"modem", {Op::ModemAntennas, &LineParser::Modem}},
        {"hub", {Op::HubPresent, &LineParser::Hub}},
        {"boot-time", {Op::BootTime, &LineParser::BootTime}},
        {"wlan", {Op::WlanInterfaces, &LineParser::Wlan}},
        {"partition", {Op::PartitionPresent, &LineParser::Partition}},
        {"proximity", {Op::ProximityAdd, &LineParser::Proximity}},
        {"wait", {Op::Wait, &LineParser::Wait}},
        {"time-scale", {Op::TimeScale, &LineParser::TimeScale}},
        {"show", {Op::Show, nullptr}},
        {"expect", {Op::ExpectStatus, &LineParser::Expect}},
    };
    const Verb verb = Choose(kVerbs, "a command");
    mCommand.op = verb.op;
    if (verb.rule != nullptr) {
        (this->*verb.rule)();
    }
    End();
}

void LineParser::Config() {
    std::filesystem::path p(Word("a .reg file"));
    if (p.is_relative() && !mBaseDir.empty()) {
        p = std::filesystem::path(mBaseDir) / p;
    }
    mCommand.path = p.string();
}

void LineParser::PowerCallback() {
    const bool entry = mCommand.op == Op::D0Entry;
    // D0 entry comes from a low-power state and D0 exit goes to one: the
    // framework never passes D0 to either.
    mCommand.a = static_cast<std::uint32_t>(
        Choose<PowerState>({{"D1", PowerState::D1},
                            {"D2", PowerState::D2},
                            {"D3", PowerState::D3},
                            {"D3Final", PowerState::D3Final}},
                           entry ? "the previous power state" : "the target power state"));
    mCommand.b =
        static_cast<std::uint32_t>(Choose<PowerAction>({{"none", PowerAction::None},
                                                        {"sleep", PowerAction::Sleep},
                                                        {"hibernate", PowerAction::Hibernate},
                                                        {"shutdown", PowerAction::Shutdown}},
                                                       "a system power action"));
}

void LineParser::Ioctl() {
    Command& c = mCommand;
    c.op = Choose<Op>(
        {{"set-state", Op::IoctlSetState}, {"get-info", Op::IoctlGetInfo}, {"raw", Op::IoctlRaw}},
        "an IOCTL");
    if (c.op == Op::IoctlSetState) {
        c.a = Number("a sensor ID");
        c.b = Number("a sensor state");
    } else if (c.op == Op::IoctlGetInfo) {
        if (Peek() != nullptr) {
            c.outLen = BufferLength("an output length");
        }
    } else {
        c.a = Number("an IOCTL code");
        bool in = false;
        while (Peek() != nullptr) {
            // A second one would silently replace the first.
            const bool out = OneOf({"in", "outlen"}, "an IOCTL option") == "outlen";
            if (out ? c.outLen.has_value() : in) {
                --mNext;
                Expected("in and outlen once each at most");
            }
            if (out) {
                c.outLen = BufferLength("an output length");
                continue;
            }
            in = true;
            c.bytes = Bytes("input bytes");
            if (c.bytes.size() > kMaxIoctlBuffer) {
                --mNext;
                Expected(std::string("input bytes of at most ") + kMaxIoctlBufferText);
            }
        }
    }
}

void LineParser::Display() {
    mCommand.word = OneOf({"off", "on", "dimmed"}, "a display state");
    mCommand.a = mCommand.word == "off" ? 0 : mCommand.word == "on" ? 1 : 2;
}

void LineParser::Wwan() {
    mCommand.op = Choose<Op>({{"add", Op::WwanAdd}, {"remove", Op::WwanRemove}},
                             "what the WWAN interface does");
    mCommand.a = Peek() != nullptr ? Number("an interface type") : 243;
}

void LineParser::Modem() {
    Command& c = mCommand;
    c.op = Choose<Op>({{"antennas", Op::ModemAntennas},
                       {"none", Op::ModemNone},
                       {"fail", Op::ModemFail},
                       {"ok", Op::ModemOk}},
                      "a modem command");
    if (c.op == Op::ModemAntennas) {
        c.a = NumberAtMost("an antenna count", 64, "an antenna count of at most 64");
        if (Accept("index")) {
            c.b = static_cast<std::uint32_t>(Signed("a back-off index"));
        }
    } else if (c.op == Op::ModemFail) {
        c.word = OneOf({"config", "enable", "set"}, "a modem step");
        c.how = OneOf({"timeout", "error", "notsupported"}, "how the step fails");
        c.flag = Accept("always");
    }
}

void LineParser::Suid(const std::string& what) {
    auto half = [](std::string_view h) -> std::optional<std::uint64_t> {
        bool hex = h.size() > 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X');
        const char* begin = h.data() + (hex ? 2 : 0);
        std::uint64_t value = 0;
        auto [end, ec] = std::from_chars(begin, h.data() + h.size(), value, hex ? 16 : 10);
        if (ec != std::errc() || end != h.data() + h.size() || begin == end) {
            return std::nullopt;
        }
        return value;
    };
    auto suid = Next(what + " (HIGH:LOW, such as 0x0123456789ABCDEF:0x5341523053454E31)",
                     [&](const Token& t) -> std::optional<std::pair<std::uint64_t, std::uint64_t>> {
                         std::string_view text = t.text;
                         std::size_t colon = text.find(':');
                         auto high = half(text.substr(0, colon));
                         auto low = colon == std::string_view::npos ? std::nullopt
                                                                    : half(text.substr(colon + 1));
                         if (!high || !low) {
                             return std::nullopt;
                         }
                         return std::pair(*high, *low);
                     });
    mCommand.suids.push_back(suid.first);
    mCommand.suids.push_back(suid.second);
}

void LineParser::Hub() {
    Command& c = mCommand;
    c.op = Choose<Op>({{"present", Op::HubPresent},
                       {"absent", Op::HubAbsent},
                       {"sar", Op::HubSar},
                       {"report", Op::HubReport},
                       {"error", Op::HubError},
                       {"fail", Op::HubFail},
                       {"raw", Op::HubRaw}},
                      "a hub command");
    if (c.op == Op::HubSar) {
        do {
            Suid("a SUID");
        } while (Peek() != nullptr);
    } else if (c.op == Op::HubReport) {
        c.value = Next("a sensor value, such as 1.0", [](const Token& t) -> std::optional<double> {
            char* end = nullptr;
            double value = std::strtod(t.text.c_str(), &end);
            if (end == t.text.c_str() || *end != '\0') {
                return std::nullopt;
            }
            return value;
        });
        if (Accept("from")) {
            Suid("the SUID of the sensor reporting");
        }
    } else if (c.op == Op::HubFail) {
        c.word = OneOf({"lookup", "attr", "onchange"}, "a kind of request");
        c.a = static_cast<std::uint32_t>(
            Next("a non-zero result", [](const Token& t) -> std::optional<std::int32_t> {
                auto result = ParseI32(t.text);
                return result && *result != 0 ? result : std::nullopt;
            }));
    } else if (c.op == Op::HubRaw) {
        c.bytes = Bytes("the indication's bytes");
    }
}

void LineParser::Wlan() {
    Command& c = mCommand;
    c.op = Choose<Op>({{"interfaces", Op::WlanInterfaces},
                       {"arrive", Op::WlanArrive},
                       {"leave", Op::WlanLeave},
                       {"notify", Op::WlanNotify},
                       {"fail", Op::WlanFail},
                       {"reply", Op::WlanReply},
                       {"readback", Op::WlanReadback},
                       {"ok", Op::WlanOk}},
                      "a WLAN adapter command");
    if (c.op == Op::WlanInterfaces) {
        c.a = NumberAtMost("an interface count", 64, "an interface count of at most 64");
        if (Accept("index")) {
            c.b = Number("the current interface's index");
        }
    } else if (c.op == Op::WlanNotify) {
        c.word = OneOf({"sar", "null", "other"}, "the notification's device service");
    } else if (c.op == Op::WlanFail) {
        c.word = OneOf({"open", "register-service", "register", "enum", "set", "query"},
                       "a WLAN operation");
        c.a = Number("a Win32 error code");
        c.flag = Accept("always");
    } else if (c.op == Op::WlanReply) {
        if (Accept("empty")) {
            c.how = "empty";
        } else {
            c.a = NumberAtMost("a reply byte, or empty", 255, "a reply byte (0 to 255), or empty");
        }
        c.flag = Accept("always");
    } else if (c.op == Op::WlanReadback) {
        WlanSetting();
    }
}

void LineParser::WlanSetting() {
    mCommand.a = NumberAtMost("Enable (0 or 1)", 1, "Enable (0 or 1)");
    while (Peek() != nullptr) {
        mCommand.entries.push_back(
            Next("an entry MASK:INDEX, such as 1:3",
                 [](const Token& t) -> std::optional<std::pair<std::uint32_t, std::int32_t>> {
                     std::string_view text = t.text;
                     std::size_t colon = text.find(':');
                     auto mask = colon == std::string_view::npos ? std::nullopt
                                                                 : ParseU32(text.substr(0, colon));
                     auto index = mask ? ParseI32(text.substr(colon + 1)) : std::nullopt;
                     if (!index) {
                         return std::nullopt;
                     }
                     return std::pair(*mask, *index);
                 }));
    }
}

void LineParser::Partition() {
    Command& c = mCommand;
    c.op = Choose<Op>({{"present", Op::PartitionPresent},
                       {"absent", Op::PartitionAbsent},
                       {"query-remove", Op::PartitionQueryRemove},
                       {"remove-cancelled", Op::PartitionRemoveCancelled},
                       {"remove-complete", Op::PartitionRemoveComplete},
                       {"file", Op::PartitionFile},
                       {"period", Op::PartitionPeriod},
                       {"delete", Op::PartitionDelete},
                       {"fail", Op::PartitionFail},
                       {"hang", Op::PartitionHang},
                       {"ok", Op::PartitionOk}},
                      "a partition command");
    if (c.op == Op::PartitionQueryRemove) {
        c.flag = Accept("veto");
    } else if (c.op == Op::PartitionFile || c.op == Op::PartitionDelete) {
        c.path = Next("a file as FOLDER\\NAME", [](const Token& t) {
            return t.text.find('\\') != std::string::npos ? std::optional(t.text) : std::nullopt;
        });
        // The bytes may be written in one word or in several.
        while (c.op == Op::PartitionFile && Peek() != nullptr) {
            auto more = Bytes("the file's bytes");
            c.bytes.insert(c.bytes.end(), more.begin(), more.end());
            if (c.bytes.size() > kMaxIoctlBuffer) {
                --mNext;
                Expected(std::string("a file of at most ") + kMaxIoctlBufferText);
            }
        }
    } else if (c.op == Op::PartitionPeriod) {
        c.a = Number("a refresh period in milliseconds");
        c.flag = Accept("big-endian");
    } else if (c.op == Op::PartitionFail || c.op == Op::PartitionHang) {
        c.word = OneOf({"list", "read"}, "a partition request");
        if (c.op == Op::PartitionFail) {
            c.a = Status("an NTSTATUS");
        }
        c.flag = Accept("always");
    }
}

void LineParser::Proximity() {
    Command& c = mCommand;
    c.op = Choose<Op>({{"add", Op::ProximityAdd},
                       {"add-other", Op::ProximityAddOther},
                       {"near", Op::ProximityNear},
                       {"far", Op::ProximityFar},
                       {"update", Op::ProximityUpdate},
                       {"remove", Op::ProximityRemove},
                       {"fail", Op::ProximityFail}},
                      "a proximity command");
    if (c.op == Op::ProximityFail) {
        c.word = OneOf({"selector", "create", "start", "stop", "subscribe"}, "the call that fails");
        return;
    }
    c.word = Word("a sensor name");
    if (c.op == Op::ProximityAdd || c.op == Op::ProximityAddOther) {
        // Device ids are ASCII, as the platform's device paths are.
        c.deviceId = Next("a device id of printable ASCII characters", [](const Token& t) {
            bool ascii = !t.text.empty();
            for (char ch : t.text) {
                ascii = ascii && static_cast<unsigned char>(ch) >= 0x20 &&
                        static_cast<unsigned char>(ch) < 0x7F;
            }
            return ascii ? std::optional(t.text) : std::nullopt;
        });
    }
}

void LineParser::TimeScale() {
    mCommand.scale = Next(std::string("a time scale ") + kTimeScaleRangeText,
                          [](const Token& t) { return ParseScale(t.text); });
}

void LineParser::Expect() {
    Command& c = mCommand;
    c.op = Choose<Op>({{"status", Op::ExpectStatus},
                       {"bytes", Op::ExpectBytes},
                       {"output", Op::ExpectOutput},
                       {"add", Op::ExpectAdd},
                       {"channels", Op::ExpectChannels},
                       {"modem", Op::ExpectModem},
                       {"modem-sets", Op::ExpectModemSets},
                       {"modem-enabled", Op::ExpectModemEnabled},
                       {"trace", Op::ExpectTrace},
                       {"no-trace", Op::ExpectNoTrace},
                       {"hub-requests", Op::ExpectHubRequests},
                       {"hub-clients", Op::ExpectHubClients},
                       {"wlan", Op::ExpectWlan},
                       {"wlan-sets", Op::ExpectWlanSets},
                       {"wlan-size", Op::ExpectWlanSize},
                       {"partition-requests", Op::ExpectPartitionRequests},
                       {"proximity-watcher", Op::ExpectProximityWatcher}},
                      "what to check");
    switch (c.op) {
    case Op::ExpectStatus:
    case Op::ExpectAdd:
        c.a = Status("an NTSTATUS");
        break;
    case Op::ExpectBytes:
        c.a = Number("a byte count");
        break;
    case Op::ExpectOutput:
        c.bytes = Bytes("output bytes");
        break;
    case Op::ExpectChannels:
        c.a = Number("a channel count");
        break;
    case Op::ExpectModem:
        c.indexes = Next("back-off indexes in antenna order, such as 0,3",
                         [](const Token& t) { return ParseIndexList(t.text); });
        break;
    case Op::ExpectModemSets:
        c.a = Number("a count of SetConfigurationAsync calls");
        break;
    case Op::ExpectModemEnabled:
        c.flag = OneOf({"yes", "no"}, "yes or no") == "yes";
        break;
    case Op::ExpectTrace:
    case Op::ExpectNoTrace:
        c.word = Quoted("the trace text");
        break;
    case Op::ExpectHubRequests:
        c.word = OneOf({"lookup", "attr", "onchange"}, "a kind of request");
        c.a = Number("a request count");
        break;
    case Op::ExpectHubClients:
        c.a = Number("a client count");
        break;
    case Op::ExpectWlan:
        WlanSetting();
        break;
    case Op::ExpectWlanSets:
        c.a = Number("a count of WLAN settings");
        break;
    case Op::ExpectWlanSize:
        c.a = Number("a payload size in bytes");
        break;
    case Op::ExpectPartitionRequests:
        c.word = OneOf({"list", "read"}, "a partition request");
        c.a = Number("a request count");
        break;
    case Op::ExpectProximityWatcher:
        c.word = OneOf({"started", "stopped", "none"}, "the device watcher's state");
        break;
    default:
        break;
    }
}

} // namespace

bool IsCheck(Op op) {
    return op >= Op::ExpectStatus;
}

std::string SyntaxError::ToString() const {
    // Line 0: the whole file, which could not be read.
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
}

ParseResult ParseScenario(const std::string& text, const std::string& fileName,
                          const std::string& baseDir) {
    ParseResult result;
    // A UTF-16 or UTF-32 file is named for what it is rather than as a
    // command the parser cannot read.
    if (const sim::WideForm form = sim::WideFormOf(text); form != sim::WideForm::None) {
        result.error = SyntaxError{fileName, 1,
                                   std::string("the file is ") + sim::WideFormName(form) +
                                       " text: save it as UTF-8 (or ASCII), as scenarios are read"};
        return result;
    }
    Scenario scenario;
    scenario.name = fileName;
    // Editors that save UTF-8 with a byte-order mark are taken as the .reg importer takes them.
    std::istringstream in(text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text);
    std::string line;
    std::string pendingComment;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::vector<Token> tokens;
        std::string error;
        if (!SplitLine(line, &tokens, &error)) {
            result.error = SyntaxError{fileName, number, error};
            return result;
        }
        if (tokens.empty()) {
            // A comment on a line of its own explains the commands after it;
            // the timeline shows it. A blank line ends the explanation.
            std::size_t hash = line.find_first_not_of(" \t");
            if (hash != std::string::npos && line[hash] == '#') {
                std::string text = line.substr(hash + 1);
                text.erase(0, text.find_first_not_of(' '));
                while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
                    text.pop_back();
                }
                pendingComment += pendingComment.empty() ? text : " " + text;
            } else {
                pendingComment.clear();
            }
            continue;
        }
        Command command;
        command.comment = std::move(pendingComment);
        pendingComment.clear();
        command.file = fileName;
        command.line = number;
        std::string written;
        for (const auto& t : tokens) {
            written += written.empty() ? "" : " ";
            written += t.quoted ? Quote(t.text) : t.text;
        }
        command.text = written;
        try {
            LineParser(std::move(tokens), &command, baseDir).Parse();
        } catch (const Fail& fail) {
            result.error = SyntaxError{fileName, number, fail.message};
            return result;
        }
        scenario.commands.push_back(std::move(command));
    }
    result.scenario = std::move(scenario);
    return result;
}

namespace {

// Each wait with how long it lasts in real time, at the time scale in force
// where it stands (from `scale` and the scenario's own time-scale lines).
template <typename Visit> void ForEachWait(const Scenario& scenario, double scale, Visit visit) {
    for (const Command& c : scenario.commands) {
        if (c.op == Op::TimeScale) {
            scale = c.scale;
        } else if (c.op == Op::Wait) {
            visit(c, std::chrono::duration<double, std::milli>(c.a * scale), scale);
        }
    }
}

} // namespace

std::optional<SyntaxError> CheckWaits(const Scenario& scenario, double scale) {
    std::optional<SyntaxError> error;
    ForEachWait(scenario, scale, [&](const Command& c, auto real, double at) {
        if (!error && real > kMaxWaitReal) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "a wait of %u ms lasts %.0f s of real time at time scale %g: at "
                          "most %s",
                          c.a, real.count() / 1000.0, at, kMaxWaitRealText);
            error = SyntaxError{c.file, c.line, text};
        }
    });
    return error;
}

std::chrono::duration<double> RealWaitTime(const Scenario& scenario, double scale) {
    std::chrono::duration<double> total(0);
    ForEachWait(scenario, scale, [&](const Command&, auto real, double) { total += real; });
    return total;
}

ParseResult ParseScenarioFile(const std::string& path) {
    std::string text;
    if (std::string error = ReadInputFile(path, &text); !error.empty()) {
        ParseResult result;
        result.error = SyntaxError{path, 0, error};
        return result;
    }
    std::string base = std::filesystem::path(path).parent_path().string();
    return ParseScenario(text, path, base);
}

} // namespace host
