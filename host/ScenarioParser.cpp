#include "host/Limits.h"
#include "host/Scenario.h"
#include "host/Tokens.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace host {

namespace {

constexpr const char* kCommandList =
    "config, add, start, d0-entry, d0-exit, sleep, wake, hibernate, resume, shutdown, remove, "
    "unload, ioctl, display, wwan, modem, hub, boot-time, wlan, partition, proximity, wait, "
    "time-scale, show, expect";

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

class LineParser {
public:
    LineParser(std::vector<Token> tokens, Command* command)
        : mTokens(std::move(tokens)), mCommand(command) {}

    void Parse(const std::string& baseDir);

private:
    const Token* Peek() const { return mNext < mTokens.size() ? &mTokens[mNext] : nullptr; }

    [[noreturn]] void Expected(const std::string& what) const {
        const Token* t = Peek();
        throw Fail{"expected " + what +
                   (t ? ", found '" + Printable(t->text) + "'" : ", found the end of the line")};
    }

    std::string Word(const std::string& what) {
        const Token* t = Peek();
        if (t == nullptr) {
            Expected(what);
        }
        ++mNext;
        return t->text;
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
        const Token* t = Peek();
        if (t == nullptr) {
            Expected(what);
        }
        auto value = ParseU32(t->text);
        if (!value) {
            Expected(what + " (a decimal or 0x hex number)");
        }
        ++mNext;
        return *value;
    }

    std::optional<std::uint32_t> OptionalNumber(const std::string& what) {
        if (Peek() == nullptr) {
            return std::nullopt;
        }
        return Number(what);
    }

    // The host allocates what a length asks for: a slip of the finger must
    // not become a 4 GiB buffer.
    std::uint32_t BufferLength(const std::string& what) {
        std::uint32_t length = Number(what);
        if (length > kMaxIoctlBuffer) {
            --mNext;
            Expected(what + " of at most " + kMaxIoctlBufferText);
        }
        return length;
    }

    std::vector<std::uint8_t> Bytes(const std::string& what) {
        const Token* t = Peek();
        if (t == nullptr) {
            Expected(what);
        }
        auto bytes = ParseHexBytes(t->text);
        if (!bytes) {
            Expected(what + " (pairs of hex digits, such as 0100000001000000)");
        }
        ++mNext;
        return *bytes;
    }

    std::string Quoted(const std::string& what) {
        const Token* t = Peek();
        if (t == nullptr || !t->quoted) {
            Expected(what + " in double quotes");
        }
        ++mNext;
        return t->text;
    }

    std::string OneOf(std::initializer_list<const char*> words, const std::string& what) {
        const Token* t = Peek();
        if (t != nullptr && !t->quoted) {
            for (const char* w : words) {
                if (t->text == w) {
                    ++mNext;
                    return t->text;
                }
            }
        }
        std::string list;
        for (const char* w : words) {
            list += list.empty() ? "" : ", ";
            list += w;
        }
        Expected(what + " (" + list + ")");
    }

    void End() {
        if (Peek() != nullptr) {
            Expected("the end of the line");
        }
    }

    PowerState State(const std::string& what) {
        std::string s = OneOf({"D0", "D1", "D2", "D3", "D3Final"}, what);
        if (s == "D0") {
            return PowerState::D0;
        }
        if (s == "D1") {
            return PowerState::D1;
        }
        if (s == "D2") {
            return PowerState::D2;
        }
        if (s == "D3") {
            return PowerState::D3;
        }
        return PowerState::D3Final;
    }

    PowerAction Action() {
        std::string s = OneOf({"none", "sleep", "hibernate", "shutdown"}, "a system power action");
        if (s == "none") {
            return PowerAction::None;
        }
        if (s == "sleep") {
            return PowerAction::Sleep;
        }
        if (s == "hibernate") {
            return PowerAction::Hibernate;
        }
        return PowerAction::Shutdown;
    }

    void ParseIoctl();
    void ParseModem();
    void ParseHub();
    void ParseWlan();
    // ENABLE [MASK:INDEX ...] to the end of the line.
    void WlanSetting();
    void ParsePartition();
    void ParseProximity();
    void ParseExpect();

