// What ends the work the host runs, in its own process or in a child: an
// exception is reported and turned into a status, never an abort.
#include "host/Isolation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>

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

TEST(Isolation, AnExceptionOfTheWorkBecomesAStatusWithAMessage) {
    for (const Row& row : kRows) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(RunGuarded("the work", row.work), row.status) << row.name;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(row.message), std::string::npos) << row.name << ": " << err;
    }
}

TEST(Isolation, AChildEndsWithTheSameStatusAndAKilledOneIsACrash) {
    for (const Row& row : kRows) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(RunIsolated("the work", row.work), row.status) << row.name;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(row.message), std::string::npos) << row.name << ": " << err;
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunIsolated("the work", []() -> int { std::abort(); }), kExitCrashed);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("the work crashed (signal 6"),
              std::string::npos);
}

} // namespace
} // namespace host
