// The WinRT stand-in's asynchronous pattern and activation, as the modem
// channel relies on them.
#include "modem_fixture.h"

#include "platform/sim/kernel.h"
#include "platform/winrt/activation.h"

namespace modem_test {
namespace {

using winrt::Windows::Foundation::AsyncStatus;
using winrt::Windows::Foundation::IAsyncAction;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandModem;
using winrt::Windows::Networking::NetworkOperators::MobileBroadbandSarManager;

using AsyncStandInTest = ModemTest;

MobileBroadbandSarManager SarManagerOfDefaultModem() {
    auto operation = MobileBroadbandModem::GetDefault().GetCurrentConfigurationAsync();
    EXPECT_TRUE(ModemDataNotifier::WaitForAsyncOperation(operation));
    return operation.GetResults().SarManager();
}

TEST_F(AsyncStandInTest, CompletionRunsOnAnotherThreadAndLateHandlersRunAtOnce) {
    sim::modem::Install(1);
    auto manager = SarManagerOfDefaultModem();
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Hold});
    IAsyncAction action = manager.EnableBackoffAsync();

    std::atomic<DWORD> completedOn{0};
    std::atomic<int> status{-1};
    action.Completed([&](const IAsyncAction&, AsyncStatus s) {
        completedOn = GetCurrentThreadId();
        status = static_cast<int>(s);
    });
    EXPECT_EQ(action.Status(), AsyncStatus::Started);
    sim::modem::Release(Step::Enable);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(status.load(), static_cast<int>(AsyncStatus::Completed));
    EXPECT_NE(completedOn.load(), GetCurrentThreadId());
    EXPECT_NO_THROW(action.GetResults());

    IAsyncAction second = manager.EnableBackoffAsync();
    ASSERT_TRUE(sim::Settle());
    DWORD lateOn = 0;
    second.Completed([&](const IAsyncAction&, AsyncStatus) { lateOn = GetCurrentThreadId(); });
    EXPECT_EQ(lateOn, GetCurrentThreadId());
}

TEST_F(AsyncStandInTest, CancelledAndFailedObjectsRaiseFromGetResults) {
    sim::modem::Install(1);
    auto manager = SarManagerOfDefaultModem();

    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Never});
    IAsyncAction never = manager.EnableBackoffAsync();
    EXPECT_THROW(never.Close(), winrt::hresult_error); // still running
    never.Cancel();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(never.Status(), AsyncStatus::Canceled);
    EXPECT_EQ(HRESULT(never.ErrorCode()), HRESULT_ERROR_CANCELLED);
    EXPECT_THROW(never.GetResults(), winrt::hresult_error);
    EXPECT_FALSE(sim::modem::BackoffEnabled());

    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Error, E_ACCESSDENIED});
    IAsyncAction failed = manager.EnableBackoffAsync();
    EXPECT_FALSE(ModemDataNotifier::WaitForAsyncAction(failed));
    EXPECT_EQ(HRESULT(failed.ErrorCode()), E_ACCESSDENIED);
    // A completion handler that cannot be allocated fails the wait, event closed.
    std::size_t handles = sim::kernel::OpenHandleCount();
    sim::ArmFault("make_self", sim::FaultSpec::Once());
    EXPECT_FALSE(ModemDataNotifier::WaitForAsyncAction(failed));
    EXPECT_EQ(sim::kernel::OpenHandleCount(), handles);

    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Never});
    IAsyncAction timedOut = manager.EnableBackoffAsync();
    EXPECT_FALSE(ModemDataNotifier::WaitForAsyncAction(timedOut));
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(timedOut.Status(), AsyncStatus::Canceled);
}

TEST_F(AsyncStandInTest, ActivationNeedsAnApartmentAndHasAFaultPerClass) {
    std::thread outside([] {
        try {
            MobileBroadbandModem::GetDefault();
            ADD_FAILURE() << "activation outside an apartment succeeded";
        } catch (const winrt::hresult_error& error) {
            EXPECT_EQ(HRESULT(error.code()), CO_E_NOTINITIALIZED);
        }
    });
    outside.join();

    sim::ArmFault("RoGetActivationFactory:Windows.Networking.NetworkOperators.MobileBroadbandModem",
                  sim::FaultSpec::Once(E_OUTOFMEMORY));
    EXPECT_THROW(MobileBroadbandModem::GetDefault(), std::bad_alloc);
    EXPECT_FALSE(MobileBroadbandModem::GetDefault()); // no modem installed
}

} // namespace
} // namespace modem_test
