// A path in the tests' temporary folder that no other process uses: the same
// test may be running at that moment in another build of the project, or in
// another checkout on the same machine.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace halvex::testing {

inline std::string ProcessTempPath(const std::string& name) {
    return ::testing::TempDir() + name + "." + std::to_string(::getpid());
}

} // namespace halvex::testing
