#include "platform/sim/callback_thread.h"

#include "platform/sim/kernel.h"
#include "platform/win32.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

namespace sim {

namespace {
constexpr auto kCallbackBound = std::chrono::seconds(60);
} // namespace

bool RunOnCallbackThread(const char* who, const char* what, const std::function<void()>& body) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    // `body` is borrowed, not moved: it outlives the thread (waited for below)
    // and stays the caller's to run when no thread can be started.
    HANDLE thread = kernel::StartThread(
        [&body, done]() -> DWORD {
            body();
            done->set_value();
            return 0;
        },
        nullptr);
    if (thread == nullptr) {
        return false;
    }
    if (finished.wait_for(kCallbackBound) != std::future_status::ready) {
        std::fprintf(stderr, "%s: %s did not return within %lld s\n", who, what,
                     static_cast<long long>(kCallbackBound.count()));
        std::abort();
    }
    // The thread has ended once its handle is signalled: nothing of it is left.
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}

} // namespace sim