    // HIGH:LOW, each half a decimal or 0x hex 64-bit number.
    void Suid(const std::string& what) {
        const Token* t = Peek();
        std::string text = t != nullptr ? t->text : std::string();
        auto colon = text.find(':');
        auto half = [](const std::string& h, std::uint64_t& out) {
            bool hex = h.size() > 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X');
            const char* begin = h.data() + (hex ? 2 : 0);
            auto [end, ec] = std::from_chars(begin, h.data() + h.size(), out, hex ? 16 : 10);
            return ec == std::errc() && end == h.data() + h.size() && begin != end;
        };
        std::uint64_t high = 0, low = 0;
        if (colon == std::string::npos || !half(text.substr(0, colon), high) ||
            !half(text.substr(colon + 1), low)) {
            Expected(what + " (HIGH:LOW, such as 0x0123456789ABCDEF:0x5341523053454E31)");
        }
        ++mNext;
        mCommand->suids.push_back(high);
        mCommand->suids.push_back(low);
    }

    std::vector<Token> mTokens;
    std::size_t mNext = 0;
    Command* mCommand;
};

void LineParser::Parse(const std::string& baseDir) {
    Command& c = *mCommand;
    const std::string verb = Word("a command");
    struct Simple {
        const char* word;
        Op op;
    };
    static const Simple kSimple[] = {
        {"add", Op::Add},           {"start", Op::Start},         {"sleep", Op::Sleep},
        {"wake", Op::Wake},         {"hibernate", Op::Hibernate}, {"resume", Op::Resume},
        {"shutdown", Op::Shutdown}, {"remove", Op::Remove},       {"unload", Op::Unload},
        {"show", Op::Show},
    };
    for (const auto& s : kSimple) {
        if (verb == s.word) {
            c.op = s.op;
            End();
            return;
        }
    }
    if (verb == "config") {
        c.op = Op::Config;
        std::filesystem::path p(Word("a .reg file"));
        if (p.is_relative() && !baseDir.empty()) {
            p = std::filesystem::path(baseDir) / p;
        }
        c.path = p.string();
        End();
    } else if (verb == "d0-entry" || verb == "d0-exit") {
        bool entry = verb == "d0-entry";
        c.op = entry ? Op::D0Entry : Op::D0Exit;
        c.a = static_cast<std::uint32_t>(
            State(entry ? "the previous power state" : "the target power state"));
        c.b = static_cast<std::uint32_t>(Action());
        End();
    } else if (verb == "ioctl") {
        ParseIoctl();
    } else if (verb == "display") {
        c.op = Op::Display;
        c.word = OneOf({"off", "on", "dimmed"}, "a display state");
        c.a = c.word == "off" ? 0 : c.word == "on" ? 1 : 2;
        End();
    } else if (verb == "wwan") {
        std::string what = OneOf({"add", "remove"}, "what the WWAN interface does");
        c.op = what == "add" ? Op::WwanAdd : Op::WwanRemove;
        c.a = OptionalNumber("an interface type").value_or(243);
        End();
    } else if (verb == "modem") {
        ParseModem();
    } else if (verb == "hub") {
        ParseHub();
    } else if (verb == "boot-time") {
        c.op = Op::BootTime;
        c.a = Number("milliseconds since boot");
        End();
    } else if (verb == "wlan") {
        ParseWlan();
    } else if (verb == "partition") {
        ParsePartition();
    } else if (verb == "proximity") {
        ParseProximity();
    } else if (verb == "wait") {
        c.op = Op::Wait;
        c.a = Number("milliseconds");
        End();
    } else if (verb == "time-scale") {
        c.op = Op::TimeScale;
        const Token* t = Peek();
        auto scale = t ? ParseScale(t->text) : std::nullopt;
        if (!scale) {
            Expected(std::string("a time scale ") + kTimeScaleRangeText);
        }
        ++mNext;
        c.scale = *scale;
        End();
    } else if (verb == "expect") {
        ParseExpect();
    } else {
        --mNext;
        Expected(std::string("a command (") + kCommandList + ")");
    }
}

void LineParser::ParseIoctl() {
    Command& c = *mCommand;
    std::string kind = OneOf({"set-state", "get-info", "raw"}, "an IOCTL");
    if (kind == "set-state") {
        c.op = Op::IoctlSetState;
        c.a = Number("a sensor ID");
        c.b = Number("a sensor state");
    } else if (kind == "get-info") {
        c.op = Op::IoctlGetInfo;
        if (Peek() != nullptr) {
            c.outLen = BufferLength("an output length");
        }
    } else {
        c.op = Op::IoctlRaw;
        c.a = Number("an IOCTL code");
        while (Peek() != nullptr) {
            std::string option = OneOf({"in", "outlen"}, "an IOCTL option");
            if (option == "in") {
                c.bytes = Bytes("input bytes");
                if (c.bytes.size() > kMaxIoctlBuffer) {
                    --mNext;
                    Expected(std::string("input bytes of at most ") + kMaxIoctlBufferText);
                }
            } else {
                c.outLen = BufferLength("an output length");
            }
        }
    }
    End();
}

void LineParser::ParseModem() {
    Command& c = *mCommand;
    std::string kind = OneOf({"antennas", "none", "fail", "ok"}, "a modem command");
    if (kind == "antennas") {
        c.op = Op::ModemAntennas;
        c.a = Number("an antenna count");
        if (c.a > 64) {
            --mNext;
            Expected("an antenna count of at most 64");
        }
        if (Accept("index")) {
            const Token* t = Peek();
            auto index = t ? ParseI32(t->text) : std::nullopt;
            if (!index) {
                Expected("a back-off index");
            }
            ++mNext;
            c.b = static_cast<std::uint32_t>(*index);
        }
    } else if (kind == "none") {
        c.op = Op::ModemNone;
    } else if (kind == "ok") {
        c.op = Op::ModemOk;
    } else {
        c.op = Op::ModemFail;
        c.word = OneOf({"config", "enable", "set"}, "a modem step");
        c.how = OneOf({"timeout", "error", "notsupported"}, "how the step fails");
        c.flag = Accept("always");
    }
    End();
}

void LineParser::ParseHub() {
    Command& c = *mCommand;
    c.op = Op::Hub;
    c.word = OneOf({"present", "absent", "sar", "report", "error", "fail", "raw"}, "a hub command");
    if (c.word == "sar") {
        do {
            Suid("a SUID");
        } while (Peek() != nullptr);
    } else if (c.word == "report") {
        const Token* t = Peek();
        char* end = nullptr;
        c.value = t != nullptr ? std::strtod(t->text.c_str(), &end) : 0.0;
        if (t == nullptr || end == t->text.c_str() || *end != '\0') {
            Expected("a sensor value, such as 1.0");
        }
        ++mNext;
        if (Accept("from")) {
            Suid("the SUID of the sensor reporting");
        }
    } else if (c.word == "fail") {
        c.how = OneOf({"lookup", "attr", "onchange"}, "a kind of request");
        const Token* t = Peek();
        auto result = t ? ParseI32(t->text) : std::nullopt;
        if (!result || *result == 0) {
            Expected("a non-zero result");
        }
        ++mNext;
        c.a = static_cast<std::uint32_t>(*result);
    } else if (c.word == "raw") {
        c.bytes = Bytes("the indication's bytes");
    }
    End();
}

void LineParser::WlanSetting() {
    Command& c = *mCommand;
    c.a = Number("Enable (0 or 1)");
    while (const Token* t = Peek()) {
        std::string_view text = t->text;
        std::size_t colon = text.find(':');
        auto mask =
            colon == std::string_view::npos ? std::nullopt : ParseU32(text.substr(0, colon));
        auto index = mask ? ParseI32(text.substr(colon + 1)) : std::nullopt;
        if (!index) {
            Expected("an entry MASK:INDEX, such as 1:3");
        }
        ++mNext;
        c.entries.emplace_back(*mask, *index);
    }
}

void LineParser::ParseWlan() {
    Command& c = *mCommand;
    std::string kind =
        OneOf({"interfaces", "arrive", "leave", "notify", "fail", "reply", "readback", "ok"},
              "a WLAN adapter command");
    if (kind == "interfaces") {
        c.op = Op::WlanInterfaces;
        c.a = Number("an interface count");
        if (c.a > 64) {
            --mNext;
            Expected("an interface count of at most 64");
        }
        if (Accept("index")) {
            c.b = Number("the current interface's index");
        }
    } else if (kind == "arrive" || kind == "leave" || kind == "ok") {
        c.op = kind == "arrive" ? Op::WlanArrive : kind == "leave" ? Op::WlanLeave : Op::WlanOk;
    } else if (kind == "notify") {
        c.op = Op::WlanNotify;
        c.word = OneOf({"sar", "null", "other"}, "the notification's device service");
    } else if (kind == "fail") {
        c.op = Op::WlanFail;
        c.word = OneOf({"open", "register-service", "register", "enum", "set", "query"},
                       "a WLAN operation");
        c.a = Number("a Win32 error code");
        c.flag = Accept("always");
    } else if (kind == "reply") {
        c.op = Op::WlanReply;
        if (Accept("empty")) {
            c.how = "empty";
        } else {
            c.a = Number("a reply byte, or empty");
            if (c.a > 255) {
                --mNext;
                Expected("a reply byte (0 to 255), or empty");
            }
        }
        c.flag = Accept("always");
    } else {
        c.op = Op::WlanReadback;
        WlanSetting();
    }
    End();
}

void LineParser::ParsePartition() {
    Command& c = *mCommand;
    const std::string kind =
        OneOf({"present", "absent", "query-remove", "remove-cancelled", "remove-complete", "file",
               "period", "delete", "fail", "hang", "ok"},
              "a partition command");
    static const std::pair<const char*, Op> kOps[] = {
        {"present", Op::PartitionPresent},
        {"absent", Op::PartitionAbsent},
        {"query-remove", Op::PartitionQueryRemove},
        {"remove-cancelled", Op::PartitionRemoveCancelled},
        {"remove-complete", Op::PartitionRemoveComplete},
        {"file", Op::PartitionFile},
        {"period", Op::PartitionPeriod},
        {"delete", Op::PartitionDelete},
        {"fail", Op::PartitionFail},
        {"hang", Op::PartitionHang},
        {"ok", Op::PartitionOk},
    };
    for (const auto& [word, op] : kOps) {
        if (kind == word) {
            c.op = op;
        }
    }
    if (c.op == Op::PartitionQueryRemove) {
        c.flag = Accept("veto");
    } else if (c.op == Op::PartitionFile || c.op == Op::PartitionDelete) {
        c.path = Word("a file as FOLDER\\NAME");
        if (c.path.find('\\') == std::string::npos) {
            --mNext;
            Expected("a file as FOLDER\\NAME");
        }
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
            const Token* t = Peek();
            auto value = t ? ParseStatus(t->text) : std::nullopt;
            if (!value) {
                Expected("an NTSTATUS (0x hex, or a name such as buffer-too-small)");
            }
            ++mNext;
            c.a = *value;
        }
        c.flag = Accept("always");
    }
    End();
}

