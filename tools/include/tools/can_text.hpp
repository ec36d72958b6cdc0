#pragma once
// Classic CAN frames and their text forms, as the Linux can-utils write them, so that
// people can use what they know and log files move between the tools:
//
//   frame        "123#11223344", "18FEF100#F7.00.7D.00"  (cansend): 3 hexadecimal digits or
//                fewer for a standard identifier, exactly 8 for an extended one; the data as
//                hexadecimal byte pairs, optionally separated by dots; up to 8 bytes
//   log line     "(1436509052.249713) can0 18FEF100#F7007D00"  (candump -l)
//   dump line    "(     12.345)  18FEF100   [4]  F7 00 7D 00"  (candump on a terminal)

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.hpp"

namespace tools {

inline constexpr std::uint32_t kMaxStandardId = 0x7FF;
inline constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;

struct CanFrame {
    std::uint32_t id = 0;
    bool extended = false;
    std::uint8_t length = 0;  // 0..8
    std::array<std::uint8_t, 8> data{};

    std::span<const std::uint8_t> payload() const { return {data.data(), length}; }
    friend bool operator==(const CanFrame&, const CanFrame&) = default;
};

// The text as it is, or its first `most` characters and its length: what an error line
// quotes of a user's input, which may be thousands of characters long.
std::string shortened(std::string_view text, std::size_t most = 40);

// Parses "ID#DATA"; the error says what is wrong.
platform::Expected<CanFrame, std::string> parse_frame(std::string_view text);
// "ID#DATA" without separators: "123#1122", "18FEF100#".
std::string frame_text(const CanFrame& frame);

// The identifier part alone ("123", "18FEF100"): standard for up to 3 digits, extended for
// exactly 8. `extended` is set accordingly.
platform::Expected<std::uint32_t, std::string> parse_identifier(std::string_view text,
                                                                bool& extended);

// 1 to 8 hexadecimal digits, or nullopt.
std::optional<std::uint32_t> parse_hex(std::string_view text);

// Data bytes as pairs of hexadecimal digits, optionally separated by dots ("F7.00.7D"), at
// most `most` of them.
platform::Expected<std::vector<std::uint8_t>, std::string> parse_data(std::string_view text,
                                                                      std::size_t most);

// One line of a candump log file.
struct LogRecord {
    std::uint64_t time_us = 0;  // the time stamp in microseconds
    std::string interface;
    CanFrame frame;
};

// Parses "(SECONDS.MICROSECONDS) INTERFACE ID#DATA". Blank lines and lines starting with
// '#' or ';' are not records: nullopt.
platform::Expected<std::optional<LogRecord>, std::string> parse_log_line(std::string_view line);
// "(1436509052.249713) can0 18FEF100#F7007D00".
std::string log_line(std::uint64_t time_us, std::string_view interface, const CanFrame& frame);

// "(     12.345)  18FEF100   [4]  F7 00 7D 00" from a time stamp in milliseconds; with an
// echo marker, " RX" or " TX" (this client's own frame) follows the time stamp.
std::string dump_line(std::uint32_t time_ms, const CanFrame& frame,
                      std::optional<bool> own_frame = std::nullopt);

// Bits a classic frame occupies on the wire with worst-case bit stuffing (one stuff bit per
// four bits of the stuffed fields) and the interframe space: what the bus is busy with.
std::uint32_t frame_bits(bool extended, std::size_t length);
// Bits the frame occupies on the wire as it is: its stuff bits worked out from its actual
// bits (identifier, data and CRC), plus the unstuffed tail and the interframe space. What a
// bus, real or simulated, spends on it.
std::uint32_t stuffed_frame_bits(const CanFrame& frame);

}  // namespace tools
