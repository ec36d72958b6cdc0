// The broadcast list: the parameter block of Set_Broadcast_For_CAN / Set_Broadcast_For_J1939
// and the schedule the transmit threads collect due messages from.

#include "broadcast_list.hpp"

#include <algorithm>
#include <cstring>

#include "error_codes.hpp"
#include "platform/log.hpp"

namespace qz121032 {

namespace {

enum Operation : std::uint8_t { kAdd = 1, kRead = 2, kClear = 3, kRemove = 4, kCount = 5 };

// Byte offsets in the parameter block.
constexpr std::size_t kResult = 1;
constexpr std::size_t kIndex = 2;
constexpr std::size_t kInterval = 2;
constexpr std::size_t kLength = 4;
constexpr std::size_t kMessage = 6;

const auto kInvalid = platform::unexpected(std::int16_t{ERR_INVALID_COMMAND});

std::uint16_t read_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void write_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

platform::Expected<platform::Ok, std::int16_t> BroadcastList::command(std::span<std::uint8_t> block,
                                                                      TimePoint now) {
    if (block.empty()) {
        return kInvalid;
    }
    switch (block[0]) {
        case kAdd:
            return add(block, now);
        case kRead:
            return read(block);
        case kClear:
            if (block.size() < 2) {
                return kInvalid;
            }
            // At most 16 entries: the count fits the byte.
            block[kResult] = static_cast<std::uint8_t>(entries_.size());
            entries_.clear();
            return platform::Ok{};
        case kRemove:
            if (block.size() < 3) {
                return kInvalid;
            }
            if (block[kIndex] < entries_.size()) {
                entries_.erase(entries_.begin() + block[kIndex]);
                block[kResult] = 0;
            } else {
                block[kResult] = 1;
            }
            return platform::Ok{};
        case kCount:
            if (block.size() < 2) {
                return kInvalid;
            }
            block[kResult] = static_cast<std::uint8_t>(entries_.size());
            return platform::Ok{};
        default:
            return kInvalid;
    }
}

platform::Expected<platform::Ok, std::int16_t> BroadcastList::add(std::span<std::uint8_t> block,
                                                                  TimePoint now) {
    if (block.size() < kMessage) {
        return kInvalid;
    }
    const std::size_t length = read_le16(&block[kLength]);
    if (block.size() < kMessage + length) {
        return kInvalid;
    }
    if (entries_.size() >= kMaxEntries) {
        block[kResult] = kListFull;
        return kInvalid;
    }
    const auto message = block.subspan(kMessage, length);
    entries_.push_back(Entry{std::chrono::milliseconds(read_le16(&block[kInterval])), now,
                             std::vector<std::uint8_t>(message.begin(), message.end())});
    block[kResult] = static_cast<std::uint8_t>(entries_.size() - 1);
    return platform::Ok{};
}

platform::Expected<platform::Ok, std::int16_t> BroadcastList::read(
    std::span<std::uint8_t> block) const {
    if (block.size() < 3) {
        return kInvalid;
    }
    if (block[kIndex] >= entries_.size()) {
        block[kResult] = 1;
        return platform::Ok{};
    }
    const Entry& entry = entries_[block[kIndex]];
    if (block.size() < kMessage + entry.message.size()) {
        return kInvalid;
    }
    block[kResult] = 0;
    const auto interval = std::min<std::chrono::milliseconds::rep>(entry.interval.count(), 0xFFFF);
    write_le16(&block[kInterval], static_cast<std::uint16_t>(interval));
    write_le16(&block[kLength], static_cast<std::uint16_t>(entry.message.size()));
    if (!entry.message.empty()) {
        std::memcpy(&block[kMessage], entry.message.data(), entry.message.size());
    }
    return platform::Ok{};
}

std::optional<BroadcastList::Duration> BroadcastList::until_next_due(TimePoint now) const {
    if (entries_.empty()) {
        return std::nullopt;
    }
    const auto earliest =
        std::min_element(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.next_due < b.next_due; });
    return earliest->next_due > now ? earliest->next_due - now : Duration::zero();
}

platform::Expected<std::uint16_t, std::int16_t> SharedBroadcastList::command(
    std::span<std::uint8_t> block, MessageBuffer& transmit_buffer) {
    {
        std::lock_guard lock(mutex_);
        auto done = list_.command(block, Clock::now());
        if (!done) {
            return platform::unexpected(done.error());
        }
    }
    transmit_buffer.wake_all();
    return std::uint16_t{0};
}

SharedBroadcastList::Duration SharedBroadcastList::queue_due(Duration longest,
                                                             MessageBuffer& transmit_buffer,
                                                             std::size_t max_message,
                                                             const char* log_target) {
    return inject_due(longest, [&](std::span<const std::uint8_t> message) {
        if (message.empty() || message.size() > max_message) {
            QZ_LOG_ERROR(log_target, "Failed to deserialize Tx message");
            return;
        }
        (void)transmit_buffer.write(message);
    });
}

}  // namespace qz121032
