#pragma once
// Parameter blocks of Set_Broadcast_For_CAN / Set_Broadcast_For_J1939 as an application
// writes them, for the tests of the list and of the clients.

#include <cstdint>
#include <vector>

namespace qz121032::testing {

// Add: operation 1, a result byte the command overwrites, the interval and the message
// length (least significant byte first), the message.
inline std::vector<std::uint8_t> broadcast_add_block(std::uint16_t interval_ms,
                                                     const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> block{1,
                                    0xEE,
                                    static_cast<std::uint8_t>(interval_ms),
                                    static_cast<std::uint8_t>(interval_ms >> 8),
                                    static_cast<std::uint8_t>(message.size()),
                                    static_cast<std::uint8_t>(message.size() >> 8)};
    block.insert(block.end(), message.begin(), message.end());
    return block;
}

}  // namespace qz121032::testing
