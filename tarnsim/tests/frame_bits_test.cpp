// The stuffed length of frames, against frames whose length is worked out by hand below.
// Notation: bits most significant first, "[x]" a stuff bit of value x; the tail after the
// CRC is always 13 bits (CRC delimiter, ACK slot, ACK delimiter, 7 end of frame, 3
// interframe space). CRC-15 values are the remainder of the polynomial division of SOF to
// the end of the data by 0x4599 with a register starting at 0.

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "frame_bits.hpp"
#include "tarnlib/driver_api.h"

namespace {

using tarnsim::Frame;
using tarnsim::frame_bits;

Frame frame(std::int32_t id, std::uint32_t flags, std::uint32_t dlc, std::uint32_t length,
            std::uint8_t fill) {
    Frame f{};
    f.id = id;
    f.flags = flags;
    f.dlc = dlc;
    f.length = length;
    std::memset(f.data, fill, length);
    return f;
}

struct Golden {
    const char* name;
    Frame frame;
    std::uint32_t nominal;
    std::uint32_t data;
};

TEST(FrameBits, GoldenFrames) {
    const Golden cases[] = {
        // Standard, id 0, no data. SOF, identifier, RTR, IDE, r0 and DLC are 19 dominant
        // bits, and the CRC of zeros is 0: 34 zeros in a row. Each stuff bit ends a run,
        // so one follows every fifth zero: 00000[1]00000[1]...00000[1]0000 is 34 + 6 bits,
        // plus the tail: 53.
        {"all zero", frame(0, TARN_MSG_STD, 0, 0, 0), 53, 0},
        // Standard, id 0x2AA, 8 x 0xAA. 0 01010101010 000 1000 (10101010 x 8), CRC 0x43D6 =
        // 100001111010110. The longest runs are 0000 (RTR, IDE, r0 after the identifier's
        // last 0) and the CRC's 0000 and 1111: no stuff bit. 98 + 13 = 111, the shortest
        // an 8-byte standard frame can be.
        {"alternating", frame(0x2AA, TARN_MSG_STD, 8, 8, 0xAA), 111, 0},
        // Standard, id 0x7FF, 8 x 0xFF. 0 11111[0]11111[0]1 000 1000, then 64 ones and the
        // CRC 0x4C89 = 100110010001001 whose first 1 continues them: 65 ones take 13 stuff
        // bits (11111[0] x 13), the rest 00110010001001 none. 98 + 15 + 13 = 126.
        {"ones, standard", frame(0x7FF, TARN_MSG_STD, 8, 8, 0xFF), 126, 0},
        // Extended, id 0x1FFFFFFF, 8 x 0xFF. SOF, then identifier A, SRR, IDE, identifier
        // B: 31 ones, 6 stuff bits; 000 (RTR, r1, r0) 1000 (DLC); 64 ones, 12 stuff bits
        // and 4 left over; CRC 0x1B69 = 001101101101001 starts with zeros, no run of five.
        // 118 + 18 + 13 = 149.
        {"ones, extended", frame(0x1FFFFFFF, TARN_MSG_EXT, 8, 8, 0xFF), 149, 0},
        // Remote, standard, id 0x7FF, DLC 8, no data. 0 11111[0]11111[0]11 (identifier and
        // RTR) 00 (IDE, r0) 1000 (DLC), CRC 0x20ED = 010000011101101: DLC's 000 and the
        // CRC's 0 make 4 zeros, then 1 00000[1] 11101101. 34 + 3 + 13 = 50.
        {"remote", frame(0x7FF, TARN_MSG_STD | TARN_MSG_RTR, 8, 0, 0), 50, 0},
        // FD, standard, id 0, no data, no bit-rate switch. SOF, identifier, RRS, IDE: 14
        // zeros, 2 stuff bits; FDF 1; res, BRS, ESI, DLC: 7 zeros, 1 stuff bit. 22 + 3
        // bits, then stuff count and CRC-17 with their fixed stuff bits (a fixed stuff bit,
        // 4 bits of stuff count, a fixed stuff bit after every fourth bit of stuff count
        // and CRC: 4 + 17 + 6 = 27). 25 + 27 + 13 = 65.
        {"FD zero", frame(0, TARN_MSG_STD | TARN_MSG_FDF, 0, 0, 0), 65, 0},
        // The same with bit-rate switch. Nominal: SOF to BRS, 14 zeros [2 stuff] 1 0 1:
        // 19 bits, plus the tail: 32. Data phase: ESI and DLC are 5 zeros after the
        // recessive BRS; the stuff bit they call for is the first fixed stuff bit itself:
        // 5 + 27 = 32.
        {"FD zero, switched", frame(0, TARN_MSG_STD | TARN_MSG_FDF | TARN_MSG_BRS, 0, 0, 0), 32,
         32},
        // FD, standard, id 0x123, 64 x 0x55, bit-rate switch. Nominal: 0 00100100011 00 1 0
        // 1, no run of five: 17 + 13 = 30. Data phase: ESI 0, DLC 1111 (64 bytes), 512
        // alternating bits, no stuff bit; stuff count and CRC-21 with 7 fixed stuff bits:
        // 4 + 21 + 7 = 32. 5 + 512 + 32 = 549.
        {"FD 64 bytes", frame(0x123, TARN_MSG_STD | TARN_MSG_FDF | TARN_MSG_BRS, 64, 64, 0x55), 30,
         549},
        // Error frames: a fixed 20 bits.
        {"error frame", frame(0, TARN_MSG_ERROR_FRAME, 0, 0, 0), 20, 0},
    };
    for (const Golden& c : cases) {
        const tarnsim::FrameBits bits = frame_bits(c.frame);
        EXPECT_EQ(bits.nominal, c.nominal) << c.name;
        EXPECT_EQ(bits.data, c.data) << c.name;
    }
}

TEST(FrameBits, StuffingDependsOnTheBitsNotOnlyTheLength) {
    // Every 8-byte standard frame lies between the alternating one (no stuff bit) and the
    // worst case of one stuff bit per four bits after the first five (98 + 24 + 13 = 135);
    // frames of the same length differ.
    std::uint32_t shortest = ~0u;
    std::uint32_t longest = 0;
    for (std::uint32_t fill : {0x00u, 0x0Fu, 0x3Cu, 0x55u, 0x78u, 0xAAu, 0xF0u, 0xFFu}) {
        for (std::int32_t id : {0x000, 0x123, 0x2AA, 0x555, 0x7FF}) {
            const std::uint32_t bits =
                frame_bits(frame(id, TARN_MSG_STD, 8, 8, static_cast<std::uint8_t>(fill))).nominal;
            shortest = std::min(shortest, bits);
            longest = std::max(longest, bits);
        }
    }
    EXPECT_EQ(shortest, 111u);
    EXPECT_GT(longest, shortest);
    EXPECT_LE(longest, 135u);
}

}  // namespace
