#pragma once
// The length of a frame on the wire, bit for bit: the stuffed length worked out from the
// frame's actual bits, so that a saturated simulated bus carries as many frames as a real
// one and its statistics match.

#include <cstdint>

#include "shared_state.hpp"

namespace tarnsim {

// Bits at the nominal rate and at the data rate (only FD frames with bit-rate switch have
// the latter), from the start of frame to the end of the interframe space.
struct FrameBits {
    std::uint32_t nominal;
    std::uint32_t data;
};

// Classic frames: SOF, identifier, control field, data and CRC-15 are stuffed (a
// complementary bit after five equal ones, counting stuff bits), then CRC delimiter, ACK
// slot and delimiter, 7 bits end of frame and 3 bits interframe space follow unstuffed.
// FD frames (ISO): stuffed from SOF to the end of the data, then the stuff count and the
// CRC-17 / CRC-21 with their fixed stuff bits, and the same 13-bit tail; with bit-rate
// switching the bits from ESI to the end of the CRC run at the data rate. Error frames
// count 20 bits.
FrameBits frame_bits(const Frame& f);

}  // namespace tarnsim
