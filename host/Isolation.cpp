#include "host/Isolation.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace host {

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
        int status = work();
        std::fflush(stdout);
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

} // namespace host
