// The error traces a sound configuration draws from the driver: reading a
// value the configuration leaves out (the driver takes its default) traces
// three errors, and asking a string value for its size traces one. They stay
// as the driver writes them; the host counts them apart, so that a summary's
// error count means something.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>

namespace host {

class ExpectedTraces {
public:
    // Feeds one error trace (level 2 or more severe) in the order it was
    // recorded; returns how many traces, this one and the ones held back
    // before it on the same thread, are now known to be expected.
    int Observe(std::uint32_t thread, std::string_view file, std::string_view message);

private:
    // Per thread: how far an absent-value read has come (0 none, 1 the
    // framework's failed query, 2 the reader's failed read).
    std::map<std::uint32_t, int> mChain;
};

} // namespace host
