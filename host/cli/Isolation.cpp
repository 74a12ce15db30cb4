#include "host/cli/Isolation.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <sys/wait.h>
#include <unistd.h>

namespace host {

void ReportOutOfMemoryAtTermination() {
    std::set_terminate([] {
        try {
            if (std::exception_ptr escaped = std::current_exception()) {
                std::rethrow_exception(escaped);
            }
        } catch (const std::bad_alloc&) {
            std::fputs("halvex-host: ran out of memory\n", stderr);
            std::_Exit(2);
        } catch (...) {
        }
        std::abort();
    });
}

int RunGuarded(const std::string& what, const std::function<int()>& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "halvex-host: %s ran out of memory\n", what.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "halvex-host: uncaught exception in %s: %s\n", what.c_str(), e.what());
        return kExitCrashed;
    }
}

int FinishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("halvex-host: standard output could not be written: what was printed is "
                   "not whole\n",
                   stderr);
        return std::max(status, 2);
    }
    return status;
}

int RunIsolated(const std::string& what, const std::function<int()>& work) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "halvex-host: cannot start a process for %s: %s\n", what.c_str(),
                     std::strerror(errno));
        return 2;
    }
    if (child == 0) {
        int status = FinishOutput(RunGuarded(what, work));
        std::fflush(stderr);
        std::exit(status);
    }
    int raw = 0;
    while (waitpid(child, &raw, 0) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "halvex-host: lost the process of %s: %s\n", what.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    if (WIFEXITED(raw)) {
        int status = WEXITSTATUS(raw);
        if (status > 2) {
            std::fprintf(stderr, "halvex-host: %s crashed (it ended with status %d)\n",
                         what.c_str(), status);
            return kExitCrashed;
        }
        return status;
    }
    // A reader that went away (`halvex-host | head`) is not a crash.
    if (WIFSIGNALED(raw) && WTERMSIG(raw) == SIGPIPE) {
        return 1;
    }
    std::fprintf(stderr, "halvex-host: %s crashed (signal %d, %s)\n", what.c_str(), WTERMSIG(raw),
                 strsignal(WTERMSIG(raw)));
    return kExitCrashed;
}

int RunIsolatedForText(const std::string& what, const std::function<int(std::string*)>& work,
                       std::string* result) {
    result->clear();
    // A file, not a pipe: the child may write more than a pipe holds, and the
    // parent starts no thread to drain one (the child must be forked from a
    // process with one thread).
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        std::fprintf(stderr, "halvex-host: cannot start a process for %s: %s\n", what.c_str(),
                     std::strerror(errno));
        return 2;
    }
    int status = RunIsolated(what, [&] {
        std::string out;
        int code = work(&out);
        if (code == 0 && (std::fwrite(out.data(), 1, out.size(), file) != out.size() ||
                          std::fflush(file) != 0)) {
            code = 2;
        }
        return code;
    });
    if (status == 0) {
        std::rewind(file);
        char buf[4096];
        std::size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) {
            result->append(buf, got);
        }
    }
    std::fclose(file);
    return status;
}

} // namespace host
