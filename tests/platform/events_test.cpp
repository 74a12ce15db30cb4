#include "platform/sim/clock.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

TEST(Events, LowestSignalledIndexWinsAndOnlyThatAutoResetEventIsConsumed) {
    HANDLE events[3];
    for (auto& event : events) {
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
    }
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    for (auto event : events) {
        EXPECT_TRUE(CloseHandle(event));
    }
}

} // namespace
