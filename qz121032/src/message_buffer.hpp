#pragma once
// A bounded first-in-first-out queue of variable-length messages in one byte ring, each
// message preceded by its length as two bytes, high byte first. Every client has two: the
// receive buffer (bus -> RP1210_ReadMessage) and the transmit buffer (RP1210_SendMessage
// -> transmit thread).
//
// The capacity counts bytes, length prefixes included, and is reserved when the buffer is
// made, so that a write never allocates. A message that does not fit is dropped, and the
// next read reports the overflow once before the messages still queued. Close wakes every
// blocked reader with Disconnected.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "client.hpp"
#include "platform/expected.hpp"

namespace qz121032 {

enum class MessageBufferError { Full, Corrupted, OutputTooSmall, Disconnected };

// "Message buffer full", "Message buffer corrupted", "Output buffer too small for message",
// "Client disconnected".
const char* to_string(MessageBufferError error) noexcept;

// The code RP1210_ReadMessage answers for the error: 139, 140, 141, 148.
std::int16_t rp1210_code(MessageBufferError error) noexcept;

class MessageBuffer {
    struct Private {};

  public:
    // Longest message the two-byte length prefix can describe.
    static constexpr std::size_t kMaxMessageSize = 0xFFFF;

    static std::shared_ptr<MessageBuffer> create(std::uint32_t capacity);
    MessageBuffer(Private, std::uint32_t capacity);
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;

    // Appends the message, or drops it and answers Full when it does not fit (or is longer
    // than kMaxMessageSize). Writing after close() still stores the message.
    [[nodiscard]] std::optional<MessageBufferError> write(std::span<const std::uint8_t> message);

    // Moves the oldest message into `out` and returns its length, waiting up to `timeout`
    // for one (zero: no wait; std::chrono::nanoseconds::max(): without limit). Returns 0
    // when nothing arrived in time or wake_all() was called during the wait. A message
    // longer than `out` stays queued (OutputTooSmall).
    [[nodiscard]] platform::Expected<std::size_t, MessageBufferError> read(
        std::span<std::uint8_t> out, std::chrono::nanoseconds timeout);

    bool is_corrupted() const;
    // The overflow flag, cleared in the same step.
    bool take_full();
    // Empties the ring and clears the overflow and corruption flags (not disconnected).
    void clear();
    // Marks the buffer disconnected for good and wakes every blocked reader.
    void close();
    // Makes every blocked read return 0 without changing the contents or the flags, so that
    // a reader waiting for a deadline of its own can recompute it.
    void wake_all();
    // For the reader thread's stop: every read from now on, and every blocked one, returns 0
    // at once without waiting. Unlike wake_all(), a stop made just before the reader starts
    // to wait is not missed.
    void stop_waits();

    std::uint32_t capacity() const noexcept { return capacity_; }

  private:
    // The caller holds mutex_.
    std::uint8_t byte_at_locked(std::size_t offset) const;
    void push_locked(const std::uint8_t* data, std::size_t size);
    void pop_locked(std::uint8_t* data, std::size_t size);
    bool has_news_locked() const;

    const std::uint32_t capacity_;

    mutable std::mutex mutex_;  // guards every member below
    // The ring: used_ bytes starting at head_, wrapping at the end of the storage.
    const std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t head_ = 0;
    std::size_t used_ = 0;
    bool full_ = false;          // a message was dropped for lack of room
    bool corrupted_ = false;     // the ring's contents were found inconsistent
    bool disconnected_ = false;  // closed; never cleared
    // Bumped by wake_all(); a waiting reader that sees it change returns.
    std::uint64_t wake_generation_ = 0;
    bool waits_stopped_ = false;  // set by stop_waits(); never cleared
    std::condition_variable readable_;
};

// The receive side of a client as the API layer reads it: one message per read, the
// buffer's errors turned into RP1210 codes.
class MessageBufferReceiveQueue final : public ReceiveQueue {
  public:
    explicit MessageBufferReceiveQueue(std::shared_ptr<MessageBuffer> buffer)
        : buffer_(std::move(buffer)) {}

    platform::Expected<std::size_t, std::int16_t> read(std::span<std::uint8_t> out,
                                                       std::chrono::nanoseconds wait) override;

    const std::shared_ptr<MessageBuffer>& buffer() const noexcept { return buffer_; }

  private:
    std::shared_ptr<MessageBuffer> buffer_;
};

}  // namespace qz121032
