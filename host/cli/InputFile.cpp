#include "host/cli/InputFile.h"
#include "host/cli/Limits.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace host {

std::string ReadInputFile(const std::string& path, std::string* text) {
    text->clear();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        return std::string("cannot read the file (") + std::strerror(errno) + ")";
    }
    // Read in pieces up to one byte past the limit: the size a device or a
    // pipe reports says nothing, and a directory opens but does not read.
    char buffer[65536];
    while (text->size() <= kMaxInputFile) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        text->append(buffer, got);
        if (got < sizeof buffer) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        int error = errno;
        text->clear();
        return std::string("cannot read the file (") + std::strerror(error) + ")";
    }
    if (text->size() > kMaxInputFile) {
        text->clear();
        return std::string("the file is larger than ") + kMaxInputFileText +
               ", the most the host reads";
    }
    return {};
}

} // namespace host
