#pragma once
// J1939 messages and their text forms in the tools:
//
//   message      "FECA#00FF00000000FFFF": the PGN in hexadecimal (at most 3FFFF), then the
//                data as for cansend, 0 to 1785 bytes; priority, source and destination
//                are given apart (options)
//   claim        "80" or "80:A000820005000101": an address (hexadecimal, 0 to FD) and
//                optionally the NAME (1 to 16 hexadecimal digits)
//   dump line    "(     12.345)  6  0FECA  00 -> FF  [10]  00 FF 00 00 00 00 FF FF 03 01":
//                time stamp, priority, PGN, source -> destination, length, data (a
//                reassembled transfer on one line)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.hpp"

namespace tools {

inline constexpr std::uint32_t kMaxPgn = 0x3FFFF;
inline constexpr std::size_t kMaxJ1939Data = 1785;
inline constexpr std::uint8_t kGlobalAddress = 0xFF;

struct J1939Message {
    std::uint32_t pgn = 0;
    std::uint8_t priority = 6;
    std::uint8_t source = 0xFE;
    std::uint8_t destination = kGlobalAddress;
    std::vector<std::uint8_t> data;
    friend bool operator==(const J1939Message&, const J1939Message&) = default;
};

// "PGN#DATA": the PGN and the data; the rest keeps its defaults.
platform::Expected<J1939Message, std::string> parse_j1939_message(std::string_view text);
// A PGN alone (1 to 5 hexadecimal digits, at most 3FFFF).
platform::Expected<std::uint32_t, std::string> parse_pgn(std::string_view text);
// A source or destination address: 1 or 2 hexadecimal digits.
platform::Expected<std::uint8_t, std::string> parse_address(std::string_view text);

struct J1939Claim {
    std::uint8_t address = 0;
    std::uint64_t name = 0;
    friend bool operator==(const J1939Claim&, const J1939Claim&) = default;
};
// The NAME a claim without one gets: arbitrary-address capable (bit 63), industry group 0,
// and the address as identity number, so that two tools claiming different addresses have
// different NAMEs.
std::uint64_t default_name(std::uint8_t address);
// "ADDR[:NAME]"; addresses 254 and 255 cannot be claimed.
platform::Expected<J1939Claim, std::string> parse_claim(std::string_view text);

// "PGN 0FECA 80 -> FF [10]": what a summary line calls a message.
std::string j1939_text(const J1939Message& message);
// The dump line; with an echo marker, " RX" or " TX" (this client's own message) follows
// the time stamp.
std::string j1939_dump_line(std::uint32_t time_ms, const J1939Message& message,
                            std::optional<bool> own_message = std::nullopt);

// Bits on the wire of the frames that carry a message with worst-case stuffing: one frame
// up to 8 data bytes; a BAM (to 255) is its announcement and packets, an RTS/CTS transfer
// its RTS, CTS, packets and EOMACK.
std::uint32_t j1939_message_bits(std::size_t length, bool to_global);

}  // namespace tools
