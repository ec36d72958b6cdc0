#pragma once
// Finds an unknown bit rate. The detector drives its own silent, exclusive CanDevice through
// a list of candidate timings, changing the timing of the channel's BusDevice, until frames
// arrive, then makes the device an ordinary one (normal output, not exclusive) and reports
// the bus up.
//
// States: "setting_up", "waiting_for_can", "looking_for_traffic", "reconfiguring", "up",
// "fail_timeout". Subscribers get TimingReport (timing set) for each candidate watched,
// Missing and Busy of its CanDevice, Up (timing set) when detection ends in up, and
// DetectionFailed when the overall limit passes first.
//
// Threads: two "tarnlib_step" (the dwell time, the overall limit). Dropping the last
// reference stops and joins them; it must not happen inside one of the detector's own
// callbacks. The CanDevice lives on while someone holds it (can_device()).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/expected.hpp"
#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/can_message.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/state_machine/notifier.hpp"

namespace tarnlib {

struct AutoBaudOptions {
    // Tried in order, round and round. May be empty when the channel has a BusDevice already:
    // its timing is then the only candidate.
    std::vector<BusConfiguration> candidates;
    std::optional<std::chrono::milliseconds> dwell;          // how long each one is watched
    std::optional<std::chrono::milliseconds> overall_limit;  // none: for ever
    // Sent once on each candidate while the device is not silent: from the second round on.
    std::optional<CanMessage> probe;
};

class AutoBaudDevice {
  public:
    // Error "timings list can not be empty" (tarnERR_PARAM) without candidates and without
    // a BusDevice for the channel. A new BusDevice starts with the first candidate.
    static platform::Expected<std::shared_ptr<AutoBaudDevice>, TarnlibError> create(
        const ChannelIdentity& identity, AutoBaudOptions options);

    AutoBaudDevice(const AutoBaudDevice&) = delete;
    AutoBaudDevice& operator=(const AutoBaudDevice&) = delete;
    ~AutoBaudDevice();

    Notifier::SubscriptionId subscribe(Notifier::Callback callback, std::int32_t token = 0);
    void unsubscribe(Notifier::SubscriptionId id);

    // Named "candevice-autobaud-" and the bus name in debug form ("None", "Some(\"...\")").
    const std::shared_ptr<CanDevice>& can_device() const;
    const std::shared_ptr<BusDevice>& bus() const;
    // "autobaud-fsm-" and the bus name in debug form.
    const std::string& name() const;
    std::string state_name() const;

    struct Core;

  private:
    AutoBaudDevice(std::shared_ptr<Core> core, std::shared_ptr<CanDevice> device,
                   std::shared_ptr<BusDevice> bus);

    std::shared_ptr<Core> core_;
    const std::shared_ptr<CanDevice> device_;
    const std::shared_ptr<BusDevice> bus_;
};

}  // namespace tarnlib