// proximity add|add-other NAME DEVICE-ID; near|far|update|remove NAME; fail CALL.
void LineParser::ParseProximity() {
    Command& c = *mCommand;
    c.op = Op::Proximity;
    c.word = OneOf({"add", "add-other", "near", "far", "update", "remove", "fail"},
                   "a proximity command");
    if (c.word == "fail") {
        c.how = OneOf({"selector", "create", "start", "stop", "subscribe"}, "the call that fails");
    } else {
        c.how = Word("a sensor name");
        if (c.word == "add" || c.word == "add-other") {
            // Device ids are ASCII, as the platform's device paths are.
            const Token* t = Peek();
            bool ascii = t != nullptr && !t->text.empty();
            for (char ch : t != nullptr ? t->text : std::string()) {
                ascii = ascii && static_cast<unsigned char>(ch) >= 0x20 &&
                        static_cast<unsigned char>(ch) < 0x7F;
            }
            if (!ascii) {
                Expected("a device id of printable ASCII characters");
            }
            c.deviceId = Word("a device id");
        }
    }
    End();
}

void LineParser::ParseExpect() {
    Command& c = *mCommand;
    std::string what =
        OneOf({"status", "bytes", "output", "add", "channels", "modem", "modem-sets",
               "modem-enabled", "trace", "no-trace", "hub-requests", "hub-clients", "wlan",
               "wlan-sets", "wlan-size", "partition-requests", "proximity-watcher"},
              "what to check");
    auto status = [&](const std::string& expected) {
        const Token* t = Peek();
        auto value = t ? ParseStatus(t->text) : std::nullopt;
        if (!value) {
            Expected(expected +
                     " (0x hex, or success, unsuccessful, buffer-too-small, not-supported)");
        }
        ++mNext;
        return *value;
    };
    if (what == "status") {
        c.op = Op::ExpectStatus;
        c.a = status("an NTSTATUS");
    } else if (what == "add") {
        c.op = Op::ExpectAdd;
        c.a = status("an NTSTATUS");
    } else if (what == "bytes") {
        c.op = Op::ExpectBytes;
        c.a = Number("a byte count");
    } else if (what == "output") {
        c.op = Op::ExpectOutput;
        c.bytes = Bytes("output bytes");
    } else if (what == "channels") {
        c.op = Op::ExpectChannels;
        c.a = Number("a channel count");
    } else if (what == "modem") {
        c.op = Op::ExpectModem;
        const Token* t = Peek();
        auto list = t ? ParseIndexList(t->text) : std::nullopt;
        if (!list) {
            Expected("back-off indexes in antenna order, such as 0,3");
        }
        ++mNext;
        c.indexes = *list;
    } else if (what == "hub-requests") {
        c.op = Op::ExpectHubRequests;
        c.word = OneOf({"lookup", "attr", "onchange"}, "a kind of request");
        c.a = Number("a request count");
    } else if (what == "proximity-watcher") {
        c.op = Op::ExpectProximityWatcher;
        c.word = OneOf({"started", "stopped", "none"}, "the device watcher's state");
    } else if (what == "hub-clients") {
        c.op = Op::ExpectHubClients;
        c.a = Number("a client count");
    } else if (what == "modem-sets") {
        c.op = Op::ExpectModemSets;
        c.a = Number("a count of SetConfigurationAsync calls");
    } else if (what == "modem-enabled") {
        c.op = Op::ExpectModemEnabled;
        c.flag = OneOf({"yes", "no"}, "yes or no") == "yes";
    } else if (what == "wlan") {
        c.op = Op::ExpectWlan;
        WlanSetting();
    } else if (what == "wlan-sets") {
        c.op = Op::ExpectWlanSets;
        c.a = Number("a count of WLAN settings");
    } else if (what == "wlan-size") {
        c.op = Op::ExpectWlanSize;
        c.a = Number("a payload size in bytes");
    } else if (what == "partition-requests") {
        c.op = Op::ExpectPartitionRequests;
        c.word = OneOf({"list", "read"}, "a partition request");
        c.a = Number("a request count");
    } else {
        c.op = what == "trace" ? Op::ExpectTrace : Op::ExpectNoTrace;
        c.word = Quoted("the trace text");
    }
    End();
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
            LineParser(std::move(tokens), &command).Parse(baseDir);
        } catch (const Fail& fail) {
            result.error = SyntaxError{fileName, number, fail.message};
            return result;
        }
        scenario.commands.push_back(std::move(command));
    }
    result.scenario = std::move(scenario);
    return result;
}

std::optional<SyntaxError> CheckWaits(const Scenario& scenario, double scale) {
    for (const Command& c : scenario.commands) {
        if (c.op == Op::TimeScale) {
            scale = c.scale;
        } else if (c.op == Op::Wait) {
            std::chrono::duration<double, std::milli> real(c.a * scale);
            if (real > kMaxWaitReal) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "a wait of %u ms lasts %.0f s of real time at time scale %g: at "
                              "most %s",
                              c.a, real.count() / 1000.0, scale, kMaxWaitRealText);
                return SyntaxError{c.file, c.line, text};
            }
        }
    }
    return std::nullopt;
}

ParseResult ParseScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ParseResult result;
        result.error = SyntaxError{path, 0, "cannot read the file"};
        return result;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string base = std::filesystem::path(path).parent_path().string();
    return ParseScenario(buffer.str(), path, base);
}

} // namespace host
