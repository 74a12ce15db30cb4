// The framework's driver host for one device: loads a driver (a DriverEntry
// function, or a driver library exporting FxDriverEntryUm), runs device add,
// drives the device through PnP and power sequences, opens file objects on it
// and sends it IOCTLs through its default queue, then removes the device and
// reports what was left behind.
//
// Every PnP/power call of one host is serialised. Device add runs on a thread
// of its own; requests and power calls are refused until it has succeeded.
// The default queue presents requests on callback threads the host keeps for
// reuse (several at once when several requests are in flight); they end with
// the device.
#pragma once

#include "platform/wdf.h"

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct IoResult {
    NTSTATUS status = STATUS_SUCCESS;
    std::size_t bytes = 0;            // the request's information
    std::vector<std::uint8_t> output; // the caller's output buffer after completion
};

struct HostLeaks {
    std::vector<std::string> objects; // WDF objects still alive
    std::size_t threads = 0;          // stand-in threads still running
    // Win32 handles opened since the driver was loaded and not closed.
    std::size_t handles = 0;
    // Notification registrations (and subscriptions) made since the driver was
    // loaded and not ended, by kind ("display", "IP interface", ...); kinds
    // with none left are absent.
    std::vector<std::pair<std::string, std::size_t>> registrations;
    bool Empty() const {
        return objects.empty() && threads == 0 && handles == 0 && registrations.empty();
    }
    std::string ToString() const;
};

// A file object opened through the host.
struct HostFile {
    WDFFILEOBJECT handle = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    explicit operator bool() const { return handle != nullptr && NT_SUCCESS(status); }
};

class DriverHost {
public:
    DriverHost();
    // Removes the device and unloads the driver if that was not done.
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // Loading: a driver library exporting FxDriverEntryUm, or an entry function.
    NTSTATUS LoadLibrary(const std::string& path);
    NTSTATUS LoadEntry(PDRIVER_INITIALIZE entry);
    // EvtDriverUnload, then the driver object is deleted (and the library closed).
    void Unload();

    // Device add on a thread of its own. On failure a created device is deleted.
    NTSTATUS AddDevice();
    WDFDEVICE Device() const;
    WDFDRIVER Driver() const;

    // PnP and power sequences. Each returns the first failing callback status.
    NTSTATUS Start();     // PrepareHardware, D0 entry from D3Final, action none
    NTSTATUS Sleep();     // D0 exit to D3, action sleep
    NTSTATUS Wake();      // D0 entry from D3, action sleep
    NTSTATUS Hibernate(); // D0 exit to D3, action hibernate
    NTSTATUS Resume();    // D0 entry from D3, action hibernate
    NTSTATUS Shutdown();  // D0 exit to D3Final, action shutdown
    // D0 exit to D3Final (if in D0), action none, ReleaseHardware, then the
    // device is deleted (its cleanup callbacks run).
    NTSTATUS Remove();
    // SurpriseRemoval, then as Remove.
    NTSTATUS SurpriseRemove();
    // Single transitions with the given system power action in force.
    NTSTATUS D0Entry(WDF_POWER_DEVICE_STATE previous, POWER_ACTION action);
    NTSTATUS D0Exit(WDF_POWER_DEVICE_STATE target, POWER_ACTION action);
    bool InD0() const;
    // Whether a start has prepared the hardware (and no removal released it):
    // a D0 entry is refused before that.
    bool HardwarePrepared() const;

    // File objects: create through the device's file callbacks; cleanup and
    // close through CloseFile.
    HostFile OpenFile(const std::u16string& fileName = u"", KPROCESSOR_MODE mode = UserMode);
    void CloseFile(HostFile& file);

    // Buffered IOCTLs through the default queue. An empty input means no input
    // buffer; outputLength 0 means no output buffer. The caller waits for the
    // completion at most `bound` (real time); past it, STATUS_IO_TIMEOUT.
    IoResult DeviceIoControl(const HostFile& file, ULONG code,
                             const std::vector<std::uint8_t>& input, std::size_t outputLength);
    std::future<IoResult> DeviceIoControlAsync(const HostFile& file, ULONG code,
                                               std::vector<std::uint8_t> input,
                                               std::size_t outputLength);
    void SetIoBound(std::chrono::milliseconds bound);

    // What is left once the device is gone (after Remove, and after Unload):
    // live WDF objects, running stand-in threads, Win32 handles opened since
    // the driver was loaded. The default queue's idle threads are the host's:
    // they end before the threads are counted.
    HostLeaks LeakReport() const;

private:
    struct State;
    std::shared_ptr<State> mState;
};

} // namespace sim
