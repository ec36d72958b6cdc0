// The receive side of the J1939 client: read format, filters, the claimed-address list.

#include "j1939_receive.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <variant>

#include "platform/log.hpp"

namespace qz121032 {

namespace {

constexpr const char* kTarget = "qz121032::j1939_client";

using qzj1939lib::J1939Message;

}  // namespace

std::size_t encode_j1939_read_message(const J1939Message& message, std::optional<bool> echo,
                                      std::span<std::uint8_t> out) {
    const std::size_t length = 4 + (echo ? 1 : 0) + 6 + message.size();
    if (length > out.size()) {
        return length;
    }
    const auto stamp = static_cast<std::uint32_t>(message.timestamp.value_or(0) / 1000);
    std::size_t n = 0;
    out[n++] = static_cast<std::uint8_t>(stamp >> 24);
    out[n++] = static_cast<std::uint8_t>(stamp >> 16);
    out[n++] = static_cast<std::uint8_t>(stamp >> 8);
    out[n++] = static_cast<std::uint8_t>(stamp);
    if (echo) {
        out[n++] = *echo ? 1 : 0;
    }
    out[n++] = static_cast<std::uint8_t>(message.pgn);
    out[n++] = static_cast<std::uint8_t>(message.pgn >> 8);
    out[n++] = static_cast<std::uint8_t>(message.pgn >> 16);
    const bool bam = message.dest_addr == qzj1939lib::kGlobalAddress && message.size() > 8;
    out[n++] = static_cast<std::uint8_t>((message.priority & 0x07) | (bam ? 0x80 : 0));
    out[n++] = message.src_addr;
    out[n++] = message.dest_addr;
    if (message.size() > 0) {
        std::memcpy(&out[n], message.data->data(), message.size());
        n += message.size();
    }
    return n;
}

bool J1939Filter::matches(const J1939Message& message) const {
    return ((flags & kComparePgn) == 0 || message.pgn == pgn) &&
           ((flags & kCompareSource) == 0 || message.src_addr == source) &&
           ((flags & kCompareDestination) == 0 || message.dest_addr == destination);
}

std::optional<std::vector<J1939Filter>> parse_j1939_filters(std::span<const std::uint8_t> records) {
    constexpr std::size_t kRecord = 7;
    if (records.size() % kRecord != 0) {
        return std::nullopt;
    }
    std::vector<J1939Filter> filters;
    for (std::size_t at = 0; at < records.size(); at += kRecord) {
        if (records[at + 3] > 3) {
            return std::nullopt;
        }
        J1939Filter f;
        f.flags = records[at];
        f.pgn = records[at + 1] | (records[at + 2] << 8) | (records[at + 3] << 16);
        f.source = records[at + 5];
        f.destination = records[at + 6];
        filters.push_back(f);
    }
    return filters;
}

void ClaimedAddresses::update(std::uint8_t address, bool claimed) {
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find_if(list_.begin(), list_.end(),
                                     [&](const auto& entry) { return entry.first == address; });
        if (it == list_.end()) {
            list_.emplace_back(address, claimed);
        } else {
            it->second = claimed;
        }
    }
    changed_.notify_all();
}

void ClaimedAddresses::remove(std::uint8_t address) {
    std::lock_guard lock(mutex_);
    std::erase_if(list_, [&](const auto& entry) { return entry.first == address; });
}

bool ClaimedAddresses::any_claimed() const {
    std::lock_guard lock(mutex_);
    return std::any_of(list_.begin(), list_.end(), [](const auto& entry) { return entry.second; });
}

std::optional<bool> ClaimedAddresses::wait_listed(std::uint8_t address,
                                                  std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    std::optional<bool> claimed;
    changed_.wait_for(lock, limit, [&] {
        for (const auto& [listed, state] : list_) {
            if (listed == address) {
                claimed = state;
                return true;
            }
        }
        return false;
    });
    return claimed;
}

void J1939ReceiveContext::on_event(const qzj1939lib::ChannelEvent& event,
                                   std::span<std::uint8_t> area) {
    std::visit(
        [&](const auto& e) {
            using Event = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<Event, qzj1939lib::RxMessage>) {
                deliver(e.message, false, area);
            } else if constexpr (std::is_same_v<Event, qzj1939lib::TxConfirmed>) {
                // Confirmations are asked for while echo is on; one that comes after echo
                // was switched off is not read as another node's message.
                if (echo.load()) {
                    deliver(e.message, true, area);
                }
            } else if constexpr (std::is_same_v<Event, qzj1939lib::AddressState>) {
                const bool claimed = e.state == qzj1939lib::ClaimState::Claimed;
                claims.update(e.address, claimed);
                if (claimed) {
                    QZ_LOG_DEBUG(kTarget, "J1939 address claim succeeded: {:02X}", e.address);
                } else {
                    QZ_LOG_DEBUG(kTarget, "J1939 address claim lost/denied: {:02X}", e.address);
                }
            }
        },
        event);
}

void J1939ReceiveContext::deliver(const J1939Message& message, bool confirmation,
                                  std::span<std::uint8_t> area) {
    if (receive_enabled.load()) {
        bool pass = false;
        {
            std::lock_guard lock(filter_mutex);
            pass = filters.passes(message);
        }
        if (pass) {
            const std::optional<bool> echo_byte =
                echo.load() ? std::optional<bool>(confirmation) : std::nullopt;
            const std::size_t length = encode_j1939_read_message(message, echo_byte, area);
            if (length > area.size()) {
                QZ_LOG_ERROR(kTarget, "Buffer too small for J1939 Rx message: required {}, got {}",
                             length, area.size());
            } else {
                // A full buffer drops the message and reports the overflow to the next read.
                (void)receive_buffer->write(area.first(length));
            }
        }
    }
    // Reported once the message is dealt with, as the CAN client does, so that the
    // activity an application sees means the message has been through the filters.
    hardware_status->report_activity(channel_key);
}

}  // namespace qz121032
