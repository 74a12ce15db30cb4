// The framework stand-in and the framework's verifier report misuse (a request
// deleted in flight, a stale handle, a damaged buffer) with a line to the
// debugger, most of them with a break. Such a report fails the test that drew
// it unless the test named it beforehand: a misuse that only a test looking
// for it would notice is caught by every test.
#pragma once

#include "platform/sim/debugger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvex::testing {

class DebuggerReports {
public:
    // The test means to draw reports whose line contains `text`, and the
    // breaks that come with them.
    void Expect(std::string text) { mExpected.push_back(std::move(text)); }
    void Forget() { mExpected.clear(); }

    // Fails the running test for every line that no expected text names, and
    // for a break beyond the named lines (a break comes with its line).
    void Check() const {
        unsigned named = 0;
        for (const std::string& line : sim::DebuggerOutput()) {
            if (Named(line)) {
                ++named;
            } else {
                ADD_FAILURE() << "a report the test did not expect: " << line;
            }
        }
        EXPECT_LE(sim::DebugBreakCount(), named) << "a debugger break the test did not expect";
    }

private:
    bool Named(const std::string& line) const {
        for (const std::string& text : mExpected) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::vector<std::string> mExpected;
};

} // namespace halvex::testing
