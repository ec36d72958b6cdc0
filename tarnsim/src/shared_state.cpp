#include "shared_state.hpp"

#include <algorithm>
#include <cstring>

#include "wire.hpp"

namespace tarnsim {

void initialise_state(SharedState& s, const Config& config, std::int64_t now) {
    const std::uint32_t token = s.next_token;
    std::memset(static_cast<void*>(&s), 0, sizeof(SharedState));
    s.magic = kStateMagic;
    s.next_token = token;  // tokens stay unique across resets
    s.paced = 1;
    s.next_end_ns = kNotScheduled;
    std::fill(std::begin(s.wire_next_end_ns), std::end(s.wire_next_end_ns), kNotScheduled);
    for (std::size_t c = 0; c < kMaxChannels; ++c) {
        ChannelState& ch = s.channels[c];
        ch.bus = -1;
        ch.bitrate = 500000;
        ch.tseg1 = 11;
        ch.tseg2 = 4;
        ch.sjw = 1;
        ch.samples = 1;
        ch.data_bitrate = 2000000;
        ch.data_tseg1 = 11;
        ch.data_tseg2 = 4;
        ch.data_sjw = 1;
        ch.tx_capacity = kDefaultTxFrames;
        ch.rx_capacity = kDefaultRxFrames;
    }
    for (std::size_t i = 0; i < config.interfaces.size() && i < kMaxInterfaces; ++i) {
        const InterfaceConfig& c = config.interfaces[i];
        InterfaceState& is = s.interfaces[i];
        is.present = 1;
        is.plugged = 1;
        is.channels = c.channels;
        is.ean = c.ean;
        is.serial = c.serial;
        is.card = c.card;
        is.bus_type = c.bus_type;
        is.firmware = c.firmware;
        is.clock_hz = c.clock_hz;
        is.capabilities = c.capabilities;
        is.bus_param_limits = c.bus_param_limits ? 1 : 0;
        is.fd = c.fd ? 1 : 0;
    }
    for (std::size_t b = 0; b < config.buses.size() && b < kMaxBuses; ++b) {
        s.buses[b].present = 1;
        s.buses[b].foreign_ack = config.buses[b].foreign_ack ? 1 : 0;
        s.buses[b].stats_since_ns = now;
        for (const ChannelRef& m : config.buses[b].members) {
            s.channels[m.interface_index * kMaxChannelsPerInterface + m.channel].bus =
                static_cast<std::int32_t>(b);
        }
    }
    for (std::size_t c = 0; c < kMaxChannels; ++c) {
        ChannelState& ch = s.channels[c];
        ch.wire = ch.bus >= 0 ? static_cast<std::uint32_t>(ch.bus)
                              : static_cast<std::uint32_t>(kMaxBuses + c);
    }
}

std::size_t open_handle(SharedState& s, std::uint32_t owner, std::uint32_t global,
                        std::uint32_t flags) {
    std::size_t slot = 0;
    while (slot < kMaxHandles && s.handles[slot].in_use) {
        ++slot;
    }
    if (slot == kMaxHandles) {
        return kMaxHandles;
    }
    HandleState& h = s.handles[slot];
    h.in_use = 1;
    h.owner = owner;
    h.channel = global;
    h.generation = s.interfaces[global / kMaxChannelsPerInterface].generation;
    h.open_flags = flags;
    h.on_bus = 0;
    h.silent = 0;
    h.txack = 0;
    h.local_txack = 0;
    h.local_echo = 0;
    h.overflow_pending = 0;
    h.overflow_status = 0;
    h.wire = s.channels[global].wire;
    h.wakeable = 0;
    h.poked = 0;
    h.armed_ns = kNotScheduled;
    h.rx.clear();
    h.tx.clear();
    add_to_wire(s, slot);
    return slot;
}

}  // namespace tarnsim
