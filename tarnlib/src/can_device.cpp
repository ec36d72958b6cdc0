#include "tarnlib/can_device.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/event.hpp"
#include "platform/log.hpp"
#include "platform/thread.hpp"
#include "tarnlib/can_handle.hpp"
#include "tarnlib/driver_api.h"
#include "tarnlib/driver_library.hpp"
#include "tarnlib/state_machine/event_waiter.hpp"
#include "tarnlib/state_machine/fsm.hpp"
#include "tarnlib/state_machine/runtime_core.hpp"

namespace tarnlib {

namespace {

constexpr const char* kTarget = "tarnlib::network_system::can_device";
// The read thread looks at the driver again after this long without a signal.
constexpr std::chrono::milliseconds kReadWait{100};
constexpr std::chrono::seconds kMisconfiguredRetry{1};
constexpr std::chrono::nanoseconds kNow{0};

std::string text(Status status) {
    return status_name(static_cast<std::int32_t>(status));
}

// The read thread of one open handle and its stop flag.
struct ReadThread {
    platform::Thread thread;
    std::shared_ptr<std::atomic<bool>> stop;
    void* wait_handle = nullptr;  // the driver event it waits on; set to end the wait
};

}  // namespace

struct CanDevice::Core : std::enable_shared_from_this<Core> {
    using Machine = Fsm<Core>;
    using Outcome = Machine::Outcome;

    Core(std::string device_name, std::shared_ptr<BusDevice> bus_device,
         CanDeviceConfiguration initial, bool follow);

    static Outcome waiting(Core& d, const NetworkEvent& event, std::int32_t);
    static Outcome opening(Core& d, const NetworkEvent& event, std::int32_t);
    static Outcome configured(Core& d, const NetworkEvent& event, std::int32_t);
    static Outcome up(Core& d, const NetworkEvent& event, std::int32_t);
    static Outcome busy(Core& d, const NetworkEvent& event, std::int32_t);
    static Outcome missing(Core& d, const NetworkEvent& event, std::int32_t);
    static Outcome misconfigured(Core& d, const NetworkEvent& event, std::int32_t);

    void publish(EventKind kind) { notifier.notify(NetworkEvent::of(kind)); }
    CanDeviceConfiguration current_configuration() const;
    // Claims or releases exclusive access when the configuration asks for a change, else
    // tries to open.
    Outcome exclusive_step_or_open();
    // Where a successful or failed open leads.
    Outcome after_open(Status status) const;
    // Opens the channel, prepares the handle, stores it and starts the read thread.
    Status open_attempt();
    // Takes the handle out of the slot, ends its read thread and closes it; leaving up,
    // the handle goes off bus first and failures are logged.
    void close_handle(bool leaving_up);
    std::optional<CanHandle> take_handle();
    void start_read_thread();
    void stop_read_thread();
    static void read_loop(const std::weak_ptr<Core>& weak, const std::atomic<bool>& stop);
    void shutdown();

    const std::string name;
    const bool follows_bus;
    // Used by the handlers; released by shutdown once no handler runs any more.
    std::shared_ptr<BusDevice> bus;
    Notifier notifier;
    Notifier::SubscriptionId bus_subscription = 0;
    std::atomic<std::uint64_t> open_attempts{0};

    mutable std::mutex config_mutex;  // guards configuration, exclusive_held, timing_in_use
    // The channel's timing when the driver last refused ours because another program has
    // the channel on the bus at it; cleared by an open that succeeds or fails otherwise.
    std::optional<BusConfiguration> timing_in_use;
    CanDeviceConfiguration configuration;
    bool exclusive_held = false;  // this device holds the bus's exclusive claim

    // Touched by handlers only (dispatches are serialised): after this device changed the
    // exclusive claim, waiting waits for the Reevaluate the bus sends for it rather than
    // reopening at once, which would only be undone by that Reevaluate.
    bool awaiting_bus = false;

    mutable std::mutex slot_mutex;  // guards handle and wait_handle
    std::optional<CanHandle> handle;
    void* wait_handle = nullptr;  // owned by the handle

    std::mutex read_mutex;  // guards reader
    ReadThread reader;

