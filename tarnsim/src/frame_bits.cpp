#include "frame_bits.hpp"

#include <array>

#include "tarnlib/driver_api.h"

namespace tarnsim {

namespace {

// CRC delimiter, ACK slot, ACK delimiter, end of frame (7), interframe space (3).
constexpr std::uint32_t kTail = 13;
constexpr std::uint32_t kErrorFrameBits = 20;
// x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1
constexpr std::uint32_t kCrc15Polynomial = 0x4599;

// Bit stuffing as a transmitter does it: after five equal bits in a row a complementary
// stuff bit follows, and it counts as the first bit of the next run. The state between
// bits is the value of the current run and its length (1..4).
struct StuffState {
    std::uint8_t value;
    std::uint8_t run;
};

constexpr StuffState stuff_bit(StuffState s, std::uint32_t bit, std::uint32_t& inserted) {
    if (bit == s.value) {
        if (++s.run == 5) {
            ++inserted;
            return {static_cast<std::uint8_t>(bit ^ 1u), 1};
        }
        return s;
    }
    return {static_cast<std::uint8_t>(bit), 1};
}

// A whole byte at a time: for each state (value * 4 + run - 1) and byte, the stuff bits
// it causes and the state after it.
struct ByteStep {
    std::uint8_t inserted;
    std::uint8_t state;
};

constexpr std::array<std::array<ByteStep, 256>, 8> make_stuff_table() {
    std::array<std::array<ByteStep, 256>, 8> table{};
    for (std::uint32_t state = 0; state < 8; ++state) {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            StuffState s{static_cast<std::uint8_t>(state / 4),
                         static_cast<std::uint8_t>(state % 4 + 1)};
            std::uint32_t inserted = 0;
            for (int i = 7; i >= 0; --i) {
                s = stuff_bit(s, (byte >> i) & 1u, inserted);
            }
            table[state][byte] = {static_cast<std::uint8_t>(inserted),
                                  static_cast<std::uint8_t>(s.value * 4 + s.run - 1)};
        }
    }
    return table;
}

constexpr auto kStuffTable = make_stuff_table();

constexpr std::array<std::uint16_t, 256> make_crc15_table() {
    std::array<std::uint16_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte << 7;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x4000u) ? ((crc << 1) ^ kCrc15Polynomial) : (crc << 1);
        }
        table[byte] = static_cast<std::uint16_t>(crc & 0x7FFFu);
    }
    return table;
}

constexpr auto kCrc15Table = make_crc15_table();

// The stuffed bit stream of one frame, fed field by field, most significant bit first,
// with the classic CRC-15 kept alongside.
class Stream {
  public:
    void bits(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bit((value >> i) & 1u);
        }
    }

    void bit(std::uint32_t b) {
        const std::uint32_t before = inserted_;
        state_ = stuff_bit(state_, b, inserted_);
        last_stuffed_ = inserted_ != before;
        const std::uint32_t feedback = b ^ ((crc_ >> 14) & 1u);
        crc_ = (crc_ << 1) & 0x7FFFu;
        if (feedback) {
            crc_ ^= kCrc15Polynomial;
        }
        ++length_;
    }

    void bytes(const std::uint8_t* data, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const ByteStep step = kStuffTable[state_.value * 4u + state_.run - 1u][data[i]];
            inserted_ += step.inserted;
            state_ = {static_cast<std::uint8_t>(step.state / 4),
                      static_cast<std::uint8_t>(step.state % 4 + 1)};
            crc_ = ((crc_ << 8) ^ kCrc15Table[((crc_ >> 7) ^ data[i]) & 0xFFu]) & 0x7FFFu;
        }
        length_ += 8 * count;
        last_stuffed_ = false;  // callers that need it feed the last byte by bits
    }

    std::uint32_t crc() const { return crc_; }
    std::uint32_t length() const { return length_; }
    std::uint32_t inserted() const { return inserted_; }
    // The bit fed last was followed by a stuff bit.
    bool last_stuffed() const { return last_stuffed_; }

  private:
    StuffState state_{2, 0};  // no run before the start of frame
    std::uint32_t inserted_ = 0;
    std::uint32_t length_ = 0;
    std::uint32_t crc_ = 0;
    bool last_stuffed_ = false;
};

// Identifier fields from SOF on; standard: SOF, 11 bits; extended: SOF, identifier A,
// SRR and IDE (both recessive), identifier B.
void identifier(Stream& s, const Frame& f, bool extended) {
    s.bit(0);
    if (extended) {
        const auto id = static_cast<std::uint32_t>(f.id);
        s.bits(id >> 18, 11);
        s.bits(0b11, 2);
        s.bits(id & 0x3FFFFu, 18);
    } else {
        s.bits(static_cast<std::uint32_t>(f.id) & 0x7FFu, 11);
    }
}

FrameBits classic_bits(const Frame& f, bool extended) {
    Stream s;
    identifier(s, f, extended);
    const bool remote = (f.flags & TARN_MSG_RTR) != 0;
    // RTR, then IDE and r0 (standard) or r1 and r0 (extended), all dominant but RTR.
    s.bits(remote ? 0b100 : 0b000, 3);
    s.bits(f.dlc & 0xFu, 4);
    s.bytes(f.data, remote ? 0 : f.length);
    s.bits(s.crc(), 15);
    return {s.length() + s.inserted() + kTail, 0};
}

std::uint32_t fd_length_code(std::uint32_t length) {
    switch (length) {
        case 12:
            return 9;
        case 16:
            return 10;
        case 20:
            return 11;
        case 24:
            return 12;
        case 32:
            return 13;
        case 48:
            return 14;
        case 64:
            return 15;
        default:
            return length & 0xFu;
    }
}

FrameBits fd_bits(const Frame& f, bool extended) {
    Stream s;
    identifier(s, f, extended);
    // Standard: RRS and IDE; extended: RRS (IDE came before identifier B). Then FDF, res.
    s.bits(extended ? 0b010 : 0b0010, extended ? 3 : 4);
    const bool switched = (f.flags & TARN_MSG_BRS) != 0;
    s.bit(switched ? 1 : 0);
    const std::uint32_t nominal_part = s.length() + s.inserted();
    s.bit((f.flags & TARN_MSG_ESI) ? 1 : 0);
    s.bits(fd_length_code(f.length), 4);
    if (f.length > 0) {
        s.bytes(f.data, f.length - 1);
        s.bits(f.data[f.length - 1], 8);
    }
    std::uint32_t dynamic = s.length() + s.inserted();
    // A stuff bit due after the last data bit is the first fixed stuff bit itself.
    if (s.last_stuffed()) {
        --dynamic;
    }
    // Stuff count (4 bits) and CRC, with a fixed stuff bit before the stuff count and after
    // every fourth bit of the two: 4 + 17 + 6 or 4 + 21 + 7.
    const std::uint32_t checked = 4 + (f.length <= 16 ? 17u : 21u);
    const std::uint32_t crc_field = checked + 1 + (checked - 1) / 4;
    const std::uint32_t data_part = dynamic - nominal_part + crc_field;
    if (switched) {
        return {nominal_part + kTail, data_part};
    }
    return {nominal_part + data_part + kTail, 0};
}

}  // namespace

FrameBits frame_bits(const Frame& f) {
    if (f.flags & TARN_MSG_ERROR_FRAME) {
        return {kErrorFrameBits, 0};
    }
    const bool extended = (f.flags & TARN_MSG_EXT) != 0;
    return (f.flags & TARN_MSG_FDF) ? fd_bits(f, extended) : classic_bits(f, extended);
}

}  // namespace tarnsim
