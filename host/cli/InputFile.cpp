#include "host/cli/InputFile.h"
#include "host/cli/Limits.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace {

// Closes the descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : mFd(fd) {}
    ~Descriptor() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

std::string Failed(const char* what, int error) {
    return std::string(what) + " (" + std::strerror(error) + ")";
}

// What a file that is not a regular one is, for the message that refuses it.
std::string NotRegular(mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a FIFO (named pipe)"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "a special file";
    return std::string("it is ") + kind + ", not a regular file";
}

// The kind of what `path` names, when it exists and is not a regular file:
// a socket cannot be opened at all, and a FIFO without a reader cannot be
// opened for writing, so the name says what the open would not.
std::string KindProblem(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return NotRegular(st.st_mode);
    }
    return {};
}

// Opens without blocking (a FIFO opens at once with O_NONBLOCK, and a
// regular file reads as it would without it), then asks the open file what
// it is: the file looked at is the one read, whatever a link pointed to.
std::string OpenRegular(const std::string& path, int flags, const char* cannot, int* fd) {
    *fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (*fd < 0) {
        const int error = errno;
        std::string kind = KindProblem(path);
        return kind.empty() ? Failed(cannot, error) : kind;
    }
    struct stat st {};
    if (fstat(*fd, &st) != 0) {
        return Failed(cannot, errno);
    }
    return S_ISREG(st.st_mode) ? std::string() : NotRegular(st.st_mode);
}

} // namespace

std::string ReadInputFile(const std::string& path, std::string* text) {
    text->clear();
    int raw = -1;
    std::string problem = OpenRegular(path, O_RDONLY, "cannot read the file", &raw);
    Descriptor fd(raw);
    if (!problem.empty()) {
        return problem;
    }
    // Read in pieces up to one byte past the limit: a file may grow while it
    // is read.
    char buffer[65536];
    while (text->size() <= kMaxInputFile) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            text->clear();
            return Failed("cannot read the file", error);
        }
        if (got == 0) {
            break;
        }
        text->append(buffer, static_cast<std::size_t>(got));
    }
    if (text->size() > kMaxInputFile) {
        text->clear();
        return std::string("the file is larger than ") + kMaxInputFileText +
               ", the most the host reads";
    }
    return {};
}

std::string CreateOutputFile(const std::string& path) {
    int raw = -1;
    std::string problem =
        OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC, "cannot create the file", &raw);
    Descriptor fd(raw);
    return problem;
}

std::string RegularFileProblem(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return Failed("cannot find the file", errno);
    }
    return S_ISREG(st.st_mode) ? std::string() : NotRegular(st.st_mode);
}

} // namespace host