    Machine fsm;
    ThreadControl step;  // "{name}_step": Timeout
    ThreadControl cfg;   // "{name}_cfg": Reevaluate
};

namespace {

using Core = CanDevice::Core;
using Machine = Core::Machine;

constexpr Machine::State kStates[] = {
    {&Core::waiting, "waiting"},
    {&Core::opening, "opening"},
    {&Core::configured, "configured"},
    {&Core::up, "up"},
    {&Core::busy, "busy"},
    {&Core::missing, "missing"},
    {&Core::misconfigured, "misconfigured"},
};

}  // namespace

Core::Core(std::string device_name, std::shared_ptr<BusDevice> bus_device,
           CanDeviceConfiguration initial, bool follow)
    : name(device_name.empty() ? "unnamed" : std::move(device_name)),
      follows_bus(follow),
      bus(std::move(bus_device)),
      configuration(std::move(initial)),
      fsm(name, *this, &Core::waiting, kStates) {}

Core::Outcome Core::waiting(Core& d, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
            if (!d.awaiting_bus) {
                d.step.set_timeout(kNow);
            }
            return Machine::handled();
        case EventKind::Reevaluate:
            d.awaiting_bus = false;
            d.step.set_timeout(kNow);
            return Machine::handled();
        case EventKind::Timeout:
            if (!d.follows_bus || d.bus->is_up()) {
                return Machine::transition(&Core::opening);
            }
            return Machine::handled();
        case EventKind::Up:
            return Machine::transition(&Core::opening);
        case EventKind::Exit:
            d.step.cancel();
            d.awaiting_bus = false;
            return Machine::handled();
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::opening(Core& d, const NetworkEvent& event, std::int32_t) {
    if (event.kind != EventKind::Entry) {
        return Machine::handled();
    }
    d.step.cancel();
    return d.exclusive_step_or_open();
}

Core::Outcome Core::configured(Core& d, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
            d.publish(EventKind::Configured);
            return Machine::handled();
        case EventKind::Exit:
            d.close_handle(false);
            d.publish(EventKind::Down);
            return Machine::handled();
        case EventKind::Timeout:
        case EventKind::Reevaluate:
        case EventKind::Down:
            return Machine::transition(&Core::waiting);
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::up(Core& d, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
            d.step.cancel();
            d.publish(EventKind::Up);
            return Machine::handled();
        case EventKind::Exit:
            d.close_handle(true);
            d.publish(EventKind::Down);
            return Machine::handled();
        case EventKind::Timeout:
        case EventKind::Reevaluate:
        case EventKind::Down:
            return Machine::transition(&Core::waiting);
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::busy(Core& d, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
            d.publish(EventKind::Busy);
            d.step.set_timeout(d.current_configuration().retry_delay);
            return Machine::handled();
        case EventKind::Exit:
            d.publish(EventKind::Down);
            return Machine::handled();
        case EventKind::Timeout:
            return Machine::transition(&Core::opening);
        case EventKind::Reevaluate:
        case EventKind::Down:
            return Machine::transition(&Core::waiting);
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::missing(Core& d, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
        case EventKind::Timeout: {
            const Status status = d.open_attempt();
            if (status == Status::tarnOK || status == Status::tarnERR_NO_ACCESS) {
                return d.after_open(status);
            }
            if (event.kind == EventKind::Entry) {
                d.publish(EventKind::Missing);
            }
            d.step.set_timeout(d.current_configuration().retry_delay);
            return Machine::handled();
        }
        case EventKind::Reevaluate:
        case EventKind::Down:
            return Machine::transition(&Core::waiting);
        default:
            return Machine::handled();
    }
}

Core::Outcome Core::misconfigured(Core& d, const NetworkEvent& event, std::int32_t) {
    switch (event.kind) {
        case EventKind::Entry:
            d.publish(EventKind::Misconfigured);
            d.step.set_timeout(kMisconfiguredRetry);
            return Machine::handled();
        case EventKind::Timeout:
            return Machine::transition(&Core::opening);
        case EventKind::Reevaluate:
        case EventKind::Down:
            return Machine::transition(&Core::waiting);
        default:
            return Machine::handled();
    }
}

CanDeviceConfiguration Core::current_configuration() const {
    std::lock_guard lock(config_mutex);
    return configuration;
}

Core::Outcome Core::exclusive_step_or_open() {
    {
        std::lock_guard lock(config_mutex);
        const std::string identity = to_string(configuration.identity);
        if (configuration.exclusive && !exclusive_held) {
            if (bus->claim_exclusive(true)) {
                exclusive_held = true;
                awaiting_bus = true;
                QZ_LOG_DEBUG(kTarget, "CanDevice::opening: {} claimed exclusive access to bus",
                             identity);
                return Machine::transition(&Core::waiting);
            }
            // Someone else holds the claim: retry from busy. Going back to waiting would
            // come straight back here, round and round.
            QZ_LOG_DEBUG(kTarget, "CanDevice::opening: {} failed to claim exclusive access to bus",
                         identity);
            return Machine::transition(&Core::busy);
        }
        if (!configuration.exclusive && exclusive_held) {
            const bool was_held = bus->claim_exclusive(false);
            if (was_held) {
                QZ_LOG_DEBUG(kTarget, "CanDevice::opening: {} released exclusive access to bus",
                             identity);
            } else {
                QZ_LOG_ERROR(kTarget,
                             "CanDevice::opening: {} released exclusive access to bus but was not "
                             "held according to bus",
                             identity);
            }
            exclusive_held = false;
            awaiting_bus = was_held;
            return Machine::transition(&Core::waiting);
        }
    }
    return after_open(open_attempt());
}

Core::Outcome Core::after_open(Status status) const {
    switch (status) {
        case Status::tarnOK:
            return Machine::transition(current_configuration().bus_on ? &Core::up
                                                                      : &Core::configured);
        case Status::tarnERR_NO_ACCESS:
            return Machine::transition(&Core::busy);
        case Status::tarnERR_NOCARD:
        case Status::tarnERR_NOTFOUND:
            return Machine::transition(&Core::missing);
        default:
            return Machine::transition(&Core::misconfigured);
    }
}

Status Core::open_attempt() {
    open_attempts.fetch_add(1);
    const CanDeviceConfiguration config = current_configuration();
    const BusConfiguration timing = bus->configuration();
    const CanOpenFlags flags{config.exclusive ? CanOpenFlags::EXCLUSIVE : 0u};
    std::optional<BusConfiguration> in_use;
    auto opened = [&] {
        // Discovery and open together: channel numbers change when interfaces come and go.
        std::lock_guard driver(DriverLibrary::instance().driver_lock());
        ChannelDirectory::instance().discover_locked();
        return CanHandle::open(config.identity, timing, flags, &in_use);
    }();
    {
        std::lock_guard lock(config_mutex);
        timing_in_use = in_use;
    }
    if (!opened) {
        return opened.error();
    }
    CanHandle h = std::move(opened.value());  // closed on every early return

    if (Status st =
            h.set_output_control(config.silent ? OutputControl::Silent : OutputControl::Normal);
        st != Status::tarnOK) {
        return st;
    }
    for (std::uint32_t function : {TARN_IOCTL_SET_TXACK, TARN_IOCTL_SET_TIMER_SCALE,
                                   TARN_IOCTL_SET_LOCAL_TXECHO, TARN_IOCTL_SET_LOCAL_TXACK}) {
        if (Status st = h.io_ctl(function, 1); st != Status::tarnOK) {
            return st;
        }
    }
    if (config.bus_on) {
        if (Status st = h.bus_on(); st != Status::tarnOK) {
            return st;
        }
    }
    auto wait = h.wait_handle();
    if (!wait) {
        QZ_LOG_ERROR(kTarget, "Failed to create wait handle: {}, closing handle",
                     text(wait.error()));
        return wait.error();
    }

    stop_read_thread();
    {
        std::lock_guard lock(slot_mutex);
        if (handle) {
            QZ_LOG_WARN(kTarget, "Replacing existing CAN handle {}, dropping old handle",
                        to_string(*handle));
            (void)handle->close();
        }
        handle.emplace(std::move(h));
        wait_handle = *wait;
    }
    start_read_thread();
    return Status::tarnOK;
}

std::optional<CanHandle> Core::take_handle() {
    std::lock_guard lock(slot_mutex);
    std::optional<CanHandle> taken = std::move(handle);
    handle.reset();
    wait_handle = nullptr;
    return taken;
}

void Core::close_handle(bool leaving_up) {
    std::optional<CanHandle> h = take_handle();
    // The read thread may be waiting on the handle's event: it ends before the handle does.
    stop_read_thread();
    if (!h) {
        return;
    }
    if (leaving_up) {
        if (Status st = h->bus_off(); st != Status::tarnOK) {
            QZ_LOG_ERROR(kTarget, "Failed to bus off CAN handle during up state exit: {}",
                         text(st));
        }
    }
    if (Status st = h->close(); st != Status::tarnOK && leaving_up) {
        QZ_LOG_ERROR(kTarget, "Failed to close CAN handle during up state exit: {}", text(st));
    }
}

void Core::start_read_thread() {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    void* wait = nullptr;
    {
        std::lock_guard lock(slot_mutex);
        wait = wait_handle;
    }
    std::weak_ptr<Core> weak = weak_from_this();
    // Raised: refused without the privilege.
    platform::Thread thread(name + "_rx", platform::ThreadPriority::Raised,
                            [weak, stop] { read_loop(weak, *stop); });
    std::lock_guard lock(read_mutex);
    reader = ReadThread{std::move(thread), std::move(stop), wait};
}

void Core::stop_read_thread() {
    ReadThread old;
    {
        std::lock_guard lock(read_mutex);
        old = std::move(reader);
        reader = ReadThread{};
    }
    if (old.stop) {
        old.stop->store(true);
        // The thread waits on the driver's event: setting it ends the wait at once. The
        // handle is closed only after the thread ended, so the event still exists.
        platform::set_native_event(old.wait_handle);
    }
    if (old.thread.is_current()) {
        old.thread.detach();  // stopped from a callback on it: it ends when that returns
    } else {
        old.thread.join();
    }
}

void Core::read_loop(const std::weak_ptr<Core>& weak, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        auto d = weak.lock();
        if (!d) {
            return;
        }
        std::optional<TarnResult<std::vector<CanMessage>>> batch;
        void* wait = nullptr;
        {
            std::lock_guard lock(d->slot_mutex);
            if (!d->handle) {
                return;
            }
            batch.emplace(d->handle->read(0));
            wait = d->wait_handle;
        }
        if (!*batch) {
            QZ_LOG_ERROR(kTarget, "Failed to read from CAN handle: {}, exiting read thread",
                         text(batch->error()));
            // The handle is broken (the interface is gone, say): the machine closes it and
            // opens again, from its re-evaluation thread.
            d->cfg.set_timeout(kNow);
            return;
        }
        if (!(*batch)->empty()) {
            // The driver flags the first frame stored after its queue dropped some: the
            // loss happened below us, but whoever reads the log should know of it.
            for (const CanMessage& m : **batch) {
                if (m.flag.has(CanMsgFlags::SW_OVERRUN) || m.flag.has(CanMsgFlags::HW_OVERRUN)) {
                    QZ_LOG_WARN(kTarget,
                                "{}: the CAN driver's receive queue overflowed, frames were lost",
                                d->name);
                }
            }
            d->notifier.notify(NetworkEvent::with_frames(std::move(batch->value())));
        }
        // Whoever stops this thread closes the handle after it ended: check before waiting
        // on the handle's event, which a stop from inside the notification above would
        // already have closed.
        if (stop.load()) {
            return;
        }
        d.reset();  // the wait does not keep the device alive
        // Frames, the stop (which sets the event) or, at the latest, the read that notices a
        // driver that went away without signalling.
        platform::wait_native_event(wait, kReadWait);
    }
}

void Core::shutdown() {
    const bool inside_handler = fsm.is_current_thread_dispatching();
    fsm.stop();
    if (bus) {
        bus->notifier().unsubscribe(bus_subscription);
    }
    step.stop();
    cfg.stop();
    std::optional<CanHandle> h = take_handle();
    stop_read_thread();
    if (h) {
        (void)h->bus_off();
        QZ_LOG_DEBUG(kTarget, "Closing CAN handle {} during shutdown", to_string(*h));
        (void)h->close();
    }
    {
        // An exclusive claim left behind would keep every other device off the bus.
        std::lock_guard lock(config_mutex);
        if (exclusive_held && bus) {
            bus->claim_exclusive(false);
            exclusive_held = false;
        }
    }
    if (!inside_handler) {
        bus.reset();
    }
}

std::shared_ptr<CanDevice> CanDevice::create(std::string name, std::shared_ptr<BusDevice> bus,
                                             CanDeviceConfiguration configuration) {
    auto device = create_unstarted(std::move(name), std::move(bus), std::move(configuration), true);
    device->start();
    return device;
}

std::shared_ptr<CanDevice> CanDevice::create_unstarted(std::string name,
                                                       std::shared_ptr<BusDevice> bus,
                                                       CanDeviceConfiguration configuration,
                                                       bool follows_bus) {
    auto core = std::make_shared<Core>(std::move(name), bus, std::move(configuration), follows_bus);
    std::weak_ptr<Core> weak = core;
    core->step.start(core->name + "_step", [weak] {
        if (auto d = weak.lock()) {
            d->fsm.dispatch(NetworkEvent::of(EventKind::Timeout), 0);
        }
    });
    core->cfg.start(core->name + "_cfg", [weak] {
        if (auto d = weak.lock()) {
            d->fsm.dispatch(NetworkEvent::of(EventKind::Reevaluate), 0);
        }
    });
    core->bus_subscription = bus->notifier().subscribe(
        [weak, follows_bus](const NetworkEvent& event, std::int32_t token) {
            if (!follows_bus && (event.kind == EventKind::Up || event.kind == EventKind::Down)) {
                return;
            }
            if (auto d = weak.lock()) {
                d->fsm.dispatch(event, token);
            }
        });
    return std::shared_ptr<CanDevice>(new CanDevice(std::move(core), std::move(bus)));
}

void CanDevice::start() {
    core_->fsm.start();
}

CanDevice::CanDevice(std::shared_ptr<Core> core, std::shared_ptr<BusDevice> bus)
    : core_(std::move(core)), bus_(std::move(bus)) {}

CanDevice::~CanDevice() {
    core_->shutdown();
}

bool CanDevice::reconfigure(CanDeviceConfiguration configuration) {
    {
        std::lock_guard lock(core_->config_mutex);
        if (core_->configuration == configuration) {
            return false;
        }
        core_->configuration = std::move(configuration);
    }
    core_->cfg.set_timeout(kNow);
    return true;
}

CanDeviceConfiguration CanDevice::configuration() const {
    return core_->current_configuration();
}

Status CanDevice::write(const CanMessage& message) {
    std::lock_guard lock(core_->slot_mutex);
    return core_->handle ? core_->handle->write(message) : Status::tarnERR_INVHANDLE;
}

Status CanDevice::write_sync(std::uint32_t timeout_ms) {
    std::lock_guard lock(core_->slot_mutex);
    return core_->handle ? core_->handle->write_sync(timeout_ms) : Status::tarnERR_INVHANDLE;
}

TarnResult<std::uint32_t> CanDevice::read_status() {
    std::lock_guard lock(core_->slot_mutex);
    if (!core_->handle) {
        return platform::unexpected(Status::tarnERR_INVHANDLE);
    }
    return core_->handle->read_status();
}

TarnResult<std::uint32_t> CanDevice::bus_type() {
    std::lock_guard lock(core_->slot_mutex);
    if (!core_->handle) {
        return platform::unexpected(Status::tarnERR_INVHANDLE);
    }
    return core_->handle->bus_type();
}

TarnResult<std::uint64_t> CanDevice::firmware_revision() {
    std::lock_guard lock(core_->slot_mutex);
    if (!core_->handle) {
        return platform::unexpected(Status::tarnERR_INVHANDLE);
    }
    return core_->handle->firmware_revision();
}

std::optional<TarnResult<BusConfiguration>> CanDevice::current_timing() {
    std::lock_guard lock(core_->slot_mutex);
    if (!core_->handle) {
        return std::nullopt;
    }
    return core_->handle->get_timing();
}

bool CanDevice::is_open() const {
    std::lock_guard lock(core_->slot_mutex);
    return core_->handle.has_value();
}

Notifier::SubscriptionId CanDevice::subscribe(Notifier::Callback callback, std::int32_t token) {
    return core_->notifier.subscribe(std::move(callback), token);
}

void CanDevice::unsubscribe(Notifier::SubscriptionId id) {
    core_->notifier.unsubscribe(id);
}

bool CanDevice::wait_until_up(std::chrono::milliseconds timeout, std::string waiter_name) {
    auto waiter = EventWaiter::create(std::move(waiter_name), NetworkEvent::of(EventKind::Up));
    const Notifier::SubscriptionId id = subscribe(waiter->callback());
    const bool reached = is_up() || waiter->wait(timeout);
    unsubscribe(id);
    return reached;
}

bool CanDevice::wait_until_up_or_busy(std::chrono::milliseconds timeout) {
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        bool seen = false;
    };
    auto seen = std::make_shared<Seen>();
    const Notifier::SubscriptionId id = subscribe([seen](const NetworkEvent& event, std::int32_t) {
        if (event.kind == EventKind::Up || event.kind == EventKind::Busy) {
            std::lock_guard lock(seen->mutex);
            seen->seen = true;
            seen->changed.notify_all();
        }
    });
    bool reached = is_up() || state_name() == "busy";
    if (!reached) {
        std::unique_lock lock(seen->mutex);
        reached = seen->changed.wait_for(lock, timeout, [&] { return seen->seen; });
    }
    unsubscribe(id);
    return reached;
}

std::optional<BusConfiguration> CanDevice::timing_in_use_elsewhere() const {
    std::lock_guard lock(core_->config_mutex);
    return core_->timing_in_use;
}

const std::string& CanDevice::name() const {
    return core_->name;
}

std::string CanDevice::state_name() const {
    return core_->fsm.state_name();
}

bool CanDevice::is_up() const {
    return core_->fsm.is_in(&Core::up);
}

const std::shared_ptr<BusDevice>& CanDevice::bus() const {
    return bus_;
}

std::uint64_t CanDevice::open_attempts() const {
    return core_->open_attempts.load();
}

}  // namespace tarnlib
