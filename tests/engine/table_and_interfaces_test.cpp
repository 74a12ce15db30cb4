// The mapping table, the resend budget of the notifier interface and the
// activity rule of the provider interface.
#include "halvex/driver/Interpreter.h"
#include "tests/engine/EngineFakes.h"
#include "tests/support/MachineTest.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using halvex::testing::FakeNotifier;
using halvex::testing::FakeProvider;
using halvex::testing::Journal;
using halvex::testing::MachineTest;

TEST(InterpreterTable, ExactLookupWithTheLastEntryForAMaskWinning) {
    Interpreter table;
    LONG index = 99;
    EXPECT_FALSE(table.GetBackoffIndex(0, &index));
    EXPECT_EQ(index, -1);

    table.SetMapping(0, -1);
    table.SetMapping(1, 3);
    table.SetMapping(1, 7);
    index = 99;
    EXPECT_TRUE(table.GetBackoffIndex(0, &index));
    EXPECT_EQ(index, -1);
    EXPECT_TRUE(table.GetBackoffIndex(1, &index));
    EXPECT_EQ(index, 7);
    index = 99;
    EXPECT_FALSE(table.GetBackoffIndex(2, &index));
    EXPECT_EQ(index, -1);
}

// Exposes the protected delivery helpers the way an implementation uses them.
class ProtocolNotifier : public FakeNotifier {
public:
    using DataNotifier::DeliveryCompleted;
    using DataNotifier::RequestResend;
    using FakeNotifier::FakeNotifier;
};

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

class ResendBudget : public MachineTest {};

TEST_F(ResendBudget, FiveResendsThenTheBudgetIsRestoredWithoutOne) {
    Journal journal;
    ProtocolNotifier notifier(journal);
    HANDLE resend = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    notifier.ResendDataEvent = resend;
    EXPECT_EQ(notifier.mRetryCount, 5);
    for (LONG left = 4; left >= 0; --left) {
        EXPECT_TRUE(notifier.RequestResend());
        EXPECT_EQ(notifier.mRetryCount, left);
        EXPECT_EQ(WaitForSingleObject(resend, 0), WAIT_OBJECT_0);
    }
    EXPECT_FALSE(notifier.RequestResend());
    EXPECT_EQ(notifier.mRetryCount, 5);
    EXPECT_EQ(WaitForSingleObject(resend, 0), WAIT_TIMEOUT);

    notifier.RequestResend();
    notifier.RequestResend();
    notifier.DeliveryCompleted();
    EXPECT_EQ(notifier.mRetryCount, 5);

    // Without an event nothing is requested and the budget is not spent.
    notifier.ResendDataEvent = nullptr;
    EXPECT_FALSE(notifier.RequestResend());
    EXPECT_EQ(notifier.mRetryCount, 5);
    CloseHandle(resend);
}

class ProviderActivity : public MachineTest {};

TEST_F(ProviderActivity, AReadingStrictlyAboveZeroOrTheDisplayForcesActivity) {
    Journal journal;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    {
        FakeProvider provider(event, journal);
        EXPECT_EQ(provider.mDisplayState.load(), 3);
        EXPECT_TRUE(provider.IsActive()); // no reading yet counts as detected
        for (float value : {0.0f, -1.0f, -0.0f, std::nanf("")}) {
            provider.SetValue(value);
            EXPECT_FALSE(provider.IsActive()) << value;
        }
        provider.SetValue(0.5f);
        EXPECT_TRUE(provider.IsActive());
        provider.SetValue(0.0f);
        provider.mForcedActive = 1;
        EXPECT_TRUE(provider.IsActive());
        provider.mForcedActive = 0;
        EXPECT_FALSE(provider.IsActive());
    }
    CloseHandle(event);
}

} // namespace
