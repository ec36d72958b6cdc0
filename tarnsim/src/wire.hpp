#pragma once
// The wire model: frames on the wire of each bus (or of a channel on no bus), their delivery
// when they end, and their acknowledgement. Pure over the shared state and the instant the
// caller passes: the model reads no clock and touches nothing of a process. It names the
// handles whose waiters a frame concerns through WireWakeups; how they are woken is the
// caller's business. Functions taking SharedState& expect the named mutex held.

#include <cstddef>
#include <cstdint>

#include "shared_state.hpp"

namespace tarnsim {

// Told that a frame for the handle in `slot` ends at `at` (or has ended then and waits in
// its receive queue): the handle's waiters should look again by then.
class WireWakeups {
  public:
    virtual void frame_for(SharedState& s, std::size_t slot, std::int64_t at) = 0;

  protected:
    ~WireWakeups() = default;
};

// ---- frames ----

// Sets the frame's length on the wire in bits (from its id, flags and data).
void measure(Frame& f);
// How long a frame is on the wire at the sending channel's rates.
std::int64_t duration_ns(const Frame& f, const ChannelState& ch);
// An error frame ending at the time, measured.
Frame error_frame(std::int64_t time_ns);

// ---- handles ----

// The handle's interface is plugged and has not been unplugged since the handle was opened.
bool card_ok(const SharedState& s, const HandleState& h);
// Open, on bus, its channel not bus off, its interface there.
bool receiving(const SharedState& s, const HandleState& h);
// Receiving and not silent: it sends and acknowledges.
bool transmitting(const SharedState& s, const HandleState& h);
// Lists the handle in `slot` on its wire (h.wire), or takes it off.
void add_to_wire(SharedState& s, std::size_t slot);
void remove_from_wire(SharedState& s, std::size_t slot);

// ---- the wire ----

// Puts a frame the handle in `slot` sends on its wire, first come first served: it ends its
// duration after the wire is free (now at the earliest), or at now when unpaced. Sets
// f.time_ns; the caller queues the frame in the handle's transmit ring.
void schedule(SharedState& s, std::size_t slot, Frame& f, std::int64_t now, WireWakeups& wakeups);
// Schedules the handle's queued frames that are not on the wire yet, if it transmits.
void schedule_pending(SharedState& s, std::size_t slot, std::int64_t now, WireWakeups& wakeups);
// Delivers every frame that has ended by now, in the order of their end times: to the other
// channels of the wire (an error frame where the bit timing differs), back to the sender with
// TXACK or TXNACK when it asked for acknowledgements, and to the sender channel's other
// handles with local echo.
void advance(SharedState& s, std::int64_t now, WireWakeups& wakeups);
// A foreign node's frame (or error frame) on a bus at a bit rate, delivered at once to every
// receiving handle on it (an error frame to those at another rate); the wire is busy for it.
void inject_frame(SharedState& s, std::uint32_t bus, const Frame& f, std::int32_t bitrate,
                  std::int64_t now, WireWakeups& wakeups);
// Every frame on a wire ends now (the wire stopped being paced); advance() delivers them.
void end_all_now(SharedState& s, std::int64_t now);

}  // namespace tarnsim
