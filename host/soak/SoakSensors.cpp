#include "host/soak/SoakSensors.h"
#include "host/soak/Soak.h"

#include "platform/com.h"
#include "platform/sim/clock.h"
#include "platform/sim/proximity.h"
#include "platform/sim/sensor_client_service.h"

#include <chrono>
#include <cstdio>
#include <iterator>
#include <thread>

namespace host {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::display::State;

// How long the driver waits for an absent sensor service before its sensor
// counts as detected (machine time; 2 s of real time at the soak's scale).
constexpr std::uint64_t kServiceWaitMs = 100000;
// A short outage lasts up to this long. One that ended within the second
// bound cannot have reached the wait's end, however late the driver's worker
// looked at its clock: that would take 800 ms of real time.
constexpr std::uint64_t kShortOutageMs = 40000;
constexpr std::uint64_t kSurelyShortMs = 60000;
// Long outages are kept apart: the next one waits this long after one.
constexpr std::uint64_t kLongOutageGapMs = 3 * kServiceWaitMs;

// The SUID of the channel's first sensor, high 0x50AB and low 0xC0DE: a
// proximity sensor is taken for it when its device id holds "50abc0de".
constexpr char kFirstSensorSuid[] = "\"SUID_HIGH_H\"=dword:00000000\n"
                                    "\"SUID_HIGH_L\"=dword:000050ab\n"
                                    "\"SUID_LOW_H\"=dword:00000000\n"
                                    "\"SUID_LOW_L\"=dword:0000c0de\n";
constexpr char kDeviceIdFormat[] = "ACPI#PROX%04u#50ABC0DE";

constexpr const char* kKindNames[] = {
    "hub report heard: near",     "hub report heard: far",      "hub report unheard",
    "hub request refused",        "hub service restart",        "hub away, short",
    "hub away, past the wait",    "hub away, length unsure",    "hub lookup/on-change refused",
    "proximity sensor arrived",   "proximity reading: near",    "proximity reading: far",
    "proximity reading kept",     "proximity reading unheard",  "proximity update",
    "proximity sensor left",      "proximity left unseen",      "sensor changes out of D0",
    "checkpoints display-forced", "checkpoints hub unreadable", "checkpoints proximity gone",
    "checkpoints made known"};

// The driver's worker waits for the service in slices this long; each opens
// a handle to hear of the service and closes it at its end.
constexpr std::uint64_t kServiceSliceMs = 200;

// Whether the worker waits for the service. Between two slices no handle is
// open, so one look may miss a wait that goes on.
bool SeenWaiting() {
    const auto deadline = Clock::now() + kSoakHangBound;
    while (sim::hub::Waiters() == 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// Whether no wait goes on: no handle open, and none opened for three slices.
bool SeenNoWait() {
    const unsigned opened = sim::hub::Transport().OpenCalls();
    const std::uint64_t until = sim::NowMs() + 3 * kServiceSliceMs;
    while (sim::NowMs() < until) {
        if (sim::hub::Waiters() != 0 || sim::hub::Transport().OpenCalls() != opened) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

const char* StateText(const std::optional<bool>& near) {
    return !near ? "unknown" : *near ? "near" : "far";
}

} // namespace

std::string SoakSensors::FirstSensorKey(int channel) {
    return "\n[Device Parameters\\channel" + std::to_string(channel) +
           "\\0]\n\"Type\"=\"APPS\"\n\"ID\"=dword:" + std::to_string(kProximitySensor) + "\n" +
           kFirstSensorSuid;
}

std::string SoakSensors::HubSensorKey(int channel, int subkey) {
    // No SUID: the first SAR sensor the hub names is taken.
    return "\n[Device Parameters\\channel" + std::to_string(channel) + "\\" +
           std::to_string(subkey) +
           "]\n\"Type\"=\"SLPI\"\n\"ID\"=dword:" + std::to_string(kHubSensor) + "\n";
}

SoakSensors::DisplayFlags SoakSensors::Deliver(DisplayFlags flags, const Delivery& delivery) {
    switch (delivery.state) {
    case State::Off:
        flags = {true, false};
        break;
    case State::On:
        flags = {false, true};
        break;
    case State::Dimmed:
        // Only the registration's delivery ends the forcing and opens the
        // watcher's gate: a dimmed display is on. A later one changes nothing.
        if (delivery.first) {
            flags = {false, true};
        }
        break;
    }
    return flags;
}

void SoakSensors::SetDisplay(State state) {
    // Display off releases the driver's client, display on opens one (on a
    // service that is there).
    ReleaseMayCome();
    mMayConfigure = mMayConfigure || mServiceUp;
    sim::display::SetState(state);
    if (mRegistered) {
        mOwed.push_back({state, false});
    }
}

void SoakSensors::Stopping() {
    ReleaseMayCome();
}

void SoakSensors::ReleaseMayCome() {
    if (!mReleaseFrom) {
        mReleaseFrom = sim::NowMs();
    }
}

void SoakSensors::SeeClient(bool configured) {
    const std::uint64_t now = sim::NowMs();
    if (configured) {
        mConfiguredSeen = now;
        mUnread.reset();
    } else if (mUnread) {
        // One configured and released since the last look went later.
        if (mMayConfigure) {
            mUnread->late = now;
        }
    } else if (mConfiguredSeen) {
        // It went at the first change after it was seen that could release it,
        // or later.
        mUnread = Span{mReleaseFrom.value_or(*mConfiguredSeen), now};
    }
    mReleaseFrom.reset();
    mMayConfigure = false;
}

std::optional<std::uint64_t> SoakSensors::Deadline() const {
    if (!mWaitingSince) {
        return std::nullopt;
    }
    // With no client configured yet, each wait counts from its own start.
    const std::uint64_t unread = mUnread ? mUnread->late : *mWaitingSince;
    return std::max(*mWaitingSince, unread + kServiceWaitMs);
}

bool SoakSensors::MayHaveCounted(std::uint64_t end) const {
    // However late the driver's worker looked at its clock, a look before
    // `end` sees no more than what kSurelyShortMs leaves of the wait.
    const std::uint64_t unread = mUnread ? mUnread->early : mAwaySince;
    return mMayWait && end >= unread + kSurelyShortMs;
}

void SoakSensors::Unsure() {
    // A sensor that counts as detected, or reads near, stays so.
    if (mHubNear != true) {
        mHubNear.reset();
        mHubUnread = false;
    }
}

std::string SoakSensors::Stopped() {
    mStarted = false;
    mRegistered = false;
    // A wait the stop ended may have looked at a reading older than the
    // wait; the stop released the driver's client.
    if (!mServiceUp && MayHaveCounted(sim::NowMs())) {
        Unsure();
    }
    SeeClient(false);
    mMayWait = false;
    // A lookup or on-change request refused as the stop released its client
    // may have found the client gone or the stop under way, and the driver
    // then keeps the last reading.
    if (const unsigned refused = UnreadingRefusals(); refused != mUnreadingRefusals) {
        mUnreadingRefusals = refused;
        mHubNear.reset();
        mHubUnread = false;
    }
    // The stop ended the worker's wait for the service.
    mWaitingSince.reset();
    mMustWait = false;
    // A delivery still owed when the registration went may have run or not:
    // a flag stays known only if every one of those outcomes gives it.
    DisplayFlags flags = mDisplay;
    for (const Delivery& delivery : mOwed) {
        flags = Deliver(flags, delivery);
        if (flags.forced != mDisplay.forced) {
            mDisplay.forced.reset();
        }
        if (flags.on != mDisplay.on) {
            mDisplay.on.reset();
        }
    }
    mOwed.clear();
    if (mServiceUp) {
        return {};
    }
    if (std::string error = Settle("a D0 exit with the sensor service away"); !error.empty()) {
        return error;
    }
    if (!SeenNoWait()) {
        sim::hub::SetPresent(true);
        mServiceUp = true;
        mHubNear.reset();
        mHubUnread = false;
        return "a wait for the absent sensor service goes on after a D0 exit stopped the hub "
               "sensor";
    }
    return {};
}

void SoakSensors::Started() {
    mStarted = true;
    mRegistered = true;
    mOwed.push_back({sim::display::CurrentState(), true});
    // The start opens a client; or it finds no service, and leaves the
    // worker to wait for it from now on.
    mMayConfigure = mMayConfigure || mServiceUp;
    if (!mServiceUp) {
        mMustWait = true;
        mMayWait = true;
        mWaitingSince = sim::NowMs();
    }
    // The watcher reports every sensor present, and once it has, the one
    // that went while it was stopped is gone for the driver too.
    mReported = mPresent.has_value();
    if (mGoneUnseen) {
        mProximityNear = true;
        mProximityGone = true;
        mGoneUnseen = false;
    }
}

bool SoakSensors::Due() const {
    if (mServiceUp) {
        return false;
    }
    if (mLong) {
        const std::optional<std::uint64_t> deadline = Deadline();
        return deadline && sim::NowMs() >= *deadline;
    }
    return sim::NowMs() - mAwaySince >= mAwayFor;
}

unsigned SoakSensors::UnreadingRefusals() {
    return sim::hub::RefusedCount(sim::hub::Kind::Lookup) +
           sim::hub::RefusedCount(sim::hub::Kind::OnChange);
}

std::string SoakSensors::Settle(const char* after) {
    if (std::string error = SoakSettle(after); !error.empty()) {
        return error;
    }
    for (const Delivery& delivery : mOwed) {
        mDisplay = Deliver(mDisplay, delivery);
    }
    mOwed.clear();
    SeeClient(sim::hub::Subscribers() > 0);
    // A client whose lookup or on-change configuration the hub refused hears
    // no report: the sensor counts as detected until a client opened again
    // hears one.
    if (const unsigned refused = UnreadingRefusals(); refused != mUnreadingRefusals) {
        mCounts[kUnreadingRefused] += refused - mUnreadingRefusals;
        mUnreadingRefusals = refused;
        mHubNear = true;
        mHubUnread = true;
    }
    if (mMustWait && !SeenWaiting()) {
        return "the sensor service is away and nothing waits for it, after a start or a loss of "
               "the hub sensor's client";
    }
    if (mStarted) {
        for (const std::u16string& id : mLeft) {
            if (std::size_t held = sim::proximity::ReadingSubscriptions(id); held != 0) {
                return "the driver still holds " + std::to_string(held) +
                       " reading subscription(s) to the proximity sensor " + NarrowString(id) +
                       ", which has gone";
            }
        }
        mLeft.clear();
    }
    return {};
}

std::string SoakSensors::Step(std::mt19937_64& rng, bool inD0) {
    if (std::string error = Settle("the IOCTLs stood still"); !error.empty()) {
        return error;
    }
    if (!inD0) {
        ++mCounts[kAwayFromD0];
    }
    // Every value is drawn whatever the machine's state, so that the seed
    // gives the same sequence of draws however the outages' time runs.
    const bool hub = rng() % 2 == 0;
    const std::uint64_t pick = rng() % 12;
    const auto kind = static_cast<sim::hub::Kind>(rng() % 3);
    const auto result = static_cast<std::int32_t>(1 + rng() % 5);
    const std::uint64_t awayFor = 1000 + rng() % (kShortOutageMs - 1000);
    if (!hub) {
        return ProximityStep(pick % 6);
    }
    if (pick < 6 || (!mServiceUp && pick >= 8)) {
        return HubReport(pick % 2 == 0);
    }
    if (pick < 8) {
        sim::hub::FailNext(kind, result);
        ++mCounts[kRefused];
        return {};
    }
    if (pick < 10) {
        Restart();
        ++mCounts[kRestart];
        return Settle("a restart of the sensor service");
    }
    return ServiceAway(inD0 && pick == 11, awayFor);
}

std::string SoakSensors::HubReport(bool near) {
    const bool heard = sim::hub::Subscribers() > 0;
    sim::hub::Report(near ? 1.0f : 0.0f);
    if (std::string error = Settle("a report of the hub's sensor"); !error.empty()) {
        return error;
    }
    if (heard) {
        mHubNear = near;
        mHubUnread = false;
        ++mCounts[near ? kReportNear : kReportFar];
    } else {
        ++mCounts[kReportUnheard];
    }
    return {};
}

std::string SoakSensors::ServiceAway(bool mayOutlastTheWait, std::uint64_t awayFor) {
    const bool mayLast =
        mayOutlastTheWait && (!mLongEnded || sim::NowMs() - *mLongEnded >= kLongOutageGapMs);
    // A long outage starts from a far reading, so that the sensor's counting
    // as detected at its end shows at the radio.
    if (mayLast && sim::hub::Subscribers() > 0) {
        if (std::string error = HubReport(false); !error.empty()) {
            return error;
        }
    }
    const bool client = sim::hub::Clients() > 0;
    ReleaseMayCome();
    mAwaySince = sim::NowMs();
    mAwayFor = awayFor;
    sim::hub::SetPresent(false);
    mServiceUp = false;
    // From now on a display-on or a start may have the worker wait for it.
    mMayWait = mStarted;
    // Its client hears of it and the worker waits for the service to return.
    mMustWait = client;
    if (std::string error = Settle("the sensor service went away"); !error.empty()) {
        return error;
    }
    const bool waiting = mMustWait || sim::hub::Waiters() > 0;
    // The worker waits since before this moment at the latest, and only a stop
    // or the service's return ends that wait.
    mWaitingSince = waiting ? std::optional(sim::NowMs()) : std::nullopt;
    mLong = mayLast && waiting;
    return {};
}

std::string SoakSensors::EndOutage() {
    // A wait under way since mWaitingSince looks at the sensor's age at every
    // slice: once it is surely past the wait (a long outage waits for that),
    // the sensor counts as detected.
    const std::optional<std::uint64_t> end = Deadline();
    if (end && (mLong || sim::NowMs() >= *end)) {
        const auto deadline =
            Clock::now() + kSoakHangBound +
            sim::RealDuration(static_cast<double>(*end > sim::NowMs() ? *end - sim::NowMs() : 0));
        while (sim::NowMs() < *end && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        // Each slice of the wait opens a handle to hear of the service. One
        // that opens now ends after the wait's length, and its end is looked
        // at before the next one opens: by then the sensor counts as
        // detected.
        const unsigned opened = sim::hub::Transport().OpenCalls();
        while (sim::hub::Transport().OpenCalls() < opened + 2) {
            if (Clock::now() >= deadline) {
                return "the driver stopped waiting for the sensor service " +
                       std::to_string(sim::NowMs() - *mWaitingSince) +
                       " ms after it began to, with no stop and the service still away";
            }
            std::this_thread::sleep_for(1ms);
        }
        mHubNear = true;
        mHubUnread = true;
        ++mCounts[kLongOutage];
    } else if (!MayHaveCounted(sim::NowMs())) {
        ++mCounts[kShortOutage];
    } else {
        // A wait may have looked at a reading older than the wait, or not.
        Unsure();
        ++mCounts[kUnsureOutage];
    }
    if (mLong) {
        mLongEnded = sim::NowMs();
    }
    // The worker opens a client on the service and configures it.
    mMayConfigure = true;
    sim::hub::SetPresent(true);
    mServiceUp = true;
    mLong = false;
    mWaitingSince.reset();
    mMustWait = false;
    mMayWait = false;
    return Settle("the sensor service came back");
}

void SoakSensors::Restart() {
    // Every client is lost, and the worker opens and configures a new one.
    ReleaseMayCome();
    mMayConfigure = true;
    sim::hub::Restart();
}

std::string SoakSensors::ProximityStep(std::uint64_t pick) {
    if (!mPresent) {
        return Arrive();
    }
    if (pick < 4) {
        return Read(pick % 2 == 0);
    }
    if (pick == 4) {
        return Leave();
    }
    sim::proximity::Update(*mPresent);
    ++mCounts[kUpdated];
    return Settle("an update of a proximity sensor");
}

std::string SoakSensors::Arrive() {
    // Each arrival has an id of its own: one that went and came back under
    // its id while the watcher was stopped would look to the driver like one
    // that stayed.
    char id[32];
    std::snprintf(id, sizeof id, kDeviceIdFormat, ++mSerial);
    const std::u16string deviceId(id, id + std::char_traits<char>::length(id));
    if (!sim::proximity::AddSensor(deviceId)) {
        return std::string("a proximity sensor ") + id + " is present already";
    }
    mPresent = deviceId;
    mReported = mStarted;
    ++mCounts[kArrived];
    if (std::string error = Settle("a proximity sensor arrived"); !error.empty()) {
        return error;
    }
    if (std::size_t held = sim::proximity::ReadingSubscriptions(deviceId); mStarted && held != 1) {
        return "the driver holds " + std::to_string(held) +
               " reading subscription(s) to the proximity sensor " + id + ", which arrived, not 1";
    }
    return {};
}

std::string SoakSensors::Read(bool near) {
    const bool on = mDisplay.on == true;
    sim::proximity::Reading(*mPresent, near);
    if (std::string error = Settle("a proximity reading"); !error.empty()) {
        return error;
    }
    if (!mReported) {
        // The watcher has not reported the sensor yet: no subscription hears it.
        ++mCounts[kReadUnheard];
        return {};
    }
    // While the display is off (its forcing covers the sensor) the reading
    // is kept, and counts once the display is on: the sensor takes it all
    // the same, unless it leaves first or reads again.
    mProximityNear = near;
    mProximityGone = false;
    ++mCounts[on ? (near ? kReadNear : kReadFar) : kReadKept];
    return {};
}

std::string SoakSensors::Leave() {
    const std::u16string id = *mPresent;
    sim::proximity::Remove(id);
    mPresent.reset();
    mLeft.push_back(id);
    ++mCounts[kLeft];
    if (std::string error = Settle("a proximity sensor left"); !error.empty()) {
        return error;
    }
    if (mStarted) {
        mProximityNear = true;
        mProximityGone = true;
    } else if (mReported) {
        // The driver finds out once the next start's enumeration is done.
        mGoneUnseen = true;
        ++mCounts[kLeftUnseen];
    }
    mReported = false;
    return {};
}

std::string SoakSensors::Known(std::mt19937_64& rng, bool* near) {
    const bool hubNear = rng() % 2 == 0;
    const bool forcingFirst = rng() % 2 == 0;
    if (std::string error = Settle("a checkpoint's preparations"); !error.empty()) {
        return error;
    }
    if (!mServiceUp) {
        if (std::string error = EndOutage(); !error.empty()) {
            return error;
        }
    }
    if (!mDisplay.forced) {
        return "the soak lost track of the display forcing (a delivery owed at D0 exit and none "
               "since)";
    }
    // With the display forcing and the proximity sensor gone, one of the two
    // is shown.
    if (mHubUnread || (mProximityGone && !(*mDisplay.forced && forcingFirst))) {
        // A sensor that cannot be read must be what makes the index: the
        // display forcing ends, and the other sensor reads far.
        std::string error = DisplayOnForReadings();
        if (error.empty() && mHubUnread) {
            ++mCounts[kCheckUnread];
            error = ProximityFar();
        } else if (error.empty()) {
            ++mCounts[kCheckGone];
            error = HubFar();
        }
        if (!error.empty()) {
            return error;
        }
    } else if (*mDisplay.forced) {
        // The forcing must be what makes the index: both sensors read far
        // with the display on, then it goes off (and dimmed, if it was).
        const State was = sim::display::CurrentState();
        std::string error = DisplayOnForReadings();
        error = error.empty() ? HubFar() : error;
        error = error.empty() ? ProximityFar() : error;
        if (!error.empty()) {
            return error;
        }
        for (State state : {State::Off, was}) {
            SetDisplay(state);
        }
        if (error = Settle("the display went off"); !error.empty()) {
            return error;
        }
        if (mDisplay.forced != true) {
            return "the display went off, but the soak's model says it does not force the sensors";
        }
        ++mCounts[kCheckForced];
        *near = true;
        return {};
    }
    // Every reading of a reported proximity sensor counts, at once or once
    // the display is on, so only the hub's sensor may be unknown.
    if (!mHubNear) {
        ++mCounts[kCheckMadeKnown];
        if (std::string error = HubHeard(); !error.empty()) {
            return error;
        }
        if (std::string error = HubReport(hubNear); !error.empty()) {
            return error;
        }
    }
    if (!mHubNear || !mProximityNear) {
        return "the soak could not bring the sensors to a known state: " + Summary();
    }
    *near = *mHubNear || *mProximityNear;
    return {};
}

std::string SoakSensors::HubFar() {
    std::string error = HubHeard();
    return error.empty() ? HubReport(false) : error;
}

std::string SoakSensors::ProximityFar() {
    std::string error = mPresent ? std::string() : Arrive();
    return error.empty() ? Read(false) : error;
}

std::string SoakSensors::DisplayOn() {
    SetDisplay(State::On);
    return Settle("the display came on");
}

std::string SoakSensors::DisplayOnForReadings() {
    return mDisplay.forced == false && mDisplay.on == true ? std::string() : DisplayOn();
}

std::string SoakSensors::HubHeard() {
    sim::hub::ClearFailures();
    // A refused lookup or on-change request leaves the client without reports
    // until the display comes on or the service restarts, and the display may
    // be on already.
    if (sim::hub::Subscribers() != 1) {
        Restart();
        if (std::string error = Settle("a restart of the sensor service"); !error.empty()) {
            return error;
        }
    }
    if (sim::hub::Clients() != 1 || sim::hub::Subscribers() != 1) {
        return "with the service up and the display not off the hub has " +
               std::to_string(sim::hub::Clients()) + " client(s) of the driver, " +
               std::to_string(sim::hub::Subscribers()) + " configured for reports, not one";
    }
    return {};
}

std::string SoakSensors::Prepare() {
    if (std::string error = DisplayOn(); !error.empty()) {
        return error;
    }
    if (mDisplay.on != true || mDisplay.forced != false) {
        return "the display is on, but the soak's model says otherwise";
    }
    if (std::string error = HubHeard(); !error.empty()) {
        return error;
    }
    return mPresent ? std::string() : Arrive();
}

SoakSensors::States SoakSensors::Draw(std::mt19937_64& rng) const {
    States states;
    states.hubNear = rng() % 2 == 0;
    states.proximity = static_cast<States::Proximity>(rng() % 3);
    return states;
}

std::string SoakSensors::Set(const States& states) {
    std::string error = HubReport(states.hubNear);
    if (error.empty()) {
        if (states.proximity == States::kGone) {
            error = mPresent ? Leave() : std::string();
        } else {
            error = mPresent ? std::string() : Arrive();
            if (error.empty()) {
                error = Read(states.proximity == States::kNear);
            }
        }
    }
    if (error.empty() &&
        (mHubNear != states.hubNear || mProximityNear != (states.proximity != States::kFar))) {
        error = "the hub's report or the proximity reading did not reach the driver: " + Summary();
    }
    return error;
}

std::string SoakSensors::BeforeRemoval(std::mt19937_64& rng) {
    if (rng() % 2 == 0 || !mServiceUp) {
        return {};
    }
    return ServiceAway(false, kShortOutageMs);
}

std::string SoakSensors::Summary() const {
    return std::string("hub sensor ") + StateText(mHubNear) +
           (mHubUnread ? ", unread since a wait for the service ran out or a lookup or on-change "
                         "request was refused"
                       : "") +
           " (service " + (mServiceUp ? "up" : "away") + ", " +
           std::to_string(sim::hub::Clients()) + " client(s), " +
           std::to_string(sim::hub::Subscribers()) + " configured), proximity sensor " +
           StateText(mProximityNear) + (mProximityGone ? ", unread since one left" : "") + " (" +
           (mPresent ? "present" : "none present") + "), display forcing " +
           (!mDisplay.forced   ? "unknown"
            : *mDisplay.forced ? "on"
                               : "off");
}

void SoakSensors::PrintCounts() const {
    static_assert(std::size(kKindNames) == kKinds);
    for (int k = 0; k < kKinds; ++k) {
        std::printf("  %-28s %llu\n", kKindNames[k], static_cast<unsigned long long>(mCounts[k]));
    }
}

} // namespace host
