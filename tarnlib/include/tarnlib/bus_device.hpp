#pragma once
// One physical CAN bus, reached through one channel and shared by every user of that
// channel: the bus timing they agree on, the exclusive-access claim, and whether the bus is
// usable ("up"). The CanDevice objects of the channel subscribe to its notifier; the
// automatic bit-rate detector changes its timing and takes it down and up. A process-wide
// registry holds at most one BusDevice per channel, without owning it: the bus lives while
// someone holds it, and a later request for the channel creates a new one.
//
// Notifications (Up, Down, Reevaluate) come from the bus's own thread "{name}_step": the
// changes below only record what is wanted and wake that thread, so they may be called
// from inside any machine's handler.

#include <memory>
#include <string>

#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/state_machine/notifier.hpp"

namespace tarnlib {

class BusDevice {
  public:
    BusDevice(const BusDevice&) = delete;
    BusDevice& operator=(const BusDevice&) = delete;
    // Stops and joins the bus's thread.
    ~BusDevice();

    bool is_up() const;
    // The configuration in force; its exclusive field is the exclusive-access claim.
    BusConfiguration configuration() const;
    // Stores a timing (kind and phases; the name and the claim stay) that does not match
    // the current one, and makes the bus send Reevaluate. A matching timing changes nothing.
    void set_timing(const BusConfiguration& timing);
    // Sets the claim to wanted; when that changed it, the bus sends Reevaluate and the
    // result is true.
    bool claim_exclusive(bool wanted);
    // For the automatic bit-rate detector: brings the bus down (publishing Down) or up
    // again (publishing Up).
    void request_state(bool up);

    Notifier& notifier();
    const ChannelIdentity& identity() const;
    // "bus-" and the channel identity's text.
    const std::string& name() const;
    // "up", "down".
    std::string state_name() const;

    struct Core;

  private:
    friend std::shared_ptr<BusDevice> get_or_create_bus(const BusConfiguration&,
                                                        const ChannelIdentity&);
    static std::shared_ptr<BusDevice> create(const BusConfiguration& configuration,
                                             const ChannelIdentity& identity);
    explicit BusDevice(std::shared_ptr<Core> core);

    std::shared_ptr<Core> core_;
};

// The registry's BusDevice for the channel, created with the configuration when there is
// none. An existing bus is returned whatever its timing; a timing that does not match is
// logged (callers that need the same timing compare with timing_matches).
std::shared_ptr<BusDevice> get_or_create_bus(const BusConfiguration& configuration,
                                             const ChannelIdentity& identity);
// The registry's BusDevice for the channel, or null.
std::shared_ptr<BusDevice> find_bus(const ChannelIdentity& identity);

// Both classic or both FD, and for each phase used: |rate difference| within the existing
// phase's bit-rate tolerance and |sample point difference| within its sample-point
// tolerance (absolute differences).
bool timing_matches(const BusConfiguration& existing, const BusConfiguration& requested);

}  // namespace tarnlib
