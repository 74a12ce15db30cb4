#include "host/scenario/Timeline.h"
#include "host/scenario/Tokens.h"

#include "platform/sim/text_encoding.h"

#include <cstdio>

namespace host {

namespace {

const char* LevelLetter(int level) {
    switch (level) {
    case 1:
        return "C";
    case 2:
        return "E";
    case 3:
        return "W";
    case 4:
        return "I";
    default:
        return "V";
    }
}

std::string JsonArray(const std::vector<std::int32_t>& indexes) {
    return "[" + IndexList(indexes) + "]";
}

} // namespace

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const sim::Utf8Sequence sequence = sim::DecodeUtf8(std::string_view(text).substr(i));
        // A byte that begins no UTF-8 sequence has no character to stand for:
        // it becomes the replacement character, so that the line stays JSON.
        if (sequence.length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        const char32_t c = sequence.codePoint;
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out.append(text, i, sequence.length);
        }
        i += sequence.length;
    }
    return out;
}

std::string Timeline::Prefix(double timeMs, const char* kind) const {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%10.1f ms  %-7s ", timeMs, kind);
    return buf;
}

std::string Timeline::JsonHead(double timeMs, const char* kind) const {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.3f", timeMs);
    return std::string("{\"t_ms\":") + buf + ",\"scenario\":\"" + JsonEscape(mScenario) +
           "\",\"kind\":\"" + kind + "\"";
}

void Timeline::Emit(const std::string& line) {
    // Text goes to a terminal: what the input or the driver wrote is shown,
    // never obeyed. JSON escapes for itself.
    std::fputs(mJson ? line.c_str() : Printable(line).c_str(), mOut);
    std::fputc('\n', mOut);
    std::fflush(mOut);
}

void Timeline::Begin(const std::string& scenario, double timeMs, double timeScale) {
    std::lock_guard guard(mLock);
    mScenario = scenario;
    mSummary = {};
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", timeScale);
    if (mJson) {
        Emit(JsonHead(timeMs, "begin") + ",\"time_scale\":" + scale + "}");
    } else {
        Emit("== scenario " + scenario + "  (times in machine ms; time scale " + scale + ")");
    }
}

void Timeline::Command(double timeMs, const std::string& file, int line, const std::string& text,
                       const std::string& result) {
    std::lock_guard guard(mLock);
    ++mSummary.commands;
    if (mJson) {
        Emit(JsonHead(timeMs, "command") + ",\"file\":\"" + JsonEscape(file) +
             "\",\"line\":" + std::to_string(line) + ",\"command\":\"" + JsonEscape(text) +
             "\",\"result\":\"" + JsonEscape(result) + "\"}");
    } else {
        Emit(Prefix(timeMs, "do") + text + (result.empty() ? "" : "  -> " + result));
    }
}

void Timeline::Completion(double timeMs, const std::string& file, int line, const std::string& text,
                          const std::string& result) {
    std::lock_guard guard(mLock);
    if (mJson) {
        Emit(JsonHead(timeMs, "completion") + ",\"file\":\"" + JsonEscape(file) +
             "\",\"line\":" + std::to_string(line) + ",\"command\":\"" + JsonEscape(text) +
             "\",\"result\":\"" + JsonEscape(result) + "\"}");
    } else {
        Emit(Prefix(timeMs, "done") + text + " (line " + std::to_string(line) + ")  -> " + result);
    }
}

void Timeline::Modem(double timeMs, const std::vector<std::int32_t>& indexes,
                     std::size_t setNumber) {
    std::lock_guard guard(mLock);
    ++mSummary.modemSettings;
    mSummary.lastModem = indexes;
    mSummary.lastModemKnown = true;
    if (mJson) {
        Emit(JsonHead(timeMs, "modem") + ",\"antennas\":" + JsonArray(indexes) +
             ",\"set\":" + std::to_string(setNumber) + "}");
    } else {
        Emit(Prefix(timeMs, "modem") + "antenna back-off indexes " + IndexList(indexes) +
             "  (set #" + std::to_string(setNumber) + ")");
    }
}

void Timeline::Wlan(double timeMs, const WlanEvent& event) {
    std::lock_guard guard(mLock);
    std::string setting = "Enable " + std::to_string(event.enable);
    std::string entries;
    for (const auto& [mask, index] : event.entries) {
        setting += (entries.empty() ? ", entries " : " ") + std::to_string(mask) + ":" +
                   std::to_string(index);
        entries += std::string(entries.empty() ? "" : ",") + "[" + std::to_string(mask) + "," +
                   std::to_string(index) + "]";
    }
    if (event.set) {
        ++mSummary.wlanSettings;
        mSummary.lastWlan = setting;
    }
    if (mJson) {
        Emit(JsonHead(timeMs, "wlan") + ",\"opcode\":" + (event.set ? "1" : "2") +
             ",\"enable\":" + std::to_string(event.enable) + ",\"entries\":[" + entries +
             "],\"bytes\":" + std::to_string(event.bytes) +
             ",\"reply\":" + (event.reply ? std::to_string(*event.reply) : std::string("null")) +
             ",\"result\":" + std::to_string(event.result) +
             ",\"command\":" + std::to_string(event.number) + "}");
        return;
    }
    std::string outcome = event.result != 0 ? "error " + std::to_string(event.result)
                          : !event.set      ? setting
                          : event.reply     ? "reply " + std::to_string(*event.reply)
                                            : "no reply byte";
    Emit(Prefix(timeMs, "wlan") +
         (event.set ? "set " + setting + " (" + std::to_string(event.bytes) + " bytes) -> "
                    : std::string("query -> ")) +
         outcome + "  (command #" + std::to_string(event.number) + ")");
}

