// The provider of an SLPI sensor: the SAR sensor of the SoC's low-power sensor
// hub. It opens an HMCI client on the hub's sensor client service, finds the
// SAR sensor through the hub's SUID lookup, asks for its attributes and
// subscribes to its on-change reports; the first value of each report is the
// sensor's value. While the display is off the client is released and the
// sensor counts as active; a service error re-opens the client. While the
// service is away the worker waits for it, and a sensor that has had no
// client configured for reports for longer than a wait, display changes and
// power transitions included, counts as detected until it reports again; so
// does one whose lookup or on-change reports the hub refuses, and its client
// is opened again at the next display-on or service error.
#pragma once

#include "halvex/provider/DataProvider.h"
#include "hmx/hmx_client.h"
#include "platform/types.h"
#include "platform/wdf.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

class SlpiDataProvider : public DataProvider {
public:
    // The sensor ID is not used; a configured SUID of 0/0 takes any SAR sensor
    // the hub names. Never fails: a wait lock that cannot be created is
    // traced, and the provider then serialises on a lock of its own.
    SlpiDataProvider(uint32_t sensorId, HANDLE sensorEvent, uint64_t suidLow, uint64_t suidHigh,
                     WDFDEVICE device);
    ~SlpiDataProvider() override;

    // Opens the client and sends the lookup (which may wait for the boot and
    // the hub's answer, never for an absent service: the worker does that),
    // then starts the worker. The channel hears of the sensor whatever comes
    // of it.
    bool Start() override;
    bool Stop() override;
    bool IsActive() override;
    // Forces the sensor (or ends the forcing) at once and leaves the client
    // to the worker.
    void OnPowerSettingChange(ULONG type, const POWERBROADCAST_SETTING* setting) override;

    bool initSensorChannel();
    void ReleaseClient();
    static DWORD WINAPI ReinitThreadProc(LPVOID parameter);
    void ReinitThreadLoop();
    static void ServiceErrorCallback(hmx_client_type client, int32_t error, void* data);

    // The message exchange with the hub.
    void SendSensorRequest(uint32_t msgId);
    static void IndicationCallback(hmx_client_type client, uint32_t msgId, const void* buffer,
                                   uint32_t length, void* data);
    void DecodeEventMessage(const uint8_t* payload, uint32_t length);
    void SetValue(float v);

    // How long the service may stay away before a wait for it gives up.
    static constexpr uint32_t kServiceWaitMs = 100000;
    // The service is waited for in slices this long, so that a stop ends
    // the wait within one.
    static constexpr uint32_t kServiceSliceMs = 200;
    // How long a request waits for each step of its response.
    static constexpr uint32_t kResponseWaitMs = 10000;
    // How long Stop waits for the worker.
    static constexpr DWORD kStopTimeoutMs = 15000;
    // The client is never opened earlier after the machine's start.
    static constexpr ULONGLONG kBootWaitMs = 1000;

    WDFWAITLOCK mLock; // NULL when its creation failed
    // Written under the lock, read without it by the worker and the callbacks.
    std::atomic<hmx_client_type> mClient{0};
    std::atomic<uint8_t> mSuidFound{0}; // 1 once the lookup named the sensor for this client
    HANDLE mSensorEvent;                // the channel's, owned by its EventHandler
    uint64_t mConfigSuidLow;
    uint64_t mConfigSuidHigh;
    HANDLE mThread = nullptr;
    HANDLE mStopEvent = nullptr;
    HANDLE mPowerEvent = nullptr;
    HANDLE mSuidFoundEvent = nullptr;
    HANDLE mReinitEvent = nullptr;
    std::atomic<uint8_t> mServiceError{0}; // never cleared
    // Set by Stop, cleared by Start: a worker waiting for the service ends.
    std::atomic<bool> mStopRequested{false};

    // The SUID of the sensor in use, {low, high}: written on the indication
    // thread, read by the worker, always as one pair.
    std::pair<uint64_t, uint64_t> Suid();

private:
    enum class Open { Opened, NoService, Failed };
    // initSensorChannel; without `waitForService` an absent service is
    // looked for once.
    Open OpenClient(bool waitForService);
    // Opens a client on the sensor service into `client`: the HMCI code.
    int32_t WaitForService(bool keepWaiting, hmx_client_type* client);
    // The sensor is read through a client configured for reports; once that
    // client has gone, its last reading ages (see mUnreadSince).
    void ClientConfigured(hmx_client_type client);
    void ClientGone(hmx_client_type client);
    // No client could be opened: each time the sensor's last reading, unread
    // since `unreadSince`, has aged by a further wait for the service, it
    // counts as detected. `waits`: the waits counted so far.
    void CountUnreadWaits(ULONGLONG unreadSince, ULONGLONG& waits, int32_t rc);
    void AcquireLock();
    void ReleaseLock();
    // The sensor cannot be read: it counts as detected until it reports again.
    void CountAsDetected();
    // The on-change configuration of `client` was not sent or was refused.
    void OnChangeRefused(hmx_client_type client);
    // An open that found the service but did not get the lookup sent or
    // answered: the sensor counts as detected.
    Open UnreadAfterOpen();
    void SetSuid(uint64_t low, uint64_t high);
    // Serialise a request; false when it does not fit the HMX request.
    bool BuildRequest(uint64_t low, uint64_t high, uint32_t msgId, const std::string* payload,
                      std::string& bytes);
    bool BuildSuidLookup(std::string& bytes);
    // Sends serialised request bytes; the HMCI code, or else the hub's result.
    int32_t SendRequest(hmx_client_type client, const std::string& bytes);
    // Waits for a worker given up on by an earlier Stop, then closes what it used.
    void ReapWorker();
    void CloseEvents();

    std::mutex mFallbackLock;
    std::mutex mSuidLock;
    // The client configured for reports (0: none), and when the last one went:
    // released at a display off or a stop, or lost with the service (the
    // worker releases it at once). Nothing while none ever was. Kept across
    // stops and display changes, so that no wait for the service starts the
    // count again. Under mReadLock.
    std::mutex mReadLock;
    hmx_client_type mConfiguredClient = 0;
    std::optional<ULONGLONG> mUnreadSince;
    uint64_t mSuidLow = 0;
    uint64_t mSuidHigh = 0;
};
