// The mapping table's lookup, the slot order of the channel's interfaces and
// the notifier's resend budget.
#include "halvex/driver/Interpreter.h"
#include "tests/engine/EngineFakes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

using halvex::testing::FakeNotifier;
using halvex::testing::Journal;

// The table slot of a virtual operation: the ABI encodes a pointer to a virtual
// member as 1 plus the slot's byte offset.
template <typename Member> std::size_t Slot(Member member) {
    std::uintptr_t encoded = 0;
    std::memcpy(&encoded, &member, sizeof(encoded));
    return (encoded - 1) / sizeof(void*);
}

TEST(InterfaceSlots, TheOperationsComeFirstAndTheDestructorLast) {
    EXPECT_EQ(Slot(&DataNotifier::Start), 0u);
    EXPECT_EQ(Slot(&DataNotifier::Stop), 1u);
    EXPECT_EQ(Slot(&DataNotifier::Notify), 2u);
    EXPECT_EQ(Slot(&DataProvider::Start), 0u);
    EXPECT_EQ(Slot(&DataProvider::Stop), 1u);
    EXPECT_EQ(Slot(&DataProvider::IsActive), 2u);
    EXPECT_EQ(Slot(&DataProvider::OnPowerSettingChange), 3u);
}

class ResendingNotifier : public FakeNotifier {
public:
    using DataNotifier::RequestResend;
    using FakeNotifier::FakeNotifier;
};

TEST(ResendBudget, FiveResendsThenNoneWithTheBudgetWholeAgain) {
    Journal journal;
    ResendingNotifier notifier(journal);
    HANDLE resend = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    notifier.ResendDataEvent = resend;
    for (LONG left = 4; left >= 0; --left) {
        EXPECT_TRUE(notifier.RequestResend());
        EXPECT_EQ(notifier.mRetryCount, left);
        EXPECT_EQ(WaitForSingleObject(resend, 0), WAIT_OBJECT_0);
    }
    EXPECT_FALSE(notifier.RequestResend());
    EXPECT_EQ(notifier.mRetryCount, DataNotifier::kRetryBudget);
    EXPECT_EQ(WaitForSingleObject(resend, 0), WAIT_TIMEOUT);
    CloseHandle(resend);

    // Without an event nothing is requested and nothing spent.
    for (HANDLE event : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
        notifier.ResendDataEvent = event;
        EXPECT_FALSE(notifier.RequestResend());
        EXPECT_EQ(notifier.mRetryCount, DataNotifier::kRetryBudget);
    }
}

TEST(InterpreterTable, OnlyAMaskInTheTableHasAnIndex) {
    Interpreter table;
    table.SetMapping(1, 7);
    LONG index = 99;
    EXPECT_FALSE(table.GetBackoffIndex(0, &index));
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(table.GetBackoffIndex(1, &index));
    EXPECT_EQ(index, 7);
}

} // namespace
