#pragma once
// The J1939 messages of an RP1210 J1939 client as an application writes them, and the
// PGNs and addresses the client tests use: shared by the tests on the simulated bus and
// the tests against the kernel's J1939 stack.

#include <cstdint>
#include <vector>

namespace qz121032::testing {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kPgnProprietaryA = 0xEF00;  // PDU1: to one address
inline constexpr std::uint32_t kPgnDm1 = 0xFECA;           // PDU2: to everyone
inline constexpr std::uint32_t kPgnTpCm = 0xEC00;
inline constexpr std::uint32_t kPgnTpDt = 0xEB00;
inline constexpr std::uint32_t kPgnAddressClaimed = 0xEE00;
inline constexpr std::uint8_t kGlobal = 0xFF;
inline constexpr std::uint8_t kToGlobal = 0x80;  // bit 7 of the how/priority byte

// A message for RP1210_SendMessage: PGN (least significant byte first), how/priority,
// source, destination, data.
inline Bytes j1939_message(std::uint32_t pgn, std::uint8_t how, std::uint8_t source,
                           std::uint8_t destination, const Bytes& data) {
    Bytes message{static_cast<std::uint8_t>(pgn),
                  static_cast<std::uint8_t>(pgn >> 8),
                  static_cast<std::uint8_t>(pgn >> 16),
                  how,
                  source,
                  destination};
    message.insert(message.end(), data.begin(), data.end());
    return message;
}

}  // namespace qz121032::testing
