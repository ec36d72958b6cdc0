#pragma once
// The broadcast list of a client: up to 16 RP1210 messages that the client's transmit thread
// sends again and again, each at its own interval, without the application sending them.
// The application manages it with Set_Broadcast_For_CAN (21) or Set_Broadcast_For_J1939
// (22); both use the same parameter block, handled here:
//
//   byte 0     operation: 1 add, 2 read, 3 clear, 4 remove, 5 count
//   byte 1     result, written by the command
//   bytes 2-3  add: interval in ms (least significant byte first); read, remove: byte 2 is
//              the entry index
//   bytes 4-5  add, read: message length (least significant byte first)
//   bytes 6... add, read: the message
//
// BroadcastList is the schedule itself; it never reads a clock, so the caller passes the
// current time in. SharedBroadcastList is the list as a client keeps it: behind its own
// mutex, shared by the command handler and the transmit thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "message_buffer.hpp"
#include "platform/expected.hpp"

namespace qz121032 {

class BroadcastList {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = Clock::duration;

    static constexpr std::size_t kMaxEntries = 16;
    // Written into byte 1 when an add finds the list full.
    static constexpr std::uint8_t kListFull = 255;

    // Runs the operation in byte 0 of the parameter block and writes its results back into
    // the block. A new entry is due at `now`. Fails with ERR_INVALID_COMMAND (144) for an
    // empty block, an unknown operation, a block too short for the operation, or a full
    // list (then byte 1 is 255).
    platform::Expected<platform::Ok, std::int16_t> command(std::span<std::uint8_t> block,
                                                           TimePoint now);

    // Hands every entry that is due at `now` to `sink` (as a span of its message bytes), in
    // list order, and schedules its next sending one interval later; an entry that would
    // still be due then (the caller fell behind) is scheduled one interval from `now`, so
    // that missed sendings are not made up in a burst. Returns the time until the earliest
    // next sending (zero when it has passed), or nullopt when the list is empty.
    template <class Sink>
    std::optional<Duration> collect_due(TimePoint now, Sink&& sink) {
        for (Entry& entry : entries_) {
            if (entry.next_due > now) {
                continue;
            }
            sink(std::span<const std::uint8_t>(entry.message));
            entry.next_due += entry.interval;
            if (entry.next_due <= now) {
                entry.next_due = now + entry.interval;
            }
        }
        return until_next_due(now);
    }

    // Time until the earliest entry is due (zero when that has passed), or nullopt when the
    // list is empty.
    std::optional<Duration> until_next_due(TimePoint now) const;

    std::size_t size() const noexcept { return entries_.size(); }

  private:
    struct Entry {
        std::chrono::milliseconds interval;
        TimePoint next_due;
        // An RP1210 message in the send format of the client's protocol, not validated.
        std::vector<std::uint8_t> message;
    };

    platform::Expected<platform::Ok, std::int16_t> add(std::span<std::uint8_t> block,
                                                       TimePoint now);
    platform::Expected<platform::Ok, std::int16_t> read(std::span<std::uint8_t> block) const;

    std::vector<Entry> entries_;  // in the order they were added; the index is the position
};

class SharedBroadcastList {
  public:
    using Clock = BroadcastList::Clock;
    using Duration = BroadcastList::Duration;

    // Set_Broadcast_For_CAN / Set_Broadcast_For_J1939: runs the command under the list's
    // lock. On success every waiter of the transmit buffer is woken, so that the transmit
    // thread recomputes its wait for the changed list at once. The result value is 0.
    platform::Expected<std::uint16_t, std::int16_t> command(std::span<std::uint8_t> block,
                                                            MessageBuffer& transmit_buffer);

    // For the transmit thread: under the list's lock, hands every due message to `inject`
    // (which writes it into the transmit buffer, so that a message collected here is queued
    // before a later command can change the list), and returns how long the thread may wait
    // for its next message: the time until the next entry is due, at most `longest`.
    template <class Inject>
    Duration inject_due(Duration longest, Inject&& inject) {
        std::lock_guard lock(mutex_);
        const std::optional<Duration> wait =
            list_.collect_due(Clock::now(), std::forward<Inject>(inject));
        return wait && *wait < longest ? *wait : longest;
    }

    // inject_due into the transmit buffer of a transmit thread that reads each message into
    // an area of `max_message` bytes. The list does not check its messages: one longer than
    // that area would stay at the head of the buffer for good and block every message
    // behind it, and an empty one would read as no message at all, so both are refused here
    // with the decoder's "Failed to deserialize Tx message" (logged to `log_target`), as the
    // decoder refuses any other invalid one. A full buffer drops a message with its
    // overflow warning; the entry stays scheduled.
    Duration queue_due(Duration longest, MessageBuffer& transmit_buffer, std::size_t max_message,
                       const char* log_target);

  private:
    std::mutex mutex_;  // guards list_
    BroadcastList list_;
};

}  // namespace qz121032
