// The sensor-hub and proximity part of the soak. The modem channel's first
// sensor is an APPS sensor with a SUID, which the machine's proximity sensors
// set, and its last the sensor hub's SAR sensor. Between checkpoints the hub
// reports near or far, refuses the next request of a kind, restarts, and goes
// away for less or for more than the driver's wait for it; proximity sensors
// arrive, read near or far and leave, also while the device is out of D0.
// Each of these runs with the machine settled before and after it, and a
// model follows what the driver must make of it: the hub's sensor takes a
// report its client hears, and counts as detected once it has had no client
// configured for reports for as long as the driver's wait (across display
// changes and power transitions) with a wait for the service under way, or
// once the hub has refused its client's lookup or on-change configuration;
// the proximity sensor takes every reading the watcher hears (one while the
// display is off counts once it is on), and counts as detected once it has
// gone; the display forces every sensor while it is off. At a checkpoint the
// model gives the state of both sensors, then the soak sets them as it sets
// the APPS ones.
#pragma once

#include "platform/sim/display.h"

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace host {

class SoakSensors {
public:
    // The APPS sensor a proximity sensor sets, and the hub's sensor.
    static constexpr std::uint32_t kProximitySensor = 5;
    static constexpr std::uint32_t kHubSensor = 6;

    // The registry text of the modem channel's first sensor subkey (the
    // proximity sensor's) and of the hub sensor's subkey `subkey`.
    static std::string FirstSensorKey(int channel);
    static std::string HubSensorKey(int channel, int subkey);

    // What a checkpoint sets the two sensors to.
    struct States {
        enum Proximity { kNear, kFar, kGone };
        bool hubNear = false;
        Proximity proximity = kFar;
        bool Near() const { return hubNear || proximity != kFar; }
    };

    // What the machine does around the device: the display changes; a D0
    // exit is to stop the providers, the proximity watcher and the
    // display-state registration (a hibernation or a shutdown), or did stop
    // them; a D0 entry started them. With the service away, no wait for it
    // may outlast the stop: an empty string, or what went wrong (and the
    // service is back, so that the next start does not wait for a worker
    // that waits for it).
    void SetDisplay(sim::display::State state);
    void Stopping();
    std::string Stopped();
    void Started();
    bool ServiceAway() const { return !mServiceUp; }
    // Whether an outage has lasted as long as it was meant to.
    bool Due() const;

    // The rest run with the IOCTLs still or held. Each returns an empty
    // string, or what went wrong.
    //
    // One change of the hub or of the proximity sensors, drawn from `rng`.
    std::string Step(std::mt19937_64& rng, bool inD0);
    // Ends the outage that is due.
    std::string EndOutage();
    // At a checkpoint, with the device in D0: the service comes back, and a
    // sensor whose state the model cannot know is brought to one it knows.
    // What counts as detected without a reading is left to make the index
    // alone: a sensor that cannot be read (the hub's after a wait ran its
    // length or its on-change configuration was refused, the proximity
    // sensor after it left), with the display on and
    // the other sensor far; else the display forcing, with both sensors read
    // far before the display goes back off. `near`: whether the sensors or
    // the display forcing make the channel's mask 1.
    std::string Known(std::mt19937_64& rng, bool* near);
    // Whether the outage now ending has run past the driver's wait.
    bool PastTheWait() const { return mLong && Deadline().has_value(); }
    // The display comes on; then no refusal is left armed, the hub's sensor
    // is heard (one client, configured for reports: checked) and a proximity
    // sensor is present.
    std::string Prepare();
    States Draw(std::mt19937_64& rng) const;
    std::string Set(const States& states);
    // Before the removal: the service goes away now and then, so that the
    // removal meets a worker waiting for it.
    std::string BeforeRemoval(std::mt19937_64& rng);

    // The model's states and the hub's clients, for the report.
    std::string Summary() const;
    // The operations done, a line per kind, as the soak's report prints them.
    void PrintCounts() const;

private:
    enum Kind {
        kReportNear,
        kReportFar,
        kReportUnheard,
        kRefused,
        kRestart,
        kShortOutage,
        kLongOutage,
        kUnsureOutage,
        kUnreadingRefused,
        kArrived,
        kReadNear,
        kReadFar,
        kReadKept,
        kReadUnheard,
        kUpdated,
        kLeft,
        kLeftUnseen,
        kAwayFromD0,
        kCheckForced,
        kCheckUnread,
        kCheckGone,
        kCheckMadeKnown,
        kKinds
    };
    // The two display flags each provider keeps: whether the display forces
    // it, and (the APPS ones, for the proximity watcher) whether the display
    // is on. Empty: a delivery may or may not have reached the driver.
    struct DisplayFlags {
        std::optional<bool> forced = false;
        std::optional<bool> on = false;
        bool operator==(const DisplayFlags&) const = default;
    };
    struct Delivery {
        sim::display::State state;
        bool first; // the registration's, the first since the providers started
    };

    // When the driver's client configured for reports last went (released at
    // a display off or a stop, or lost with the service), as far as the soak
    // can tell: not before `early`, not after `late`.
    struct Span {
        std::uint64_t early;
        std::uint64_t late;
    };

    static DisplayFlags Deliver(DisplayFlags flags, const Delivery& delivery);
    // Before a change that may release the driver's client.
    void ReleaseMayCome();
    // What a settle or a stop shows: whether the driver's client is
    // configured for reports now.
    void SeeClient(bool configured);
    // When a wait under way since mWaitingSince has surely looked at a
    // reading older than the driver's wait; nothing without such a wait.
    std::optional<std::uint64_t> Deadline() const;
    // Whether a wait that may have run until `end` may have looked at one.
    bool MayHaveCounted(std::uint64_t end) const;
    // The hub's sensor may have come to count as detected.
    void Unsure();
    void Restart();
    // The hub's refusals that leave the driver's client without reports.
    static unsigned UnreadingRefusals();
    // Settles the machine; every display delivery owed has then run.
    std::string Settle(const char* after);
    // A report; the model takes it when the driver's client hears it.
    std::string HubReport(bool near);
    // Makes sure the driver's client hears reports: one client, configured.
    std::string HubHeard();
    // Turns the display on, and settles; the second only when the display
    // forces the sensors or a proximity reading would not count.
    std::string DisplayOn();
    std::string DisplayOnForReadings();
    // The sensor reads far (with the display on).
    std::string HubFar();
    std::string ProximityFar();
    std::string ServiceAway(bool mayOutlastTheWait, std::uint64_t awayFor);
    std::string ProximityStep(std::uint64_t pick);
    std::string Arrive();
    std::string Read(bool near);
    std::string Leave();

    std::uint64_t mCounts[kKinds] = {};

    DisplayFlags mDisplay;
    std::vector<Delivery> mOwed; // deliveries not known to have run
    bool mRegistered = false;
    bool mStarted = false; // the providers and the watcher

    // The hub's sensor: its state; nothing while the model cannot know it.
    std::optional<bool> mHubNear = true; // it has not reported yet
    // Detected since a wait for the service ran its length, or since the hub
    // refused its client's lookup or on-change configuration.
    bool mHubUnread = false;
    unsigned mUnreadingRefusals = 0; // the hub's refusals of those requests taken in
    bool mServiceUp = true;
    bool mLong = false;                         // the outage is to outlast the wait
    std::uint64_t mAwaySince = 0;               // machine time the service went
    std::uint64_t mAwayFor = 0;                 // how long a short outage lasts
    std::optional<std::uint64_t> mWaitingSince; // the worker waits for the service since then
    bool mMustWait = false;                     // the worker must be waiting for the service now
    std::optional<std::uint64_t> mLongEnded;
    // The service has been away while the providers ran, since the outage
    // began or the last stop: a wait may have run.
    bool mMayWait = false;
    // The sensor's unread time runs from mUnread across display changes and
    // power transitions; nothing while a client may be configured.
    std::optional<Span> mUnread;
    std::optional<std::uint64_t> mConfiguredSeen; // the last time one was seen configured
    std::optional<std::uint64_t> mReleaseFrom;    // the first change since that could release it
    bool mMayConfigure = false; // a client may have been configured since the last look

    // The proximity sensor, and whether the driver's watcher has reported it.
    std::optional<bool> mProximityNear = true; // no sensor has read yet
    bool mProximityGone = false;               // detected since a sensor left
    std::optional<std::u16string> mPresent;
    bool mReported = false;
    bool mGoneUnseen = false; // a reported sensor left while the watcher was stopped
    unsigned mSerial = 0;
    // Sensors that left: the driver must hold no subscription to them.
    std::vector<std::u16string> mLeft;
};

} // namespace host
