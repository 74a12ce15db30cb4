// The timeline a run prints: one line per thing that happened (a command and
// its result, a setting that reached the modem, a trace message, a check),
// as readable text or as JSON Lines for tools. Lines may come from the driver's
// threads (trace messages), so printing is serialised.
#pragma once

#include "host/scenario/ExpectedTraces.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct TimelineSummary {
    int commands = 0;
    int checksHeld = 0;
    int checksFailed = 0;
    int modemSettings = 0;
    int errorTraces = 0;
    bool errorTracesPrinted = false;      // whether the timeline showed them
    ExpectedCounts expectedErrorTraces{}; // of errorTraces, by kind
    std::vector<std::int32_t> lastModem;  // empty when nothing reached the modem
    bool lastModemKnown = false;
    int wlanSettings = 0;
    std::string lastWlan; // "Enable 1, entries 1:3", empty when none
};

// A command the WLAN adapter received.
struct WlanEvent {
    bool set = true; // a setting (opcode 1), else a query (opcode 2)
    std::uint32_t enable = 0;
    std::vector<std::pair<std::uint32_t, std::int32_t>> entries; // mask, index
    std::size_t bytes = 0;
    std::optional<std::uint8_t> reply; // a setting's reply byte, none when it had none
    std::uint32_t result = 0;          // the call's Win32 result
    std::size_t number = 0;            // the adapter's count of commands, this one included
};

class Timeline {
public:
    Timeline(std::FILE* out, bool json) : mOut(out), mJson(json) {}

    // Times on the timeline are machine milliseconds; the header says so, and
    // at which time scale they pass.
    void Begin(const std::string& scenario, double timeMs, double timeScale);
    // A command with what came of it ("-> 0x00000000 (success), 8 bytes").
    void Command(double timeMs, const std::string& file, int line, const std::string& text,
                 const std::string& result);
    // A command whose result came after later commands (an IOCTL held while
    // the device was out of D0).
    void Completion(double timeMs, const std::string& file, int line, const std::string& text,
                    const std::string& result);
    void Modem(double timeMs, const std::vector<std::int32_t>& indexes, std::size_t setNumber);
    void Wlan(double timeMs, const WlanEvent& event);
    // Every message counts for the summary; only `print`ed ones get a line.
    // `expected` error traces are counted apart, by kind.
    void Trace(double timeMs, int level, const std::string& file, const std::string& message,
               bool print, ExpectedMatch expected = {});
    void Note(double timeMs, const std::string& text);
    void CheckHeld(double timeMs, const std::string& file, int line, const std::string& text);
    void CheckFailed(double timeMs, const std::string& file, int line, const std::string& text,
                     const std::string& expected, const std::string& seen);
    // `timeMs` in machine time, `realMs` as the wall clock saw it.
    void End(double timeMs, double realMs, int exitStatus);

    const TimelineSummary& Summary() const { return mSummary; }

private:
    void Emit(const std::string& line);
    std::string Prefix(double timeMs, const char* kind) const;
    std::string JsonHead(double timeMs, const char* kind) const;

    std::mutex mLock;
    std::FILE* mOut;
    bool mJson;
    std::string mScenario;
    TimelineSummary mSummary;
};

std::string JsonEscape(const std::string& text);

} // namespace host