void Timeline::Trace(double timeMs, int level, const std::string& file, const std::string& message,
                     bool print, ExpectedMatch expected) {
    std::lock_guard guard(mLock);
    if (level <= 2) {
        ++mSummary.errorTraces;
        mSummary.errorTracesPrinted = mSummary.errorTracesPrinted || print;
    }
    mSummary.expectedErrorTraces[static_cast<std::size_t>(expected.kind)] += expected.count;
    if (!print) {
        return;
    }
    if (mJson) {
        Emit(JsonHead(timeMs, "trace") + ",\"level\":" + std::to_string(level) + ",\"source\":\"" +
             JsonEscape(file) + "\",\"message\":\"" + JsonEscape(message) + "\"}");
    } else {
        Emit(Prefix(timeMs, "trace") + LevelLetter(level) + " " + file + ": " + message);
    }
}

void Timeline::Note(double timeMs, const std::string& text) {
    std::lock_guard guard(mLock);
    if (mJson) {
        Emit(JsonHead(timeMs, "note") + ",\"text\":\"" + JsonEscape(text) + "\"}");
    } else {
        Emit(Prefix(timeMs, "note") + text);
    }
}

void Timeline::CheckHeld(double timeMs, const std::string& file, int line,
                         const std::string& text) {
    std::lock_guard guard(mLock);
    ++mSummary.checksHeld;
    if (mJson) {
        Emit(JsonHead(timeMs, "check") + ",\"file\":\"" + JsonEscape(file) + "\",\"line\":" +
             std::to_string(line) + ",\"check\":\"" + JsonEscape(text) + "\",\"held\":true}");
    } else {
        Emit(Prefix(timeMs, "check") + text + "  ok");
    }
}

void Timeline::CheckFailed(double timeMs, const std::string& file, int line,
                           const std::string& text, const std::string& expected,
                           const std::string& seen) {
    std::lock_guard guard(mLock);
    ++mSummary.checksFailed;
    if (mJson) {
        Emit(JsonHead(timeMs, "check") + ",\"file\":\"" + JsonEscape(file) +
             "\",\"line\":" + std::to_string(line) + ",\"check\":\"" + JsonEscape(text) +
             "\",\"held\":false,\"expected\":\"" + JsonEscape(expected) + "\",\"seen\":\"" +
             JsonEscape(seen) + "\"}");
    } else {
        Emit(Prefix(timeMs, "FAILED") + text);
        Emit(file + ":" + std::to_string(line) + ": check failed: " + text);
        Emit("    expected: " + expected);
        Emit("    seen:     " + seen);
    }
}

void Timeline::End(double timeMs, double realMs, int exitStatus) {
    std::lock_guard guard(mLock);
    const auto& s = mSummary;
    // Passing means some check held: a run that checked nothing says so.
    const bool checked = s.checksHeld + s.checksFailed > 0;
    // A command the host could not carry out (status 2) is no failed check:
    // the run stopped before it could tell.
    const char* verdict = exitStatus == 2   ? "stopped"
                          : exitStatus != 0 ? "failed"
                          : checked         ? "passed"
                                            : "no-checks";
    if (mJson) {
        char times[64];
        std::snprintf(times, sizeof times, "%.3f", realMs);
        Emit(JsonHead(timeMs, "summary") + ",\"real_ms\":" + times + ",\"verdict\":\"" + verdict +
             "\",\"commands\":" + std::to_string(s.commands) + ",\"checks_held\":" +
             std::to_string(s.checksHeld) + ",\"checks_failed\":" + std::to_string(s.checksFailed) +
             ",\"modem_settings\":" + std::to_string(s.modemSettings) +
             ",\"modem\":" + (s.lastModemKnown ? JsonArray(s.lastModem) : std::string("null")) +
             ",\"wlan_settings\":" + std::to_string(s.wlanSettings) +
             ",\"error_traces\":" + std::to_string(s.errorTraces) +
             ",\"expected_error_traces\":" + std::to_string(Total(s.expectedErrorTraces)) +
             ",\"exit\":" + std::to_string(exitStatus) + "}");
        return;
    }
    char times[96];
    std::snprintf(times, sizeof times, "%.1f machine ms (%.1f ms real)", timeMs, realMs);
    // What a newcomer reads first is whether anything went wrong: the other
    // traces, then the ones a sound setup draws as well, by why it draws them.
    const int expected = Total(s.expectedErrorTraces);
    std::string errors = std::to_string(s.errorTraces) + " error trace(s)";
    if (s.errorTraces > 0) {
        const int other = s.errorTraces - expected;
        errors += ": " + std::to_string(other) + " other" +
                  (other > 0 && !s.errorTracesPrinted ? " (--trace error shows them)" : "");
        if (expected > 0) {
            errors += ", " + std::to_string(expected) +
                      " that a sound setup draws too: " + DescribeExpected(s.expectedErrorTraces);
        }
    }
    const char* outcome = exitStatus == 2   ? "STOPPED by a command the host could not carry out"
                          : exitStatus != 0 ? "FAILED"
                          : checked         ? "passed"
                                            : "ran without checks (nothing was verified)";
    Emit("-- " + mScenario + ": " + outcome + " in " + times + "; " + std::to_string(s.commands) +
         " commands, " + std::to_string(s.checksHeld) + " checks held, " +
         std::to_string(s.checksFailed) + " failed; the modem received " +
         std::to_string(s.modemSettings) + " setting(s)" +
         (s.lastModemKnown ? ", last " + IndexList(s.lastModem) : std::string()) +
         (s.wlanSettings > 0 ? "; the WLAN adapter received " + std::to_string(s.wlanSettings) +
                                   " setting(s), last " + s.lastWlan
                             : std::string()) +
         "; " + errors);
}

} // namespace host
