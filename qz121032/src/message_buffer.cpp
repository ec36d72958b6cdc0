#include "message_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "error_codes.hpp"
#include "platform/log.hpp"

namespace qz121032 {

namespace {

constexpr const char* kTarget = "qz121032::message_buffer";
constexpr std::size_t kPrefixSize = 2;

// What a read has to log once the lock is released.
enum class ReadNote { None, Reported, IncompletePrefix, IncompleteBody };

}  // namespace

const char* to_string(MessageBufferError error) noexcept {
    switch (error) {
        case MessageBufferError::Full:
            return "Message buffer full";
        case MessageBufferError::Corrupted:
            return "Message buffer corrupted";
        case MessageBufferError::OutputTooSmall:
            return "Output buffer too small for message";
        case MessageBufferError::Disconnected:
            return "Client disconnected";
    }
    return "Message buffer error";
}

std::int16_t rp1210_code(MessageBufferError error) noexcept {
    switch (error) {
        case MessageBufferError::Full:
            return ERR_RX_QUEUE_FULL;
        case MessageBufferError::Corrupted:
            return ERR_RX_QUEUE_CORRUPT;
        case MessageBufferError::OutputTooSmall:
            return ERR_MESSAGE_TOO_LONG;
        case MessageBufferError::Disconnected:
            return ERR_CLIENT_DISCONNECTED;
    }
    return ERR_RX_QUEUE_CORRUPT;
}

std::shared_ptr<MessageBuffer> MessageBuffer::create(std::uint32_t capacity) {
    return std::make_shared<MessageBuffer>(Private{}, capacity);
}

// The storage is left uninitialised on purpose: the pages of a large buffer are only
// touched once messages reach them.
MessageBuffer::MessageBuffer(Private, std::uint32_t capacity)
    : capacity_(capacity), storage_(new std::uint8_t[capacity]) {}

std::uint8_t MessageBuffer::byte_at_locked(std::size_t offset) const {
    std::size_t index = head_ + offset;
    if (index >= capacity_) {
        index -= capacity_;
    }
    return storage_[index];
}

void MessageBuffer::push_locked(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    std::size_t tail = head_ + used_;
    if (tail >= capacity_) {
        tail -= capacity_;
    }
    const std::size_t first = std::min(size, capacity_ - tail);
    std::memcpy(storage_.get() + tail, data, first);
    std::memcpy(storage_.get(), data + first, size - first);
    used_ += size;
}

void MessageBuffer::pop_locked(std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    const std::size_t first = std::min(size, capacity_ - head_);
    if (data != nullptr) {
        std::memcpy(data, storage_.get() + head_, first);
        std::memcpy(data + first, storage_.get(), size - first);
    }
    head_ += size;
    if (head_ >= capacity_) {
        head_ -= capacity_;
    }
    used_ -= size;
    if (used_ == 0) {
        head_ = 0;
    }
}

bool MessageBuffer::has_news_locked() const {
    return used_ > 0 || full_ || corrupted_ || disconnected_;
}

std::optional<MessageBufferError> MessageBuffer::write(std::span<const std::uint8_t> message) {
    const std::size_t n = message.size();
    std::size_t used = 0;
    bool stored = false;
    {
        std::lock_guard lock(mutex_);
        used = used_;
        // A longer message would not survive its two-byte length prefix: dropping it keeps
        // the ring consistent.
        if (n <= kMaxMessageSize &&
            static_cast<std::uint64_t>(used) + n + kPrefixSize <= capacity_) {
            const std::uint8_t prefix[kPrefixSize] = {static_cast<std::uint8_t>(n >> 8),
                                                      static_cast<std::uint8_t>(n & 0xFF)};
            push_locked(prefix, kPrefixSize);
            push_locked(message.data(), n);
            stored = true;
        } else {
            full_ = true;
        }
    }
    if (!stored) {
        QZ_LOG_WARN(kTarget, "Message buffer overflow - dropping message ({} bytes, buffer {}/{})",
                    n, used, capacity_);
        return MessageBufferError::Full;
    }
    readable_.notify_one();
    return std::nullopt;
}

platform::Expected<std::size_t, MessageBufferError> MessageBuffer::read(
    std::span<std::uint8_t> out, std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    std::optional<MessageBufferError> error;
    ReadNote note = ReadNote::None;
    std::size_t length = 0;
    {
        std::unique_lock lock(mutex_);
        if (!has_news_locked()) {
            if (timeout <= std::chrono::nanoseconds::zero() || waits_stopped_) {
                return std::size_t{0};
            }
            const std::uint64_t generation = wake_generation_;
            const auto woken = [&] {
                return has_news_locked() || wake_generation_ != generation || waits_stopped_;
            };
            const Clock::time_point now = Clock::now();
            // A deadline that cannot be represented means waiting without limit.
            if (timeout >= Clock::time_point::max() - now) {
                readable_.wait(lock, woken);
            } else {
                const auto deadline = now + std::chrono::duration_cast<Clock::duration>(timeout);
                if (!readable_.wait_until(lock, deadline, woken)) {
                    return std::size_t{0};
                }
            }
            if (!has_news_locked()) {
                return std::size_t{0};  // wake_all()
            }
        }

        if (disconnected_) {
            return platform::unexpected(MessageBufferError::Disconnected);
        }
        if (full_ || corrupted_) {
            // Reported once; the queued messages stay for the next read.
            error = corrupted_ ? MessageBufferError::Corrupted : MessageBufferError::Full;
            note = ReadNote::Reported;
            full_ = false;
            corrupted_ = false;
        } else if (used_ < kPrefixSize) {
            corrupted_ = true;
            error = MessageBufferError::Corrupted;
            note = ReadNote::IncompletePrefix;
        } else {
            length = (static_cast<std::size_t>(byte_at_locked(0)) << 8) | byte_at_locked(1);
            if (used_ < length + kPrefixSize) {
                corrupted_ = true;
                error = MessageBufferError::Corrupted;
                note = ReadNote::IncompleteBody;
            } else if (out.size() < length) {
                return platform::unexpected(MessageBufferError::OutputTooSmall);
            } else {
                pop_locked(nullptr, kPrefixSize);
                pop_locked(out.data(), length);
            }
        }
    }
    switch (note) {
        case ReadNote::None:
            break;
        case ReadNote::Reported:
            QZ_LOG_ERROR(kTarget, "{}", to_string(*error));
            break;
        case ReadNote::IncompletePrefix:
            QZ_LOG_ERROR(kTarget, "Message buffer corruption detected: incomplete length prefix");
            break;
        case ReadNote::IncompleteBody:
            QZ_LOG_ERROR(kTarget, "Message buffer corruption detected: incomplete message body");
            break;
    }
    if (error) {
        return platform::unexpected(*error);
    }
    return length;
}

bool MessageBuffer::is_corrupted() const {
    std::lock_guard lock(mutex_);
    return corrupted_;
}

bool MessageBuffer::take_full() {
    std::lock_guard lock(mutex_);
    return std::exchange(full_, false);
}

void MessageBuffer::clear() {
    std::lock_guard lock(mutex_);
    head_ = 0;
    used_ = 0;
    full_ = false;
    corrupted_ = false;
}

void MessageBuffer::close() {
    {
        std::lock_guard lock(mutex_);
        disconnected_ = true;
    }
    readable_.notify_all();
}

void MessageBuffer::stop_waits() {
    {
        std::lock_guard lock(mutex_);
        waits_stopped_ = true;
    }
    readable_.notify_all();
}

void MessageBuffer::wake_all() {
    {
        std::lock_guard lock(mutex_);
        ++wake_generation_;
    }
    readable_.notify_all();
}

platform::Expected<std::size_t, std::int16_t> MessageBufferReceiveQueue::read(
    std::span<std::uint8_t> out, std::chrono::nanoseconds wait) {
    auto read = buffer_->read(out, wait);
    if (!read) {
        return platform::unexpected(rp1210_code(read.error()));
    }
    return *read;
}

}  // namespace qz121032
