// The error traces a sound setup draws from the driver. Reading a value the
// configuration leaves out (the driver takes its default) traces three
// errors, and asking a string value for its size traces one; a configuration
// without WLAN channels leaves WlanAntCount at 0, which the driver reports
// once; a machine without a provisioning file makes each D0 entry of a WLAN
// channel report an empty folder (the channel then sends without a periodic
// refresh); a proximity reading while the display is off is kept until it
// comes on, and traced. They stay as the driver writes them; the host counts them apart,
// by kind, so that a summary's count of other error traces means something.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace host {

enum class ExpectedKind {
    ConfigurationRead, // a value left out, or a string's size query
    NoWlanChannel,     // WlanAntCount 0
    NoProvisioningFile,
    ReadingWhileDisplayOff,
};
inline constexpr std::size_t kExpectedKinds = 4;

// How many traces of each kind.
using ExpectedCounts = std::array<int, kExpectedKinds>;

// What one error trace settled: `count` traces (it and the ones held back
// before it on the same thread) are now known to be of `kind`.
struct ExpectedMatch {
    int count = 0;
    ExpectedKind kind = ExpectedKind::ConfigurationRead;
};

class ExpectedTraces {
public:
    // Feeds one error trace (level 2 or more severe) in the order it was
    // recorded.
    ExpectedMatch Observe(std::uint32_t thread, std::string_view file, std::string_view message);

private:
    // Per thread: how far an absent-value read has come (0 none, 1 the
    // framework's failed query, 2 the reader's failed read).
    std::map<std::uint32_t, int> mChain;
};

int Total(const ExpectedCounts& counts);
// "28 reading the configuration, 1 WlanAntCount 0 (no WLAN channel)": the
// kinds that occurred, for a summary line.
std::string DescribeExpected(const ExpectedCounts& counts);

} // namespace host
