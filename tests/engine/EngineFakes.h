// Test doubles of a channel's sensor providers and notifier. They record what
// the channel worker does to them, in order, into a journal the test owns, so
// that the test can still read it after the handler has deleted them.
#pragma once

#include "halvex/notifier/DataNotifier.h"
#include "halvex/provider/DataProvider.h"
#include "platform/sim/com_apartment.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace halvex::testing {

class Journal {
public:
    void Add(std::string entry) {
        std::lock_guard guard(mLock);
        mEntries.push_back(std::move(entry));
    }
    std::vector<std::string> Entries() const {
        std::lock_guard guard(mLock);
        return mEntries;
    }
    // Position of the last entry equal to `entry`, or -1.
    int LastIndexOf(const std::string& entry) const {
        std::lock_guard guard(mLock);
        auto it = std::find(mEntries.rbegin(), mEntries.rend(), entry);
        return static_cast<int>(mEntries.rend() - it) - 1;
    }

private:
    mutable std::mutex mLock;
    std::vector<std::string> mEntries;
};

// A sensor that changes its reading on the test's command and signals its
// channel, as a real provider does.
class FakeProvider : public DataProvider {
public:
    FakeProvider(HANDLE sensorEvent, Journal& journal, std::string name = "provider")
        : mSensorEvent(sensorEvent), mJournal(journal), mName(std::move(name)) {}

    // A provider may still signal its channel while it is being deleted (its own
    // threads wind down then): the event must still be open.
    ~FakeProvider() override {
        BOOL stillOpen = SetEvent(mSensorEvent);
        mJournal.Add("delete " + mName + (stillOpen ? "" : " (event closed)"));
    }

    bool Start() override {
        ++starts;
        return startResult;
    }
    bool Stop() override {
        ++stops;
        return true;
    }
    bool IsActive() override {
        ++isActiveCalls;
        return ValueOrForcedActive();
    }
    void OnPowerSettingChange(ULONG, const POWERBROADCAST_SETTING*) override {}

    // Changes the reading without telling the channel.
    void SetValue(float value) { mValue = value; }
    // Changes the reading and tells the channel.
    void Report(bool detected) {
        mValue = detected ? 1.0f : 0.0f;
        SetEvent(mSensorEvent);
    }
    void Signal() { SetEvent(mSensorEvent); }

    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    std::atomic<int> isActiveCalls{0};
    bool startResult = true;

private:
    HANDLE mSensorEvent;
    Journal& mJournal;
    std::string mName;
};

// A radio path that records every delivery and can hold the worker inside
// Notify (while `gate`, a manual-reset event, is reset) or fail deliveries.
class FakeNotifier : public DataNotifier {
public:
    struct Call {
        ULONG stateMask;
        LONG backoffIndex;
        DWORD threadId;
        bool inMta;
        int comInitCount;
    };

    explicit FakeNotifier(Journal& journal) : mJournal(journal) {}
    ~FakeNotifier() override { mJournal.Add("delete notifier"); }

    bool Start() override {
        ++starts;
        return true;
    }
    bool Stop() override {
        ++stops;
        return true;
    }
    bool Notify(ULONG stateMask, LONG* backoffIndex) override {
        {
            std::lock_guard guard(mLock);
            mCalls.push_back({stateMask, *backoffIndex, GetCurrentThreadId(),
                              sim::CurrentThreadInMta(), sim::CurrentThreadComInitCount()});
        }
        mJournal.Add("notify");
        if (gate != nullptr) {
            WaitForSingleObject(gate, INFINITE);
        }
        mJournal.Add("notify returns");
        bool fail = alwaysFail.load();
        if (!fail && failuresLeft.load() > 0) {
            --failuresLeft;
            fail = true;
        }
        if (fail) {
            RequestResend();
            return false;
        }
        DeliveryCompleted();
        return true;
    }

    std::size_t CallCount() const {
        std::lock_guard guard(mLock);
        return mCalls.size();
    }
    Call LastCall() const {
        std::lock_guard guard(mLock);
        return mCalls.back();
    }

    HANDLE gate = nullptr;
    std::atomic<bool> alwaysFail{false};
    std::atomic<int> failuresLeft{0};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};

private:
    Journal& mJournal;
    mutable std::mutex mLock;
    std::vector<Call> mCalls;
};

} // namespace halvex::testing
