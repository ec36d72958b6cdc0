#include "wire.hpp"

#include <algorithm>
#include <bit>

#include "frame_bits.hpp"
#include "tarnlib/driver_api.h"

namespace tarnsim {

// How long a frame is on the wire at the sending channel's rates.
std::int64_t duration_ns(const Frame& f, const ChannelState& ch) {
    const std::int64_t nominal = ch.bitrate > 0 ? ch.bitrate : 500000;
    const std::int64_t data = ch.data_bitrate > 0 ? ch.data_bitrate : nominal;
    return f.nominal_bits * 1'000'000'000LL / nominal + f.data_bits * 1'000'000'000LL / data;
}

void measure(Frame& f) {
    const FrameBits bits = frame_bits(f);
    f.nominal_bits = static_cast<std::uint16_t>(bits.nominal);
    f.data_bits = static_cast<std::uint16_t>(bits.data);
}

Frame error_frame(std::int64_t time_ns) {
    Frame f{};
    f.flags = TARN_MSG_ERROR_FRAME;
    f.time_ns = time_ns;
    measure(f);
    return f;
}

bool card_ok(const SharedState& s, const HandleState& h) {
    const InterfaceState& is = s.interfaces[h.channel / kMaxChannelsPerInterface];
    return is.plugged && is.generation == h.generation;
}

bool receiving(const SharedState& s, const HandleState& h) {
    return h.in_use && h.on_bus && !s.channels[h.channel].bus_off && card_ok(s, h);
}

bool transmitting(const SharedState& s, const HandleState& h) {
    return receiving(s, h) && !h.silent;
}

void add_to_wire(SharedState& s, std::size_t slot) {
    WireState& wire = s.wires[s.handles[slot].wire];
    wire.handles[wire.count++] = static_cast<std::uint8_t>(slot);
}

void remove_from_wire(SharedState& s, std::size_t slot) {
    WireState& wire = s.wires[s.handles[slot].wire];
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        if (wire.handles[i] == slot) {
            wire.handles[i] = wire.handles[--wire.count];
            return;
        }
    }
}

namespace {

bool timing_matches(const ChannelState& a, std::int32_t bitrate, std::int32_t data_bitrate,
                    const Frame& f) {
    if (a.bitrate != bitrate) {
        return false;
    }
    return !(f.flags & TARN_MSG_BRS) || a.data_bitrate == data_bitrate;
}

// A handle the sender's frame reaches when it ends: other channels of the wire, the sender
// itself with transmit acknowledgements, its channel's other handles with local echo.
bool reaches(const SharedState& s, const HandleState& sender, const HandleState& h) {
    if (!receiving(s, h)) {
        return false;
    }
    if (&h == &sender) {
        return h.txack != 0;
    }
    return h.channel != sender.channel || h.local_echo != 0;
}

// A frame with this end time is on the wire now.
void note_pending(SharedState& s, std::uint32_t wire, std::int64_t end) {
    s.wire_next_end_ns[wire] = std::min(s.wire_next_end_ns[wire], end);
    s.next_end_ns = std::min(s.next_end_ns, end);
    s.pending_wires |= std::uint64_t{1} << wire;
}

void push_rx(SharedState& s, std::size_t slot, Frame f, WireWakeups& wakeups) {
    HandleState& h = s.handles[slot];
    if (h.rx.count >= s.channels[h.channel].rx_capacity) {
        h.overflow_pending = 1;
        h.overflow_status = 1;
        return;
    }
    if (h.overflow_pending) {
        f.flags |= TARN_MSG_SW_OVERRUN;
        h.overflow_pending = 0;
    }
    const bool was_empty = h.rx.count == 0;
    h.rx.push(f);
    if (was_empty) {
        // Waiters armed for this end time or earlier wake by themselves.
        wakeups.frame_for(s, slot, f.time_ns);
    }
}

void deliver(SharedState& s, std::size_t sender_slot, const Frame& f, WireWakeups& wakeups) {
    const HandleState& sender = s.handles[sender_slot];
    const ChannelState& from = s.channels[sender.channel];
    const std::int32_t bus = from.bus;
    const WireState& wire = s.wires[sender.wire];

    if (bus >= 0) {
        BusState& b = s.buses[bus];
        ++b.frames;
        b.bits += static_cast<std::uint64_t>(f.nominal_bits) + f.data_bits;
        b.busy_ns += static_cast<std::uint64_t>(duration_ns(f, from));
    }

    // A frame is acknowledged by any active, non-silent node on another channel of the bus
    // that reads it correctly, or by the bus's foreign node.
    bool acked = bus >= 0 && s.buses[bus].foreign_ack;
    for (std::uint32_t i = 0; i < wire.count && !acked && bus >= 0; ++i) {
        const HandleState& h = s.handles[wire.handles[i]];
        if (h.channel != sender.channel && transmitting(s, h) &&
            timing_matches(s.channels[h.channel], from.bitrate, from.data_bitrate, f)) {
            acked = true;
        }
    }

    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t slot = wire.handles[i];
        const HandleState& h = s.handles[slot];
        if (!reaches(s, sender, h)) {
            continue;
        }
        Frame copy = f;
        if (slot == sender_slot) {
            copy.flags |= acked ? TARN_MSG_TXACK : TARN_MSG_TXNACK;
        } else if (h.channel == sender.channel) {
            if (h.local_txack) {
                copy.flags |= TARN_MSG_LOCAL_TXACK;
            }
        } else if (!timing_matches(s.channels[h.channel], from.bitrate, from.data_bitrate, f)) {
            copy = error_frame(f.time_ns);
        }
        push_rx(s, slot, copy, wakeups);
    }
}

