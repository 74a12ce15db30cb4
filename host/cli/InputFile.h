// The files a user names to the host. Those it reads (scenarios, .reg
// configurations) are read whole, but never more than kMaxInputFile bytes;
// every one, read or written, must be a regular file, which is found out
// without waiting on it: a FIFO would keep the host waiting for a writer (or
// a reader) that never comes, and a device such as /dev/zero never ends.
#pragma once

#include <string>

namespace host {

// The file's bytes in `text`; an empty string, or what is wrong with the file
// ("it is a FIFO (named pipe), not a regular file", "cannot read the file
// (No such file or directory)", "larger than ...") without its path.
std::string ReadInputFile(const std::string& path, std::string* text);

// Creates `path` as an empty regular file, or empties the regular file that is
// there; an empty string, or what keeps it from being one, without its path.
std::string CreateOutputFile(const std::string& path);

// Empty when `path` is a regular file (through symbolic links), else what it
// is or why it cannot be looked at, without its path.
std::string RegularFileProblem(const std::string& path);

} // namespace host
