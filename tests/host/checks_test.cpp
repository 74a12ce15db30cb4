// The checks against the simulated machine alone (no driver loaded): what each
// compares, and how long WaitForCheck waits for it.
#include "host/machine/Machine.h"
#include "host/scenario/Checks.h"

#include "platform/sim/modem.h"
#include "platform/sim/trace_recorder.h"
#include "platform/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace host {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class ChecksTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::modem::Reset();
        sim::ClearTrace();
        sim::SetTraceLevel(5);
    }
    void TearDown() override { sim::modem::Reset(); }

    static Command Check(Op op) {
        Command c;
        c.op = op;
        return c;
    }

    Machine mMachine{""};
    LastResults mLast;
};

TEST_F(ChecksTest, IoctlChecksCompareTheLastRequestAndNeverWait) {
    Command status = Check(Op::ExpectStatus);
    status.a = 0xC0000023u;
    CheckOutcome none = EvaluateCheck(status, mMachine, mLast);
    EXPECT_FALSE(none.held);
    EXPECT_TRUE(none.final);
    EXPECT_EQ(none.seen, "no IOCTL has been sent");

    mLast.ioctl = IoOutcome{0xC0000023u, 0, {}};
    EXPECT_TRUE(EvaluateCheck(status, mMachine, mLast).held);

    mLast.ioctl = IoOutcome{0, 8, {1, 0, 0, 0, 1, 0, 0, 0, 0xAA}};
    Command output = Check(Op::ExpectOutput);
    output.bytes = {1, 0, 0, 0, 1};
    EXPECT_TRUE(EvaluateCheck(output, mMachine, mLast).held);
    // Bytes past the returned count are not output.
    output.bytes = {1, 0, 0, 0, 1, 0, 0, 0, 0xAA};
    CheckOutcome beyond = EvaluateCheck(output, mMachine, mLast);
    EXPECT_FALSE(beyond.held);
    EXPECT_EQ(beyond.seen, "output 0100000001000000");
    EXPECT_EQ(EvaluateCheck(status, mMachine, mLast).seen, "IOCTL status 0x00000000 (success)");
}

TEST_F(ChecksTest, AWaitEndsWhenTheCheckHoldsOrCanNeverHoldAndOtherwiseAtTheBound) {
    Command trace = Check(Op::ExpectTrace);
    trace.word = "late arrival";
    std::thread later([] {
        std::this_thread::sleep_for(milliseconds(50));
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "Something %s", "late arrival");
    });
    int polls = 0;
    CheckOutcome outcome =
        WaitForCheck(trace, mMachine, mLast, milliseconds(5000), [&] { ++polls; });
    later.join();
    EXPECT_TRUE(outcome.held);
    EXPECT_GE(polls, 1);

    // A trace that is there stays there: no-trace fails at once.
    Command absent = Check(Op::ExpectNoTrace);
    absent.word = "late arrival";
    auto begin = Clock::now();
    outcome = WaitForCheck(absent, mMachine, mLast, milliseconds(5000), nullptr);
    EXPECT_FALSE(outcome.held);
    EXPECT_LT(Clock::now() - begin, milliseconds(2000));
    EXPECT_NE(outcome.seen.find("Something late arrival"), std::string::npos) << outcome.seen;

    trace.word = "never traced";
    begin = Clock::now();
    outcome = WaitForCheck(trace, mMachine, mLast, milliseconds(100), nullptr);
    EXPECT_FALSE(outcome.held);
    EXPECT_GE(Clock::now() - begin, milliseconds(100));
    EXPECT_LT(Clock::now() - begin, milliseconds(3000));
}

// Once the recorder has dropped records, a search that finds nothing proves
// nothing: both trace checks say so instead of passing on lost evidence.
TEST_F(ChecksTest, TraceChecksThatFindNothingFailOnceRecordsWereDropped) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "the oldest record");
    for (std::size_t i = 0; i < sim::kTraceCapacity; ++i) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "filler");
    }
    ASSERT_EQ(sim::TraceDropped(), 1u);
    struct Row {
        Op op;
        const char* word;
        bool held;
    };
    for (const Row& row :
         {Row{Op::ExpectNoTrace, "the oldest record", false},
          Row{Op::ExpectNoTrace, "never traced", false},
          Row{Op::ExpectTrace, "the oldest record", false}, Row{Op::ExpectTrace, "filler", true}}) {
        Command c = Check(row.op);
        c.word = row.word;
        CheckOutcome outcome = EvaluateCheck(c, mMachine, mLast);
        EXPECT_EQ(outcome.held, row.held) << row.word;
        EXPECT_EQ(outcome.seen.find("records were dropped") != std::string::npos, !row.held)
            << outcome.seen;
    }
    sim::ClearTrace();
    EXPECT_EQ(sim::TraceDropped(), 0u);
    Command none = Check(Op::ExpectNoTrace);
    none.word = "the oldest record";
    EXPECT_TRUE(EvaluateCheck(none, mMachine, mLast).held);
}

// Before any device add the checks that ask the driver's device agree: none
// holds, and each says there is no device, whether or not a modem is there.
TEST_F(ChecksTest, WithoutADeviceTheDeviceChecksSayThereIsNone) {
    Command channels = Check(Op::ExpectChannels);
    Command modem = Check(Op::ExpectModem);
    modem.indexes = {0, 0};
    Command enabled = Check(Op::ExpectModemEnabled);
    for (bool withModem : {false, true}) {
        if (withModem) {
            sim::modem::Install(2, 0);
        }
        for (const Command& check : {channels, modem, enabled}) {
            CheckOutcome outcome = EvaluateCheck(check, mMachine, mLast);
            EXPECT_FALSE(outcome.held) << static_cast<int>(check.op);
            EXPECT_TRUE(outcome.final) << "no device comes by waiting";
            EXPECT_EQ(outcome.seen, "no device: none has been added (use add first)");
        }
    }
    Command add = Check(Op::ExpectAdd);
    CheckOutcome outcome = EvaluateCheck(add, mMachine, mLast);
    EXPECT_FALSE(outcome.held);
    EXPECT_TRUE(outcome.final);
    EXPECT_EQ(outcome.seen, "no device add has run");
}

} // namespace
} // namespace host
