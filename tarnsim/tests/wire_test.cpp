// The wire model alone, on a bare shared state with time stepped by the test: exact end
// times, who receives what, and whom the model names for waking. The frame is the one of
// frame_bits_test.cpp that is 111 bits long (id 0x2AA, eight bytes 0xAA): 222 us at the
// default 500 kbit/s.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "config.hpp"
#include "shared_state.hpp"
#include "tarnlib/driver_api.h"
#include "wire.hpp"

namespace {

using namespace tarnsim;

constexpr std::int64_t kFrameNs = 222'000;
constexpr std::uint32_t kFrameFlags = TARN_MSG_STD;

class Recorder final : public WireWakeups {
  public:
    void frame_for(SharedState&, std::size_t slot, std::int64_t at) override {
        calls.emplace_back(slot, at);
    }
    std::vector<std::pair<std::size_t, std::int64_t>> calls;
};

// One interface with two channels on bus 0 (channels 0 and 1).
class Wire : public ::testing::Test {
  protected:
    Wire() : s_(std::make_unique<SharedState>()) { initialise_state(*s_, default_config(), 0); }

    // Opens a handle on the channel and puts it on bus.
    std::size_t open(std::uint32_t channel) {
        const std::size_t slot = open_handle(*s_, 1, channel, 0);
        s_->handles[slot].on_bus = 1;
        return slot;
    }
    HandleState& handle(std::size_t slot) { return s_->handles[slot]; }

    // Writes the frame as tarnWrite does: on the wire if the handle transmits, then queued.
    // Returns its end time.
    std::int64_t write(std::size_t slot, std::int64_t now) {
        Frame f{};
        f.id = 0x2AA;
        f.flags = kFrameFlags;
        f.dlc = f.length = 8;
        std::memset(f.data, 0xAA, 8);
        measure(f);
        if (transmitting(*s_, handle(slot))) {
            schedule(*s_, slot, f, now, wakeups_);
        } else {
            f.time_ns = kNotScheduled;
        }
        handle(slot).tx.push(f);
        return f.time_ns;
    }

    // The flags and time of each frame the handle received, emptying its queue.
    std::vector<std::pair<std::uint32_t, std::int64_t>> received(std::size_t slot) {
        std::vector<std::pair<std::uint32_t, std::int64_t>> frames;
        for (auto& rx = handle(slot).rx; rx.count > 0; rx.pop()) {
            frames.emplace_back(rx.front().flags, rx.front().time_ns);
        }
        return frames;
    }

    using Got = std::vector<std::pair<std::uint32_t, std::int64_t>>;

