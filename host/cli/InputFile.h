// Reading the files a user hands the host (scenarios, .reg configurations):
// whole, but never more than kMaxInputFile bytes, so that a device or a
// runaway file (/dev/zero, a log taken for a scenario) is refused instead of
// filling the memory.
#pragma once

#include <string>

namespace host {

// The file's bytes in `text`; an empty string, or what is wrong with the file
// ("cannot read the file (Is a directory)", "larger than ...") without its path.
std::string ReadInputFile(const std::string& path, std::string* text);

} // namespace host
