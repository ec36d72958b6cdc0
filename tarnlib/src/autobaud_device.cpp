#include "tarnlib/autobaud_device.hpp"

#include <utility>

#include "platform/log.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/state_machine/fsm.hpp"
#include "tarnlib/state_machine/runtime_core.hpp"

namespace tarnlib {

namespace {

constexpr const char* kTarget = "tarnlib::network_system::autobaud_device";
constexpr std::int32_t kDwellTimer = 0;
constexpr std::int32_t kOverallTimer = 1;
// The detector's own device retries a busy or missing channel after this long.
constexpr std::chrono::seconds kDeviceRetryDelay{1};

// An optional name as a debug print shows it: None, or Some("name") with the quotes and
// backslashes inside escaped.
std::string debug_form(const std::optional<std::string>& name) {
    if (!name) {
        return "None";
    }
    std::string out = "Some(\"";
    for (char c : *name) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\")";
}

// Frames that show a node at the current timing: not error frames, not transmit requests,
// and not our own frames that no node acknowledged.
bool is_traffic(const std::vector<CanMessage>& frames) {
    constexpr std::uint32_t kNotTraffic =
        CanMsgFlags::ERROR_FRAME | CanMsgFlags::TXRQ | CanMsgFlags::TXNACK;
    for (const CanMessage& frame : frames) {
        if ((frame.flag.bits & kNotTraffic) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

struct AutoBaudDevice::Core {
    using Machine = Fsm<Core>;
    using Outcome = Machine::Outcome;

    Core(std::string machine_name, std::vector<BusConfiguration> timings,
         const AutoBaudOptions& options, std::shared_ptr<CanDevice> can_device,
         std::shared_ptr<BusDevice> bus_device);

    static Outcome setting_up(Core& a, const NetworkEvent& event, std::int32_t argument);
    static Outcome waiting_for_can(Core& a, const NetworkEvent& event, std::int32_t argument);
    static Outcome looking_for_traffic(Core& a, const NetworkEvent& event, std::int32_t argument);
    static Outcome reconfiguring(Core& a, const NetworkEvent& event, std::int32_t argument);
    static Outcome up(Core& a, const NetworkEvent& event, std::int32_t argument);
    static Outcome fail_timeout(Core& a, const NetworkEvent& event, std::int32_t argument);

    void start_dwell() {
        if (dwell) {
            dwell_timer.set_timeout(*dwell);
        }
    }
    void next_candidate();
    void shutdown();

    const std::vector<BusConfiguration> candidates;
    const std::optional<std::chrono::milliseconds> dwell;
    const std::optional<std::chrono::milliseconds> overall_limit;
    const std::optional<CanMessage> probe;
    // Used by the handlers; released by shutdown once no handler runs any more.
    std::shared_ptr<CanDevice> device;
    std::shared_ptr<BusDevice> bus;
    Notifier notifier;
    Notifier::SubscriptionId device_subscription = 0;

    // Touched by handlers only (dispatches are serialised), and by shutdown after the
    // machine stopped.
    std::size_t index = 0;       // the candidate the bus is set to
    bool took_bus_down = false;  // the bus is down because of this detector

    Machine fsm;
    ThreadControl dwell_timer;    // "tarnlib_step": Timeout 0
    ThreadControl overall_timer;  // "tarnlib_step": Timeout 1
};

namespace {

using Core = AutoBaudDevice::Core;
using Machine = Core::Machine;

constexpr Machine::State kStates[] = {
    {&Core::setting_up, "setting_up"},
    {&Core::waiting_for_can, "waiting_for_can"},
    {&Core::looking_for_traffic, "looking_for_traffic"},
    {&Core::reconfiguring, "reconfiguring"},
    {&Core::up, "up"},
    {&Core::fail_timeout, "fail_timeout"},
};

}  // namespace

Core::Core(std::string machine_name, std::vector<BusConfiguration> timings,
           const AutoBaudOptions& options, std::shared_ptr<CanDevice> can_device,
           std::shared_ptr<BusDevice> bus_device)
    : candidates(std::move(timings)),
      dwell(options.dwell),
      overall_limit(options.overall_limit),
      probe(options.probe),
      device(std::move(can_device)),
      bus(std::move(bus_device)),
      fsm(std::move(machine_name), *this, &Core::setting_up, kStates) {}

Core::Outcome Core::setting_up(Core& a, const NetworkEvent& event, std::int32_t) {
    if (event.kind != EventKind::Entry) {
        return Machine::handled();
    }
    if (a.overall_limit) {
        a.overall_timer.set_timeout(*a.overall_limit);
    }
    a.start_dwell();
    return Machine::transition(&Core::waiting_for_can);
}

Core::Outcome Core::waiting_for_can(Core& a, const NetworkEvent& event, std::int32_t argument) {
    switch (event.kind) {
        case EventKind::Entry:
            if (a.device->is_open()) {
                return Machine::transition(&Core::looking_for_traffic);
            }
            a.start_dwell();
            return Machine::handled();
        case EventKind::Up:
            return Machine::transition(&Core::looking_for_traffic);
        case EventKind::Missing:
        case EventKind::Busy:
            a.notifier.notify(NetworkEvent::of(event.kind));
            return Machine::handled();
        case EventKind::Timeout:
            return argument == kOverallTimer ? Machine::transition(&Core::fail_timeout)
                                             : Machine::handled();
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::looking_for_traffic(Core& a, const NetworkEvent& event, std::int32_t argument) {
    switch (event.kind) {
        case EventKind::Entry: {
            a.notifier.notify(
                NetworkEvent::with_timing(EventKind::TimingReport, a.bus->configuration()));
            if (a.probe && !a.device->configuration().silent) {
                if (Status st = a.device->write(*a.probe); st != Status::tarnOK) {
                    QZ_LOG_ERROR(kTarget, "Failed to send probe frame: {}",
                                 status_name(static_cast<std::int32_t>(st)));
                }
            }
            a.start_dwell();
            return Machine::handled();
        }
        case EventKind::Frames: {
            if (!event.frames || !is_traffic(*event.frames)) {
                return Machine::handled();
            }
            CanDeviceConfiguration configuration = a.device->configuration();
            configuration.silent = false;
            configuration.exclusive = false;
            // The device reopens as an ordinary one and reports Up again. One that is
            // ordinary already stays open: then the detection is over at once.
            if (!a.device->reconfigure(configuration)) {
                return Machine::transition(&Core::up);
            }
            return Machine::transition(&Core::reconfiguring);
        }
        case EventKind::Timeout:
            if (argument == kOverallTimer) {
                return Machine::transition(&Core::fail_timeout);
            }
            a.next_candidate();
            return Machine::handled();
        case EventKind::Down:
            a.bus->request_state(false);
            a.took_bus_down = true;
            return Machine::transition(&Core::waiting_for_can);
        case EventKind::Exit:
            a.dwell_timer.cancel();
            return Machine::handled();
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::reconfiguring(Core&, const NetworkEvent& event, std::int32_t argument) {
    switch (event.kind) {
        case EventKind::Up:
            return Machine::transition(&Core::up);
        case EventKind::Timeout:
            return argument == kOverallTimer ? Machine::transition(&Core::fail_timeout)
                                             : Machine::handled();
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::up(Core& a, const NetworkEvent& event, std::int32_t) {
    if (event.kind != EventKind::Entry) {
        return Machine::handled();
    }
    a.overall_timer.cancel();
    a.bus->request_state(true);
    a.took_bus_down = false;
    BusConfiguration timing = a.bus->configuration();
    a.notifier.notify(NetworkEvent::with_timing(EventKind::Up, std::move(timing)));
    return Machine::handled();
}

Core::Outcome Core::fail_timeout(Core& a, const NetworkEvent& event, std::int32_t) {
    if (event.kind != EventKind::Entry) {
        return Machine::handled();
    }
    a.dwell_timer.cancel();
    a.notifier.notify(NetworkEvent::of(EventKind::DetectionFailed));
    return Machine::handled();
}

void Core::next_candidate() {
    index = (index + 1) % candidates.size();
    // A timing that differs makes the bus send Reevaluate: the device closes, reopens with
    // it and reports Down and Up, which brings this machine back here.
    bus->set_timing(candidates[index]);
    if (index == 0 && probe) {
        // From the second round on the probe frame is sent actively.
        CanDeviceConfiguration configuration = device->configuration();
        if (configuration.silent) {
            configuration.silent = false;
            device->reconfigure(configuration);
        }
    }
}

void Core::shutdown() {
    const bool inside_handler = fsm.is_current_thread_dispatching();
    fsm.stop();
    if (device) {
        device->unsubscribe(device_subscription);
    }
    dwell_timer.stop();
    overall_timer.stop();
    if (took_bus_down && bus) {
        // Detection did not end in up: the bus is not left down for the others.
        bus->request_state(true);
        took_bus_down = false;
    }
    if (!inside_handler) {
        device.reset();
        bus.reset();
    }
}

platform::Expected<std::shared_ptr<AutoBaudDevice>, TarnlibError> AutoBaudDevice::create(
    const ChannelIdentity& identity, AutoBaudOptions options) {
    std::vector<BusConfiguration> candidates = options.candidates;
    std::shared_ptr<BusDevice> bus = find_bus(identity);
    if (!bus) {
        if (candidates.empty()) {
            return platform::unexpected(
                TarnlibError{Status::tarnERR_PARAM, "timings list can not be empty"});
        }
        bus = get_or_create_bus(candidates.front(), identity);
    } else if (candidates.empty()) {
        BusConfiguration current = bus->configuration();
        current.exclusive = false;
        candidates.push_back(std::move(current));
    }
    const BusConfiguration timing = bus->configuration();
    const std::string suffix = debug_form(timing.name);

    CanDeviceConfiguration configuration;
    configuration.retry_delay = kDeviceRetryDelay;
    configuration.identity = identity;
    configuration.bus = timing;
    configuration.silent = true;
    configuration.exclusive = true;
    configuration.bus_on = true;
    auto device =
        CanDevice::create_unstarted("candevice-autobaud-" + suffix, bus, configuration, false);

    auto core = std::make_shared<Core>("autobaud-fsm-" + suffix, std::move(candidates), options,
                                       device, bus);
    std::weak_ptr<Core> weak = core;
    core->device_subscription =
        device->subscribe([weak](const NetworkEvent& event, std::int32_t token) {
            if (auto a = weak.lock()) {
                a->fsm.dispatch(event, token);
            }
        });
    core->dwell_timer.start("tarnlib_step", [weak] {
        if (auto a = weak.lock()) {
            a->fsm.dispatch(NetworkEvent::of(EventKind::Timeout), kDwellTimer);
        }
    });
    core->overall_timer.start("tarnlib_step", [weak] {
        if (auto a = weak.lock()) {
            a->fsm.dispatch(NetworkEvent::of(EventKind::Timeout), kOverallTimer);
        }
    });
    core->fsm.start();
    // The device starts last: every event it publishes finds the detector running.
    device->start();
    return std::shared_ptr<AutoBaudDevice>(
        new AutoBaudDevice(std::move(core), std::move(device), std::move(bus)));
}

AutoBaudDevice::AutoBaudDevice(std::shared_ptr<Core> core, std::shared_ptr<CanDevice> device,
                               std::shared_ptr<BusDevice> bus)
    : core_(std::move(core)), device_(std::move(device)), bus_(std::move(bus)) {}

AutoBaudDevice::~AutoBaudDevice() {
    core_->shutdown();
}

Notifier::SubscriptionId AutoBaudDevice::subscribe(Notifier::Callback callback,
                                                   std::int32_t token) {
    return core_->notifier.subscribe(std::move(callback), token);
}

void AutoBaudDevice::unsubscribe(Notifier::SubscriptionId id) {
    core_->notifier.unsubscribe(id);
}

const std::shared_ptr<CanDevice>& AutoBaudDevice::can_device() const {
    return device_;
}

const std::shared_ptr<BusDevice>& AutoBaudDevice::bus() const {
    return bus_;
}

const std::string& AutoBaudDevice::name() const {
    return core_->fsm.name();
}

std::string AutoBaudDevice::state_name() const {
    return core_->fsm.state_name();
}

}  // namespace tarnlib
