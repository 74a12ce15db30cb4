// A simulated device of another driver, for a driver under test to open an
// I/O target on: it publishes a device interface of a class under a symbolic
// link, answers every request sent through a target opened on that link, and
// goes through the platform's removal protocol. Simulated services (the SoC
// partition file service, test devices) are built on it by giving it a
// request handler.
//
//   sim::TargetDevice device(kInterfaceClass, u"\\??\\ROOT#PART#0000#{...}",
//                            [](const sim::TargetRequest& request) {
//                                sim::TargetAnswer answer;
//                                answer.output = {1, 2, 3};
//                                return answer;
//                            });
//   device.Publish();                       // arrival notifications follow
//   ... the driver opens a target on the link and sends requests ...
//   device.QueryRemove(); device.CompleteRemove();
//
// Presence: Publish makes the interface present (sim/cm_control.h) and the
// link openable by name (WdfIoTargetOpen); arrival notifications reach the
// class's registrations on the notification thread. Withdraw is a surprise
// removal: the requests the device withholds fail with STATUS_DEVICE_REMOVED,
// every target on the link gets its remove-complete, then the interface is
// removal-notified and the link can no longer be opened.
//
// Removal with a query: QueryRemove asks every open target (and the
// device-handle registrations on it); any of them, or the device itself with
// `veto`, refuses, and then everyone asked hears that the removal was
// cancelled. After a successful query, CancelRemove abandons the removal and
// CompleteRemove finishes it (remove-complete, then the interface goes, as
// with Withdraw). These run the drivers' callbacks on a thread of their own
// and return once they have returned.
//
// Answers: the handler runs on the sender's thread, inside WdfRequestSend,
// and says what the device answers and when: at once (the default), after
// `delayMs` of machine time (counted as pending work, so sim::Settle waits
// for it), or never until ReleaseWithheld (not counted: a withheld request
// leaves the machine settled). The output it gives is cut to the request's
// output buffer and reaches the sender whatever the status, as with a
// direct-I/O IOCTL; the information defaults to the bytes delivered. A
// request ended by the sender meanwhile (time-out, cancel, target closed)
// ignores a late answer. Without a handler every request fails with
// STATUS_NOT_SUPPORTED.
//
// The device keeps its state alive for as long as targets hold on to it, so a
// target may outlive the TargetDevice object; its destructor withdraws the
// interface if it is still present.
#pragma once

#include "platform/wdf.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// A request as the device below a target receives it.
struct TargetRequest {
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat; // device control, read or write
    ULONG ioControlCode = 0;
    std::vector<std::uint8_t> input; // the input buffer (a write's data)
    std::size_t outputCapacity = 0;  // bytes of the output buffer (a read's buffer)
    DWORD timeoutMs = INFINITE;      // the sender's time-out, for tests to read
};

struct TargetAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<std::uint8_t> output;
    std::optional<ULONG_PTR> information; // default: the output bytes delivered
    double delayMs = 0;                   // machine time before the answer
    bool withhold = false;                // kept until ReleaseWithheld
};

using TargetRequestHandler = std::function<TargetAnswer(const TargetRequest&)>;

class TargetDevice {
public:
    TargetDevice(const GUID& interfaceClass, std::u16string symbolicLink,
                 TargetRequestHandler handler = {});
    ~TargetDevice();
    TargetDevice(const TargetDevice&) = delete;
    TargetDevice& operator=(const TargetDevice&) = delete;

    const std::u16string& SymbolicLink() const;
    void SetHandler(TargetRequestHandler handler);

    void Publish();
    void Withdraw();
    bool Present() const;

    NTSTATUS QueryRemove(bool veto = false);
    void CancelRemove();
    void CompleteRemove();

    // A new target of `device` (the driver's) opened by name on this device's
    // link for reading and writing, as a driver that found the interface
    // would open it; NULL when it cannot be created or opened.
    WDFIOTARGET OpenTarget(WDFDEVICE device) const;

    // Requests received since creation (or the last ForgetRequests), in
    // order of arrival.
    std::vector<TargetRequest> Requests() const;
    std::size_t RequestCount() const;
    // Empties that record, which otherwise grows with every request of a
    // device that lives for a whole long run.
    void ForgetRequests();
    // Requests withheld and not yet answered or ended by their sender.
    std::size_t WithheldCount() const;
    // Answers every withheld request now, with the answer its handler gave.
    void ReleaseWithheld();

private:
    struct State;
    std::shared_ptr<State> mState;
};

} // namespace sim
