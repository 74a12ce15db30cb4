// What ends the work the host runs, in its own process or in a child: an
// exception is reported and turned into a status, never an abort.
#include "host/cli/Isolation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <thread>

namespace host {
namespace {

struct Row {
    const char* name;
    std::function<int()> work;
    int status;
    const char* message; // on stderr; empty: none
};

const Row kRows[] = {
    {"a status", [] { return 1; }, 1, ""},
    {"out of memory", []() -> int { throw std::bad_alloc(); }, 2, "the work ran out of memory"},
    {"another exception", []() -> int { throw std::runtime_error("boom"); }, kExitCrashed,
     "uncaught exception in the work: boom"},
};

// Here and now, or in a child process: the same status and message.
TEST(Isolation, AnExceptionOfTheWorkBecomesAStatusWithAMessageInTheProcessOrAChild) {
    for (auto run : {&RunGuarded, &RunIsolated}) {
        for (const Row& row : kRows) {
            ::testing::internal::CaptureStderr();
            EXPECT_EQ(run("the work", row.work), row.status) << row.name;
            std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_NE(err.find(row.message), std::string::npos) << row.name << ": " << err;
        }
    }
}

TEST(Isolation, AChildThatDiesIsACrash) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunIsolated("the work", []() -> int { std::abort(); }), kExitCrashed);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("the work crashed (signal 6"),
              std::string::npos);
}

// An exception that escapes another thread ends the process through
// termination: out of memory there too is a status and a message.
TEST(IsolationDeathTest, OutOfMemoryOnAnyThreadEndsTheProcessWithStatus2) {
    EXPECT_EXIT(
        {
            ReportOutOfMemoryAtTermination();
            std::thread([] { throw std::bad_alloc(); }).join();
        },
        ::testing::ExitedWithCode(2), "halvex-host: ran out of memory");
}

} // namespace
} // namespace host
