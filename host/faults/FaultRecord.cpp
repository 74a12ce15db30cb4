#include "host/faults/FaultRecord.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace host {
namespace {

// One value a line: newlines and backslashes escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[++i] == 'n' ? '\n' : text[i];
        } else {
            out += text[i];
        }
    }
    return out;
}

template <typename Container> std::string Numbers(const Container& numbers) {
    std::string out;
    for (auto n : numbers) {
        out += (out.empty() ? "" : " ") + std::to_string(n);
    }
    return out;
}

std::vector<std::int32_t> ReadNumbers(const std::string& text) {
    std::vector<std::int32_t> numbers;
    std::istringstream in(text);
    long long n = 0;
    while (in >> n) {
        numbers.push_back(static_cast<std::int32_t>(n));
    }
    return numbers;
}

} // namespace

bool WriteFaultRecord(const std::string& path, const FaultRecord& r) {
    std::ofstream out(path, std::ios::trunc);
    out << "status " << r.status << "\nfailed " << (r.faultFailed ? 1 : 0) << "\n";
    for (const auto& [command, e] : r.errorTraces) {
        out << "error " << command << " " << Escaped(e) << "\n";
    }
    out << "failure-command " << r.failureCommand << "\nfailure " << Escaped(r.failure)
        << "\nmodem-table " << Numbers(r.modemTable) << "\nwlan-table " << Numbers(r.wlanTable)
        << "\nmodem-initial " << Numbers(r.modemInitial) << "\n";
    if (r.modemFinal) {
        out << "modem-final " << Numbers(*r.modemFinal) << "\n";
    }
    out << "wlan-final " << Numbers(r.wlanFinal) << "\nleaks " << Escaped(r.leaks) << "\nend-error "
        << Escaped(r.endError) << "\n";
    for (const auto& [point, calls] : r.points) {
        out << "point " << calls << " " << Escaped(point) << "\n";
    }
    out.flush();
    return static_cast<bool>(out);
}

namespace {

// Fills `r` from a record's lines; true once its last line was read.
bool ReadLines(std::istream& in, FaultRecord& r) {
    std::string line;
    bool complete = false;
    while (std::getline(in, line)) {
        std::size_t space = line.find(' ');
        std::string key = line.substr(0, space);
        std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        auto numbers = [&] { return ReadNumbers(value); };
        if (key == "status") {
            r.status = std::stoi(value);
        } else if (key == "failed") {
            r.faultFailed = value == "1";
        } else if (key == "error") {
            std::size_t at = value.find(' ');
            r.errorTraces.emplace_back(std::stoi(value.substr(0, at)),
                                       Unescaped(value.substr(at + 1)));
        } else if (key == "failure-command") {
            r.failureCommand = std::stoi(value);
        } else if (key == "failure") {
            r.failure = Unescaped(value);
        } else if (key == "modem-table") {
            auto n = numbers();
            r.modemTable.insert(n.begin(), n.end());
        } else if (key == "wlan-table") {
            auto n = numbers();
            r.wlanTable.insert(n.begin(), n.end());
        } else if (key == "modem-initial") {
            auto n = numbers();
            r.modemInitial.insert(n.begin(), n.end());
        } else if (key == "modem-final") {
            r.modemFinal = numbers();
        } else if (key == "wlan-final") {
            r.wlanFinal = numbers();
        } else if (key == "leaks") {
            r.leaks = Unescaped(value);
        } else if (key == "end-error") {
            r.endError = Unescaped(value);
            complete = true;
        } else if (key == "point") {
            std::size_t at = value.find(' ');
            r.points.emplace_back(Unescaped(value.substr(at + 1)),
                                  static_cast<unsigned>(std::stoul(value.substr(0, at))));
        }
    }
    return complete;
}

} // namespace

std::optional<FaultRecord> ReadFaultRecord(const std::string& path) {
    std::ifstream in(path);
    FaultRecord r;
    // A record cut short (a run that could not finish writing it) is no
    // record: the runner says so instead of ending on a number it cannot read.
    try {
        if (!ReadLines(in, r)) {
            return std::nullopt;
        }
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
    return r;
}

} // namespace host