void deliver_due(SharedState& s, std::uint32_t w, std::int64_t now, WireWakeups& wakeups) {
    // Frames leave the transmit queues in the order they were put on the wire, which is the
    // order of their end times.
    const WireState& wire = s.wires[w];
    for (;;) {
        std::size_t sender = kMaxHandles;
        std::int64_t first = kNotScheduled;
        for (std::uint32_t i = 0; i < wire.count; ++i) {
            HandleState& h = s.handles[wire.handles[i]];
            if (h.tx.count > 0 && h.tx.front().time_ns < first) {
                sender = wire.handles[i];
                first = h.tx.front().time_ns;
            }
        }
        if (first > now) {
            s.wire_next_end_ns[w] = first;
            return;
        }
        HandleState& h = s.handles[sender];
        const Frame f = h.tx.front();
        h.tx.pop();
        if (card_ok(s, h)) {
            deliver(s, sender, f, wakeups);
        }
    }
}

}  // namespace

void schedule(SharedState& s, std::size_t slot, Frame& f, std::int64_t now, WireWakeups& wakeups) {
    HandleState& h = s.handles[slot];
    const ChannelState& ch = s.channels[h.channel];
    WireState& wire = s.wires[h.wire];
    if (!s.paced) {
        f.time_ns = now;
    } else {
        f.time_ns = std::max(wire.busy_until_ns, now) + duration_ns(f, ch);
        wire.busy_until_ns = f.time_ns;
    }
    note_pending(s, h.wire, f.time_ns);
    // Waiters for this frame that would look later wake at its end.
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t other = wire.handles[i];
        if (reaches(s, h, s.handles[other])) {
            wakeups.frame_for(s, other, f.time_ns);
        }
    }
}

void schedule_pending(SharedState& s, std::size_t slot, std::int64_t now, WireWakeups& wakeups) {
    HandleState& h = s.handles[slot];
    if (!transmitting(s, h)) {
        return;
    }
    for (std::uint32_t i = 0; i < h.tx.count; ++i) {
        Frame& f = h.tx.at(i);
        if (f.time_ns == kNotScheduled) {
            schedule(s, slot, f, now, wakeups);
        }
    }
}

void advance(SharedState& s, std::int64_t now, WireWakeups& wakeups) {
    if (now < s.next_end_ns) {
        return;
    }
    std::int64_t next = kNotScheduled;
    for (std::uint64_t pending = s.pending_wires; pending != 0; pending &= pending - 1) {
        const auto w = static_cast<std::uint32_t>(std::countr_zero(pending));
        if (s.wire_next_end_ns[w] <= now) {
            deliver_due(s, w, now, wakeups);
        }
        if (s.wire_next_end_ns[w] == kNotScheduled) {
            s.pending_wires &= ~(std::uint64_t{1} << w);
        }
        next = std::min(next, s.wire_next_end_ns[w]);
    }
    s.next_end_ns = next;
}

void inject_frame(SharedState& s, std::uint32_t bus, const Frame& f, std::int32_t bitrate,
                  std::int64_t now, WireWakeups& wakeups) {
    BusState& b = s.buses[bus];
    WireState& wire = s.wires[bus];
    ChannelState sender{};
    sender.bitrate = bitrate;
    const std::int64_t duration = duration_ns(f, sender);
    wire.busy_until_ns = std::max(wire.busy_until_ns, now) + duration;
    ++b.frames;
    b.bits += static_cast<std::uint64_t>(f.nominal_bits) + f.data_bits;
    b.busy_ns += static_cast<std::uint64_t>(duration);
    if (f.flags & TARN_MSG_ERROR_FRAME) {
        ++b.error_frames;
    }
    for (std::uint32_t i = 0; i < wire.count; ++i) {
        const std::size_t slot = wire.handles[i];
        const HandleState& h = s.handles[slot];
        if (receiving(s, h)) {
            const bool readable =
                (f.flags & TARN_MSG_ERROR_FRAME) || s.channels[h.channel].bitrate == bitrate;
            push_rx(s, slot, readable ? f : error_frame(now), wakeups);
        }
    }
}

void end_all_now(SharedState& s, std::int64_t now) {
    for (std::uint32_t w = 0; w < kMaxWires; ++w) {
        for (std::uint32_t i = 0; i < s.wires[w].count; ++i) {
            HandleState& h = s.handles[s.wires[w].handles[i]];
            for (std::uint32_t n = 0; n < h.tx.count; ++n) {
                if (h.tx.at(n).time_ns != kNotScheduled) {
                    h.tx.at(n).time_ns = now;
                    note_pending(s, w, now);
                }
            }
        }
    }
}

}  // namespace tarnsim
