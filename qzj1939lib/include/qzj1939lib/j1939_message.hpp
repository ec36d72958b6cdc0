#pragma once
// J1939 messages and their 29-bit CAN identifiers.
//
// Identifier layout (bit 0 least significant):
//   26-28 priority, 25 EDP, 24 DP, 16-23 PF (PDU format),
//   8-15 PS (destination address in PDU1, group extension in PDU2), 0-7 source address.
// A PGN with PF >= 240 (PDU2) carries its own PS byte and goes to every node; below that
// (PDU1) the PS byte of the identifier is the destination address.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarnlib/can_message.hpp"

namespace qzj1939lib {

// The machine-wide monotonic clock (the same instants in every process), in nanoseconds.
// Protocol engines never read it: the threads that drive them pass the instant in.
struct MonotonicClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};
using Instant = MonotonicClock::time_point;

inline constexpr std::uint8_t kGlobalAddress = 255;
inline constexpr std::uint8_t kNullAddress = 254;  // source of a Cannot Claim

inline constexpr std::uint32_t kPgnRequest = 0xEA00;
inline constexpr std::uint32_t kPgnTpDt = 0xEB00;
inline constexpr std::uint32_t kPgnTpCm = 0xEC00;
inline constexpr std::uint32_t kPgnAddressClaimed = 0xEE00;

struct J1939Message {
    // The CAN device's receive time stamp (microseconds); absent on transmit.
    std::optional<std::uint64_t> timestamp;
    std::uint32_t pgn = 0;  // 18 bits: EDP, DP, PF, PS
    std::uint8_t priority = 6;
    std::uint8_t src_addr = kNullAddress;
    std::uint8_t dest_addr = kGlobalAddress;
    std::optional<std::vector<std::uint8_t>> data;

    std::size_t size() const noexcept { return data ? data->size() : 0; }
    friend bool operator==(const J1939Message&, const J1939Message&) = default;
};

// PF >= 240: the identifier's PS byte belongs to the PGN.
constexpr bool is_pdu2(std::uint32_t pgn) noexcept {
    return (pgn & 0xF000) == 0xF000;
}

// The 29-bit identifier of a message (the destination is ignored for PDU2 PGNs).
std::uint32_t encode_id(const J1939Message& message) noexcept;
// The header of an identifier: PGN (PS cleared for PDU1), priority, source, destination
// (255 for PDU2). No data, no time stamp.
J1939Message decode_id(std::uint32_t id) noexcept;

// The extended frame that carries a message of at most 8 data bytes.
tarnlib::CanMessage to_can_message(const J1939Message& message);
// A received extended frame as a message: the decoded header, a copy of the data and the
// frame's time stamp.
J1939Message from_can_message(const tarnlib::CanMessage& frame);

// For log lines: "J1939Message { pgn: 0xFECA, priority: 6, src: 0x00, dest: 0xFF, len: 20 }".
std::string header_text(const J1939Message& message);

}  // namespace qzj1939lib
