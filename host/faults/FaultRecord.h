// What one run of a scenario leaves for the fault runner (host/faults/FaultRunner.h)
// to judge: the error traces it drew, the first check that failed or command
// that stopped it, the mapping tables the driver built, the radios' initial
// and final indexes, what was left after unload, and the fault points it
// reached. The run writes it to the file of --fault-record.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct FaultRecord {
    int status = 0;           // the scenario's exit status
    bool faultFailed = false; // the call of --fault was reached and failed
    // "file: message" at error level or worse, with the number of the
    // scenario's command under way (from 1; 0 before the first).
    std::vector<std::pair<int, std::string>> errorTraces;
    std::string failure; // "file:line: text (what was seen)", or empty
    int failureCommand = 0;
    std::set<std::int32_t> modemTable;                    // every index of a MODEM channel's table
    std::set<std::int32_t> wlanTable;                     // every index of a WLAN channel's table
    std::set<std::int32_t> modemInitial;                  // what `modem antennas` set up
    std::optional<std::vector<std::int32_t>> modemFinal;  // none: no modem at the end
    std::vector<std::int32_t> wlanFinal;                  // the WLAN adapter's entries at the end
    std::string leaks;                                    // the leak report after unload
    std::string endError;                                 // removal or unload at the end went wrong
    std::vector<std::pair<std::string, unsigned>> points; // reached, with their calls
};

bool WriteFaultRecord(const std::string& path, const FaultRecord& record);
std::optional<FaultRecord> ReadFaultRecord(const std::string& path);

} // namespace host
