#include "tarnlib/bus_device.hpp"

#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <utility>

#include "tarnlib/state_machine/fsm.hpp"
#include "tarnlib/state_machine/runtime_core.hpp"

namespace tarnlib {

struct BusDevice::Core {
    using Machine = Fsm<Core>;

    Core(const BusConfiguration& initial, const ChannelIdentity& channel);

    static Machine::Outcome up_state(Core& bus, const NetworkEvent& event, std::int32_t);
    static Machine::Outcome down_state(Core& bus, const NetworkEvent& event, std::int32_t);
    // The bus timer: Reevaluate for changes of timing or claim, then the state the detector
    // asked for.
    Machine::Outcome on_timeout(bool currently_up);

    const ChannelIdentity identity;
    const std::string name;

    mutable std::mutex mutex;  // guards configuration, reevaluate_pending, requested_up
    BusConfiguration configuration;
    bool reevaluate_pending = false;
    std::optional<bool> requested_up;

    std::atomic<bool> up{false};
    Notifier notifier;
    Machine fsm;
    ThreadControl step;  // "{name}_step": Timeout
};

namespace {

using Machine = BusDevice::Core::Machine;

constexpr Machine::State kStates[] = {
    {&BusDevice::Core::up_state, "up"},
    {&BusDevice::Core::down_state, "down"},
};

}  // namespace

BusDevice::Core::Core(const BusConfiguration& initial, const ChannelIdentity& channel)
    : identity(channel),
      name("bus-" + to_string(channel)),
      configuration(initial),
      fsm(name, *this, &Core::up_state, kStates) {}

Machine::Outcome BusDevice::Core::up_state(Core& bus, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
            bus.up.store(true);
            bus.notifier.notify(NetworkEvent::of(EventKind::Up));
            return Machine::handled();
        case EventKind::Exit:
            bus.up.store(false);
            bus.notifier.notify(NetworkEvent::of(EventKind::Down));
            return Machine::handled();
        case EventKind::Timeout:
            return bus.on_timeout(true);
        case EventKind::Down:
            return Machine::transition(&Core::down_state);
        default:
            return Machine::handled();
    }
}

Machine::Outcome BusDevice::Core::down_state(Core& bus, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Timeout:
            return bus.on_timeout(false);
        case EventKind::Up:
            return Machine::transition(&Core::up_state);
        default:
            return Machine::handled();
    }
}

Machine::Outcome BusDevice::Core::on_timeout(bool currently_up) {
    bool reevaluate = false;
    std::optional<bool> wanted;
    {
        std::lock_guard lock(mutex);
        reevaluate = std::exchange(reevaluate_pending, false);
        wanted = std::exchange(requested_up, std::nullopt);
    }
    if (reevaluate) {
        notifier.notify(NetworkEvent::of(EventKind::Reevaluate));
    }
    if (wanted && *wanted != currently_up) {
        return Machine::transition(*wanted ? &Core::up_state : &Core::down_state);
    }
    return Machine::handled();
}

std::shared_ptr<BusDevice> BusDevice::create(const BusConfiguration& configuration,
                                             const ChannelIdentity& identity) {
    auto core = std::make_shared<Core>(configuration, identity);
    std::weak_ptr<Core> weak = core;
    core->step.start(core->name + "_step", [weak] {
        if (auto bus = weak.lock()) {
            bus->fsm.dispatch(NetworkEvent::of(EventKind::Timeout), 0);
        }
    });
    core->fsm.start();
    return std::shared_ptr<BusDevice>(new BusDevice(std::move(core)));
}

BusDevice::BusDevice(std::shared_ptr<Core> core) : core_(std::move(core)) {}

BusDevice::~BusDevice() {
    core_->fsm.stop();
    core_->step.stop();
}

bool BusDevice::is_up() const {
    return core_->up.load();
}

BusConfiguration BusDevice::configuration() const {
    std::lock_guard lock(core_->mutex);
    return core_->configuration;
}

void BusDevice::set_timing(const BusConfiguration& timing) {
    {
        std::lock_guard lock(core_->mutex);
        if (timing_matches(core_->configuration, timing)) {
            return;
        }
        core_->configuration.kind = timing.kind;
        core_->configuration.nominal = timing.nominal;
        core_->configuration.data = timing.data;
        core_->reevaluate_pending = true;
    }
    core_->step.set_timeout(std::chrono::nanoseconds(0));
}

bool BusDevice::claim_exclusive(bool wanted) {
    {
        std::lock_guard lock(core_->mutex);
        if (core_->configuration.exclusive == wanted) {
            return false;
        }
        core_->configuration.exclusive = wanted;
        core_->reevaluate_pending = true;
    }
    core_->step.set_timeout(std::chrono::nanoseconds(0));
    return true;
}

void BusDevice::request_state(bool up) {
    {
        std::lock_guard lock(core_->mutex);
        core_->requested_up = up;
    }
    core_->step.set_timeout(std::chrono::nanoseconds(0));
}

Notifier& BusDevice::notifier() {
    return core_->notifier;
}

const ChannelIdentity& BusDevice::identity() const {
    return core_->identity;
}

const std::string& BusDevice::name() const {
    return core_->name;
}

std::string BusDevice::state_name() const {
    return core_->fsm.state_name();
}

bool timing_matches(const BusConfiguration& existing, const BusConfiguration& requested) {
    auto phase_matches = [](const BusPhase& e, const BusPhase& r) {
        return std::fabs(e.bitrate - r.bitrate) <= e.bitrate_tolerance &&
               std::fabs(e.sample_point - r.sample_point) <= e.sample_point_tolerance;
    };
    if (existing.kind != requested.kind) {
        return false;
    }
    return phase_matches(existing.nominal, requested.nominal) &&
           (existing.kind != BusKind::Fd || phase_matches(existing.data, requested.data));
}

}  // namespace tarnlib
