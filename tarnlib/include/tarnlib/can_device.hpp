#pragma once
// One user's connection to one CAN channel. A CanDevice owns a driver handle while it is
// open and keeps it open against unplugging, busy channels and configuration changes; it
// reads frames on its own thread "{name}_rx" and publishes them, with its status events,
// to its subscribers; and it forwards writes. It is attached to the BusDevice of its
// channel, which it consults before opening and whose notifications move it.
//
// States: "waiting", "opening", "configured", "up", "busy", "missing", "misconfigured".
// Status events published: Up, Down, Configured, Busy, Missing, Misconfigured. Frames
// events come from the read thread, one per batch, in driver order.
//
// Threads: "{name}_step" (time-outs), "{name}_cfg" (re-evaluation after reconfigure or a
// read failure), "{name}_rx" while a handle is open. Dropping the last reference stops and
// joins them all, releases an exclusive claim and closes the handle; it must not happen
// inside one of the device's own callbacks. Subscribers are called on those threads and
// on the bus's thread: they must not block on anything the thread that drops the device
// holds.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_message.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/state_machine/notifier.hpp"

namespace tarnlib {

struct CanDeviceConfiguration {
    // Between open attempts in busy and missing; absent: no automatic retry from there.
    std::optional<std::chrono::milliseconds> retry_delay = std::chrono::seconds(1);
    ChannelIdentity identity;
    BusConfiguration bus;
    bool silent = false;     // output control silent instead of normal
    bool exclusive = false;  // open with exclusive access (claimed on the BusDevice)
    bool bus_on = true;      // go on bus after opening

    friend bool operator==(const CanDeviceConfiguration&, const CanDeviceConfiguration&) = default;
};

class AutoBaudDevice;

class CanDevice {
  public:
    // Starts in waiting and opens as soon as the bus is up. An empty name is "unnamed".
    static std::shared_ptr<CanDevice> create(std::string name, std::shared_ptr<BusDevice> bus,
                                             CanDeviceConfiguration configuration);

    CanDevice(const CanDevice&) = delete;
    CanDevice& operator=(const CanDevice&) = delete;
    ~CanDevice();

    // Stores a configuration that differs in any field and makes the device re-evaluate
    // (close and reopen) from its "{name}_cfg" thread; true then. An identical one changes
    // nothing.
    bool reconfigure(CanDeviceConfiguration configuration);
    CanDeviceConfiguration configuration() const;

    // The driver calls; tarnERR_INVHANDLE without an open handle.
    Status write(const CanMessage& message);
    Status write_sync(std::uint32_t timeout_ms);
    TarnResult<std::uint32_t> read_status();  // bits 0-10
    TarnResult<std::uint32_t> bus_type();
    TarnResult<std::uint64_t> firmware_revision();
    // The timing the driver reports; nullopt without an open handle.
    std::optional<TarnResult<BusConfiguration>> current_timing();
    bool is_open() const;

    Notifier::SubscriptionId subscribe(Notifier::Callback callback, std::int32_t token = 0);
    void unsubscribe(Notifier::SubscriptionId id);

    // Waits until the device is up, at most the timeout: true when it is up already or
    // becomes up in that time. The waiter is subscribed before the state is looked at, so
    // an Up published meanwhile is not missed.
    bool wait_until_up(std::chrono::milliseconds timeout,
                       std::string waiter_name = "can_device_up");

    // Waits until the device is up or busy (the channel refused: held exclusively, or at
    // another timing by another program), at most the timeout; true when it is in one of
    // them already or gets there in that time.
    bool wait_until_up_or_busy(std::chrono::milliseconds timeout);
    // The channel's timing when the driver last refused this device's timing because
    // another program has the channel on the bus at it; nullopt otherwise.
    std::optional<BusConfiguration> timing_in_use_elsewhere() const;

    const std::string& name() const;
    std::string state_name() const;
    bool is_up() const;
    const std::shared_ptr<BusDevice>& bus() const;
    // Open attempts so far (each try of opening the channel, successful or not).
    std::uint64_t open_attempts() const;

    struct Core;

  private:
    friend class AutoBaudDevice;
    // A device whose machine has not started yet, so that a subscriber can be in place
    // before its first event. follows_bus false: the device of the automatic bit-rate
    // detector, which drives the bus state itself and so opens whether or not the bus is
    // up, and ignores its Up and Down.
    static std::shared_ptr<CanDevice> create_unstarted(std::string name,
                                                       std::shared_ptr<BusDevice> bus,
                                                       CanDeviceConfiguration configuration,
                                                       bool follows_bus);
    void start();
    CanDevice(std::shared_ptr<Core> core, std::shared_ptr<BusDevice> bus);

    std::shared_ptr<Core> core_;
    const std::shared_ptr<BusDevice> bus_;
};

}  // namespace tarnlib