    std::unique_ptr<SharedState> s_;
    Recorder wakeups_;
};

// Frames queue on the wire first come first served and arrive at their end, not before; a
// frame queued while its sender is silent goes on the wire when it transmits; a foreign node
// occupies the wire; unpaced, what is on the wire ends at once.
TEST_F(Wire, EndTimes) {
    const std::size_t a = open(0);
    const std::size_t b = open(1);
    using Calls = std::vector<std::pair<std::size_t, std::int64_t>>;

    EXPECT_EQ(write(a, 1'000'000), 1'000'000 + kFrameNs);
    EXPECT_EQ(write(a, 1'100'000), 1'000'000 + 2 * kFrameNs);  // after the first
    EXPECT_EQ(wakeups_.calls, (Calls{{b, 1'222'000}, {b, 1'444'000}}));
    advance(*s_, 1'221'999, wakeups_);
    EXPECT_TRUE(received(b).empty());
    advance(*s_, 1'222'000, wakeups_);
    advance(*s_, 1'500'000, wakeups_);
    EXPECT_EQ(received(b), (Got{{kFrameFlags, 1'222'000}, {kFrameFlags, 1'444'000}}));
    EXPECT_EQ(s_->next_end_ns, kNotScheduled);  // nothing left for callers to look at

    handle(a).silent = 1;
    EXPECT_EQ(write(a, 2'000'000), kNotScheduled);
    advance(*s_, 3'000'000, wakeups_);
    EXPECT_TRUE(received(b).empty());
    handle(a).silent = 0;
    schedule_pending(*s_, a, 3'000'000, wakeups_);
    advance(*s_, 3'000'000 + kFrameNs, wakeups_);
    EXPECT_EQ(received(b), (Got{{kFrameFlags, 3'000'000 + kFrameNs}}));

    Frame foreign{};
    foreign.flags = TARN_MSG_ERROR_FRAME;
    measure(foreign);  // 20 bits: 40 us
    foreign.time_ns = 4'000'000;
    inject_frame(*s_, 0, foreign, 500000, 4'000'000, wakeups_);
    EXPECT_EQ(received(b), (Got{{TARN_MSG_ERROR_FRAME, 4'000'000}}));
    EXPECT_EQ(write(a, 4'010'000), 4'040'000 + kFrameNs);

    s_->paced = 0;
    end_all_now(*s_, 4'100'000);
    advance(*s_, 4'100'000, wakeups_);
    EXPECT_EQ(received(b), (Got{{kFrameFlags, 4'100'000}}));
    EXPECT_EQ(write(a, 5'000'000), 5'000'000);
}

// Who receives a frame of the sender S on channel 0, with another handle L on channel 0 and
// a peer P on channel 1, and how it is flagged.
TEST_F(Wire, Delivery) {
    constexpr std::uint32_t kNothing = ~0u;
    constexpr std::uint32_t kError = TARN_MSG_ERROR_FRAME;
    struct Row {
        const char* name;
        std::uint32_t txack, echo, local_txack;  // txack on S; echo and local_txack on L
        std::int32_t peer_rate;
        std::uint32_t peer_silent, peer_on_bus, foreign_ack;
        std::uint32_t to_s, to_l, to_p;  // the flags each gets, or kNothing
    };
    const Row rows[] = {
        {"acknowledged by the peer", 1, 0, 0, 500000, 0, 1, 0,  //
         kFrameFlags | TARN_MSG_TXACK, kNothing, kFrameFlags},
        {"no acknowledgements asked for", 0, 0, 0, 500000, 0, 1, 0,  //
         kNothing, kNothing, kFrameFlags},
        {"a silent peer listens, does not acknowledge", 1, 0, 0, 500000, 1, 1, 0,
         kFrameFlags | TARN_MSG_TXNACK, kNothing, kFrameFlags},
        {"a peer at another rate sees an error frame", 1, 0, 0, 250000, 0, 1, 0,
         kFrameFlags | TARN_MSG_TXNACK, kNothing, kError},
        {"the foreign node acknowledges", 1, 0, 0, 250000, 0, 1, 1, kFrameFlags | TARN_MSG_TXACK,
         kNothing, kError},
        {"a peer off bus hears nothing", 1, 0, 0, 500000, 0, 0, 0, kFrameFlags | TARN_MSG_TXNACK,
         kNothing, kNothing},
        {"local echo", 0, 1, 0, 500000, 0, 1, 0, kNothing, kFrameFlags, kFrameFlags},
        {"local echo flagged", 0, 1, 1, 500000, 0, 1, 0, kNothing,
         kFrameFlags | TARN_MSG_LOCAL_TXACK, kFrameFlags},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        initialise_state(*s_, default_config(), 0);
        s_->buses[0].foreign_ack = row.foreign_ack;
        s_->channels[1].bitrate = row.peer_rate;
        const std::size_t sender = open(0);
        const std::size_t local = open(0);
        const std::size_t peer = open(1);
        handle(sender).txack = row.txack;
        handle(local).local_echo = row.echo;
        handle(local).local_txack = row.local_txack;
        handle(peer).silent = row.peer_silent;
        handle(peer).on_bus = row.peer_on_bus;

        const std::int64_t end = write(sender, 0);
        advance(*s_, end, wakeups_);
        for (auto [slot, expected] :
             {std::pair{sender, row.to_s}, std::pair{local, row.to_l}, std::pair{peer, row.to_p}}) {
            EXPECT_EQ(received(slot), expected == kNothing ? Got{} : (Got{{expected, kFrameNs}}))
                << "slot " << slot;
        }
    }
}

// A full receive queue drops the frame and flags the next one stored.
TEST_F(Wire, ReceiveOverflow) {
    s_->channels[1].rx_capacity = 1;
    const std::size_t a = open(0);
    const std::size_t b = open(1);
    write(a, 0);
    write(a, 0);
    const std::int64_t last = write(a, 0);
    advance(*s_, last, wakeups_);
    EXPECT_EQ(received(b), (Got{{kFrameFlags, kFrameNs}}));
    EXPECT_EQ(handle(b).overflow_status, 1u);
    advance(*s_, write(a, last), wakeups_);
    EXPECT_EQ(received(b), (Got{{kFrameFlags | TARN_MSG_SW_OVERRUN, last + kFrameNs}}));
}

}  // namespace
