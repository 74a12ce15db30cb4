// One running channel: its sensor providers, mapping table and notifier, and
// the worker thread that turns a change of the sensors into a back-off index.
#pragma once

#include "halvex/driver/Interpreter.h"
#include "halvex/notifier/DataNotifier.h"
#include "halvex/provider/DataProvider.h"
#include "platform/types.h"

#include <list>

class EventHandler {
public:
    // How long Stop waits for the worker, in milliseconds.
    static constexpr DWORD kStopTimeoutMs = 15000;
    // How long the destructor pauses before it waits again for its worker
    // after a failed wait, in milliseconds.
    static constexpr DWORD kRetryWaitMs = 100;

    EventHandler(DataNotifier* notifier, Interpreter* interpreter, ULONG channelType);
    // Waits for a worker that is still running before releasing what it uses.
    ~EventHandler();
    EventHandler(const EventHandler&) = delete;
    EventHandler& operator=(const EventHandler&) = delete;

    // Takes ownership; NULL is ignored. Before Start only.
    void AddSensor(DataProvider* provider);

    HANDLE GetSensorEvent() const { return mSensorEvent; }
    HANDLE GetNotifierEvent() const { return mResendEvent; }
    std::list<DataProvider*> GetSensorList() const { return mSensors; }
    ULONG GetChannelType() const { return mChannelType; }

    // Creates the worker, which holds its first compute until BeginComputing,
    // and starts the providers and the notifier.
    bool Start();
    // Called once every channel has started and the display state has reached
    // the providers: the worker computes once from the providers' states,
    // which covers every signal that came before, then at every signal.
    void BeginComputing();
    void Stop();

private:
    static DWORD WINAPI WorkerThread(LPVOID parameter);
    void RunWorker();
    // False when the worker is to end without computing.
    bool ComputeOnceAllHaveStarted();
    void ComputeAndNotify();
    void StartComponents();
    void StopComponents();
    // Waits for a worker that was given up on by an earlier Stop; true when none is left.
    bool ReapAbandonedWorker(DWORD milliseconds);

    std::list<DataProvider*> mSensors;
    Interpreter* mInterpreter = nullptr;
    DataNotifier* mDataNotifier = nullptr;
    HANDLE mStopEvent = nullptr;
    HANDLE mResendEvent = nullptr;
    HANDLE mSensorEvent = nullptr;
    // Signalled by BeginComputing; waited for before the first compute.
    HANDLE mBeginEvent = nullptr;
    HANDLE mThread = nullptr;
    ULONG mChannelType = 2;
    // Set when Stop gave up waiting: mThread then names a worker that was told to stop.
    bool mWorkerAbandoned = false;
};
