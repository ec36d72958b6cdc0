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
// it causes, the state after it and whether a stuff bit follows its last bit.
struct ByteStep {
    std::uint8_t inserted;
    std::uint8_t state;
    bool last_stuffed;
};

constexpr std::array<std::array<ByteStep, 256>, 8> make_stuff_table() {
    std::array<std::array<ByteStep, 256>, 8> table{};
    for (std::uint32_t state = 0; state < 8; ++state) {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            StuffState s{static_cast<std::uint8_t>(state / 4),
                         static_cast<std::uint8_t>(state % 4 + 1)};
            std::uint32_t inserted = 0;
            std::uint32_t before_last = 0;
            for (int i = 7; i >= 0; --i) {
                before_last = inserted;
                s = stuff_bit(s, (byte >> i) & 1u, inserted);
            }
            table[state][byte] = {static_cast<std::uint8_t>(inserted),
                                  static_cast<std::uint8_t>(s.value * 4 + s.run - 1),
                                  inserted != before_last};
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

// The unstuffed bits of a frame, most significant first, packed into bytes.
class Bits {
  public:
    Bits() { bytes_[0] = 0; }

    // Appends the low `count` bits of the value (count <= 25).
    void put(std::uint32_t value, std::uint32_t count) {
        const std::uint32_t offset = length_ % 8;
        const std::size_t at = length_ / 8;
        const std::uint32_t v = ((value << (32 - count)) & ~0u) >> offset;
        bytes_[at] = static_cast<std::uint8_t>(bytes_[at] | (v >> 24));
        bytes_[at + 1] = static_cast<std::uint8_t>(v >> 16);
        bytes_[at + 2] = static_cast<std::uint8_t>(v >> 8);
        bytes_[at + 3] = static_cast<std::uint8_t>(v);
        length_ += count;
    }

    std::uint32_t bit(std::uint32_t i) const { return (bytes_[i / 8] >> (7 - i % 8)) & 1u; }
    std::uint8_t byte(std::uint32_t i) const { return bytes_[i]; }
    std::uint32_t length() const { return length_; }

    // The classic CAN CRC-15 of all bits so far (the register starts at 0).
    std::uint32_t crc15() const {
        std::uint32_t crc = 0;
        const std::uint32_t whole = length_ / 8;
        for (std::uint32_t i = 0; i < whole; ++i) {
            crc = ((crc << 8) ^ kCrc15Table[((crc >> 7) ^ bytes_[i]) & 0xFFu]) & 0x7FFFu;
        }
        for (std::uint32_t i = whole * 8; i < length_; ++i) {
            const std::uint32_t feedback = bit(i) ^ ((crc >> 14) & 1u);
            crc = (crc << 1) & 0x7FFFu;
            if (feedback) {
                crc ^= kCrc15Polynomial;
            }
        }
        return crc;
    }

  private:
    // An FD frame with 64 bytes has at most 39 + 10 + 512 bits before its CRC; room for the
    // three bytes put() writes ahead. put() clears every byte it starts.
    std::uint8_t bytes_[80];
    std::uint32_t length_ = 0;
};

// Stuffs bits of a frame in order, range by range.
class Stuffer {
  public:
    void feed(const Bits& bits, std::uint32_t begin, std::uint32_t end) {
        for (; begin < end && begin % 8 != 0; ++begin) {
            step(bits.bit(begin));
        }
        if (begin + 8 <= end) {
            std::uint32_t state = state_.value * 4u + state_.run - 1u;
            for (; begin + 8 <= end; begin += 8) {
                const ByteStep& s = kStuffTable[state][bits.byte(begin / 8)];
                inserted_ += s.inserted;
                state = s.state;
                last_stuffed_ = s.last_stuffed;
            }
            state_ = {static_cast<std::uint8_t>(state / 4),
                      static_cast<std::uint8_t>(state % 4 + 1)};
        }
        for (; begin < end; ++begin) {
            step(bits.bit(begin));
        }
    }

    std::uint32_t inserted() const { return inserted_; }
    // The bit fed last was followed by a stuff bit.
    bool last_stuffed() const { return last_stuffed_; }

  private:
    void step(std::uint32_t bit) {
        const std::uint32_t before = inserted_;
        state_ = stuff_bit(state_, bit, inserted_);
        last_stuffed_ = inserted_ != before;
    }

    StuffState state_{2, 0};  // no run before the start of frame
    std::uint32_t inserted_ = 0;
    bool last_stuffed_ = false;
};

// Identifier fields from SOF on; standard: SOF, 11 bits; extended: SOF, identifier A,
// SRR and IDE (both recessive), identifier B.
void identifier(Bits& b, const Frame& f, bool extended) {
    const auto id = static_cast<std::uint32_t>(f.id);
    if (extended) {
        b.put(((id >> 18) << 2) | 0b11, 14);  // SOF 0, identifier A, SRR, IDE
        b.put(id & 0x3FFFFu, 18);
    } else {
        b.put(id & 0x7FFu, 12);  // SOF 0, identifier
    }
}

void data(Bits& b, const Frame& f, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; ++i) {
        b.put(f.data[i], 8);
    }
}

FrameBits classic_bits(const Frame& f, bool extended) {
    Bits b;
    identifier(b, f, extended);
    const bool remote = (f.flags & TARN_MSG_RTR) != 0;
    // RTR, then IDE and r0 (standard) or r1 and r0 (extended), all dominant but RTR; DLC.
    b.put(((remote ? 0b100u : 0b000u) << 4) | (f.dlc & 0xFu), 7);
    data(b, f, remote ? 0 : f.length);
    b.put(b.crc15(), 15);
    Stuffer s;
    s.feed(b, 0, b.length());
    return {b.length() + s.inserted() + kTail, 0};
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
    Bits b;
    identifier(b, f, extended);
    const bool switched = (f.flags & TARN_MSG_BRS) != 0;
    // Standard: RRS and IDE; extended: RRS (IDE came before identifier B). Then FDF, res,
    // BRS.
    if (extended) {
        b.put(0b0100u | (switched ? 1u : 0u), 4);
    } else {
        b.put(0b00100u | (switched ? 1u : 0u), 5);
    }
    const std::uint32_t through_brs = b.length();
    b.put(((f.flags & TARN_MSG_ESI) ? 0b10000u : 0u) | fd_length_code(f.length), 5);
    data(b, f, f.length);
    Stuffer s;
    s.feed(b, 0, through_brs);
    const std::uint32_t nominal_part = through_brs + s.inserted();
    s.feed(b, through_brs, b.length());
    std::uint32_t dynamic = b.length() + s.inserted();
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
