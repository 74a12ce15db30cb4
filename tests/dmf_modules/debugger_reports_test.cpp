// The check every module, target and framework test ends with: a report of
// misuse that the test drew fails it unless the test named the report first.
#include "platform/wdf.h"
#include "tests/support/MachineTest.h"
#include "tests/support/debugger_reports.h"

#include <gtest/gtest-spi.h>

namespace moduletest {
namespace {

// Deletes a handle that names no object, which the stand-in reports, and
// breaks (as the stand-in does for some reports) or not, then checks with
// `named` (or nothing) expected.
void StaleHandleDeleted(const char* named, bool withBreak = false) {
    halvex::testing::DebuggerReports reports;
    if (named != nullptr) {
        reports.Expect(named);
    }
    WdfObjectDelete(reinterpret_cast<WDFOBJECT>(0x10));
    if (withBreak) {
        DebugBreak();
    }
    reports.Check();
    sim::ClearDebugger();
}

void BreakWithoutALine() {
    halvex::testing::DebuggerReports reports;
    reports.Expect("WdfObjectDelete");
    DebugBreak();
    reports.Check();
    sim::ClearDebugger();
}

using DebuggerReportsTest = halvex::testing::MachineTest;

TEST_F(DebuggerReportsTest, AReportOrABreakTheTestDidNotNameFailsIt) {
    EXPECT_NONFATAL_FAILURE(StaleHandleDeleted(nullptr),
                            "a report the test did not expect: WDF: WdfObjectDelete");
    EXPECT_NONFATAL_FAILURE(StaleHandleDeleted("WdfObjectCreate"),
                            "a report the test did not expect");
    EXPECT_NONFATAL_FAILURE(BreakWithoutALine(), "a debugger break the test did not expect");
    StaleHandleDeleted("WdfObjectDelete: invalid handle", true);
}

} // namespace
} // namespace moduletest
