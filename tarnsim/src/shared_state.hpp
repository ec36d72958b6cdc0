#pragma once
// The state every process of one simulator instance shares, in one named shared-memory
// block guarded by one named mutex. Plain data only: the block is mapped at different
// addresses in different processes, so it holds indices, never pointers.

#include <cstdint>
#include <cstring>

#include "config.hpp"

namespace tarnsim {

inline constexpr std::uint32_t kStateMagic = 0x54534D32;  // "TSM2"
inline constexpr std::size_t kMaxChannels = kMaxInterfaces * kMaxChannelsPerInterface;
// Where frames travel: every bus is one wire, and every channel on no bus has its own.
inline constexpr std::size_t kMaxWires = kMaxBuses + kMaxChannels;
static_assert(kMaxWires <= 64);
// Enough for the 127 clients an RP1210 application may connect, plus peers.
inline constexpr std::size_t kMaxHandles = 160;
inline constexpr std::uint32_t kMaxRxFrames = 1024;
inline constexpr std::uint32_t kMaxTxFrames = 256;
inline constexpr std::uint32_t kDefaultRxFrames = 1024;
inline constexpr std::uint32_t kDefaultTxFrames = 256;
// A queued frame not yet on the wire (its transmitter is off bus or silent); as a time:
// never.
inline constexpr std::int64_t kNotScheduled = INT64_MAX;

struct Frame {
    std::int32_t id;
    std::uint32_t flags;
    std::uint32_t dlc;
    std::uint32_t length;        // data bytes
    std::int64_t time_ns;        // receive: arrival; transmit: end of the frame on the wire
    std::uint16_t nominal_bits;  // length on the wire at the nominal rate
    std::uint16_t data_bits;     // and at the data rate (FD with bit-rate switch)
    std::uint8_t data[64];
};

template <std::uint32_t N>
struct Ring {
    std::uint32_t head;
    std::uint32_t count;
    Frame frames[N];

    void clear() {
        head = 0;
        count = 0;
    }
    Frame& front() { return frames[head]; }
    Frame& at(std::uint32_t i) { return frames[(head + i) % N]; }
    Frame& back() { return at(count - 1); }
    void push(const Frame& f) {
        frames[(head + count) % N] = f;
        ++count;
    }
    void pop() {
        head = (head + 1) % N;
        --count;
    }
};

struct InterfaceState {
    std::uint32_t present;  // configured
    std::uint32_t plugged;
    std::uint32_t generation;  // incremented at each unplug; handles remember theirs
    std::uint32_t channels;
    std::uint64_t ean;
    std::uint64_t serial;
    std::uint32_t card;
    std::uint32_t bus_type;
    std::uint64_t firmware;
    std::uint32_t clock_hz;
    std::uint32_t capabilities;
    std::uint32_t bus_param_limits;
    std::uint32_t fd;
};

struct ChannelState {
    std::int32_t bus;  // -1: wired to nothing
    std::int32_t bitrate;
    std::uint32_t tseg1, tseg2, sjw, samples, sync_mode;
    std::int32_t data_bitrate;
    std::uint32_t data_tseg1, data_tseg2, data_sjw;
    std::uint32_t tx_capacity;
    std::uint32_t rx_capacity;
    std::uint32_t bus_off;  // forced bus off, cleared by tarnBusOn
    std::uint32_t wire;     // its bus's wire, or its own
};

struct BusState {
    std::uint32_t present;
    std::uint32_t foreign_ack;
    std::uint64_t frames;
    std::uint64_t error_frames;
    std::uint64_t bits;
    std::uint64_t busy_ns;
    std::int64_t stats_since_ns;
};

// A bus, or a channel on no bus: when it is free again and which handles listen, so that
// the work per frame grows with the handles on the wire, not with the handle table.
struct WireState {
    std::int64_t busy_until_ns;
    std::uint32_t count;
    std::uint8_t handles[kMaxHandles];  // slots of the open handles on the wire's channels
};
static_assert(kMaxHandles <= 256);

struct HandleState {
    std::uint32_t in_use;
    std::uint32_t owner;    // process token
    std::uint32_t channel;  // interface * kMaxChannelsPerInterface + channel on the interface
    std::uint32_t generation;
    std::uint32_t open_flags;
    std::uint32_t on_bus;
    std::uint32_t silent;
    std::uint32_t txack;
    std::uint32_t local_txack;
    std::uint32_t local_echo;
    std::uint32_t overflow_pending;  // a frame was dropped: the next one is flagged
    std::uint32_t overflow_status;   // a frame was dropped since the last status read
    std::uint32_t wire;
    // Wake-ups. A handle becomes wakeable (for good) when its owner hands out its wait
    // handle or blocks in a read or write sync on it; others then tell the owner about
    // frames for it. Its waiters look again by armed_ns on their own (the earliest end time
    // on the wire when they last looked); a frame that ends earlier, or a change that
    // cannot wait, wakes them: directly in the owner's process, else through the owner's
    // doorbell, with poked telling the owner which handle to look at.
    std::uint32_t wakeable;
    std::uint32_t poked;
    std::int64_t armed_ns;
    Ring<kMaxRxFrames> rx;
    Ring<kMaxTxFrames> tx;
};

struct SharedState {
    std::uint32_t magic;
    std::uint32_t next_token;
    std::int32_t startup_status;
    std::uint32_t paced;
    // The earliest end time of a frame not yet delivered, overall and per wire (never
    // later than the truth; kNotScheduled when none), so that a call finds out at once
    // whether anything is due.
    std::int64_t next_end_ns;
    std::int64_t wire_next_end_ns[kMaxWires];
    std::uint64_t pending_wires;  // bit w: wire w has a frame not yet delivered
    InterfaceState interfaces[kMaxInterfaces];
    ChannelState channels[kMaxChannels];
    BusState buses[kMaxBuses];
    WireState wires[kMaxWires];
    HandleState handles[kMaxHandles];
};

// Puts the block into the state the configuration describes: every interface plugged, no
// handles, nothing on the wires, default bit timing and queue sizes, statistics from now.
// Process tokens stay unique across resets.
void initialise_state(SharedState& s, const Config& config, std::int64_t now);

// Takes the first free slot of the handle table for a handle of the process `owner` on the
// global channel, opened with the flags: off bus, every option off, empty queues, listed on
// its channel's wire. Returns the slot, or kMaxHandles when the table is full.
std::size_t open_handle(SharedState& s, std::uint32_t owner, std::uint32_t global,
                        std::uint32_t flags);

}  // namespace tarnsim
