#include "tools/can_text.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace tools {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

std::string shortened(std::string_view text, std::size_t most) {
    if (text.size() <= most) {
        return std::string(text);
    }
    return fmt::format("{}...({} characters)", text.substr(0, most), text.size());
}

std::optional<std::uint32_t> parse_hex(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : text) {
        const int v = hex_value(c);
        if (v < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint32_t>(v);
    }
    return value;
}

platform::Expected<std::uint32_t, std::string> parse_identifier(std::string_view text,
                                                                bool& extended) {
    if (text.empty()) {
        return platform::unexpected(std::string("the identifier is missing"));
    }
    for (char c : text) {
        if (hex_value(c) < 0) {
            return platform::unexpected(
                fmt::format("identifier '{}' is not hexadecimal", shortened(text)));
        }
    }
    const std::uint32_t id = parse_hex(text).value_or(0);
    if (text.size() <= 3) {
        if (id > kMaxStandardId) {
            return platform::unexpected(fmt::format(
                "standard identifier {} is above 7FF (write 8 digits for an extended one)",
                shortened(text)));
        }
        extended = false;
        return id;
    }
    if (text.size() == 8) {
        if (id > kMaxExtendedId) {
            return platform::unexpected(
                fmt::format("extended identifier {} is above 1FFFFFFF", shortened(text)));
        }
        extended = true;
        return id;
    }
    return platform::unexpected(
        fmt::format("identifier '{}' must have up to 3 hexadecimal digits (standard) or exactly 8 "
                    "(extended)",
                    shortened(text)));
}

platform::Expected<CanFrame, std::string> parse_frame(std::string_view text) {
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        return platform::unexpected(fmt::format(
            "'{}' is not a frame: expected ID#DATA, for example 123#DEADBEEF", shortened(text)));
    }
    CanFrame frame;
    auto id = parse_identifier(text.substr(0, hash), frame.extended);
    if (!id) {
        return platform::unexpected(std::move(id.error()));
    }
    frame.id = *id;
    std::string_view data = text.substr(hash + 1);
    if (!data.empty() && (data.front() == 'R' || data.front() == 'r')) {
        return platform::unexpected(std::string("remote frames (ID#R) are not supported"));
    }
    auto bytes = parse_data(data, frame.data.size());
    if (!bytes) {
        return platform::unexpected(std::move(bytes.error()));
    }
    std::copy(bytes->begin(), bytes->end(), frame.data.begin());
    frame.length = static_cast<std::uint8_t>(bytes->size());
    return frame;
}

platform::Expected<std::vector<std::uint8_t>, std::string> parse_data(std::string_view text,
                                                                      std::size_t most) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || hex_value(text[i]) < 0 || hex_value(text[i + 1]) < 0) {
            return platform::unexpected(
                fmt::format("data '{}' must be pairs of hexadecimal digits", shortened(text)));
        }
        if (bytes.size() == most) {
            return platform::unexpected(
                fmt::format("data '{}' has more than {} bytes", shortened(text), most));
        }
        bytes.push_back(
            static_cast<std::uint8_t>(hex_value(text[i]) * 16 + hex_value(text[i + 1])));
        i += 2;
    }
    return bytes;
}

std::string frame_text(const CanFrame& frame) {
    std::string text =
        frame.extended ? fmt::format("{:08X}#", frame.id) : fmt::format("{:03X}#", frame.id);
    for (std::uint8_t b : frame.payload()) {
        text += fmt::format("{:02X}", b);
    }
    return text;
}

platform::Expected<std::optional<LogRecord>, std::string> parse_log_line(std::string_view line) {
    line = trim(line);
    if (line.empty() || line.front() == '#' || line.front() == ';') {
        return std::optional<LogRecord>{};
    }
    if (line.front() != '(') {
        return platform::unexpected(
            std::string("expected '(SECONDS.MICROSECONDS) INTERFACE ID#DATA'"));
    }
    const std::size_t close = line.find(')');
    if (close == std::string_view::npos) {
        return platform::unexpected(std::string("time stamp without ')'"));
    }
    const std::string_view stamp = line.substr(1, close - 1);
    const std::size_t dot = stamp.find('.');
    if (dot == std::string_view::npos || dot == 0 || stamp.size() - dot - 1 != 6) {
        return platform::unexpected(fmt::format(
            "time stamp '{}' must be SECONDS.MICROSECONDS with 6 decimals", shortened(stamp)));
    }
    std::uint64_t seconds = 0;
    std::uint64_t micros = 0;
    for (std::size_t k = 0; k < stamp.size(); ++k) {
        if (k == dot) {
            continue;
        }
        const char c = stamp[k];
        if (c < '0' || c > '9' || (k < dot && dot > 12)) {
            return platform::unexpected(
                fmt::format("time stamp '{}' is not a number", shortened(stamp)));
        }
        std::uint64_t& part = k < dot ? seconds : micros;
        part = part * 10 + static_cast<std::uint64_t>(c - '0');
    }
    std::string_view rest = trim(line.substr(close + 1));
    const std::size_t space = rest.find_first_of(" \t");
    if (space == std::string_view::npos) {
        return platform::unexpected(std::string("expected an interface name and ID#DATA"));
    }
    LogRecord record;
    record.time_us = seconds * 1000000 + micros;
    record.interface = std::string(rest.substr(0, space));
    auto frame = parse_frame(trim(rest.substr(space + 1)));
    if (!frame) {
        return platform::unexpected(std::move(frame.error()));
    }
    record.frame = *frame;
    return std::optional<LogRecord>(std::move(record));
}

std::string log_line(std::uint64_t time_us, std::string_view interface, const CanFrame& frame) {
    return fmt::format("({}.{:06}) {} {}", time_us / 1000000, time_us % 1000000, interface,
                       frame_text(frame));
}

std::string dump_line(std::uint32_t time_ms, const CanFrame& frame, std::optional<bool> own_frame) {
    std::string line = fmt::format("({:7}.{:03})", time_ms / 1000, time_ms % 1000);
    if (own_frame) {
        line += *own_frame ? "  TX" : "  RX";
    }
    // Standard identifiers right-aligned under the extended ones, as candump does.
    line += frame.extended ? fmt::format("  {:08X}", frame.id)
                           : fmt::format("  {:>8}", fmt::format("{:03X}", frame.id));
    line += fmt::format("   [{}]{}", frame.length, frame.length > 0 ? " " : "");
    for (std::uint8_t b : frame.payload()) {
        line += fmt::format(" {:02X}", b);
    }
    return line;
}

std::uint32_t stuffed_frame_bits(const CanFrame& frame) {
    // The unstuffed bits from the start of frame to the end of the CRC, most significant
    // first: SOF, identifier (extended: identifier A, SRR and IDE recessive, identifier B),
    // RTR, IDE and r0 (extended: r1 and r0), DLC, data, CRC-15.
    std::vector<std::uint8_t> bits;
    const auto put = [&bits](std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bits.push_back(static_cast<std::uint8_t>((value >> i) & 1u));
        }
    };
    put(0, 1);
    if (frame.extended) {
        put(frame.id >> 18, 11);
        put(0b11, 2);
        put(frame.id & 0x3FFFFu, 18);
    } else {
        put(frame.id, 11);
    }
    put(0, 3);
    put(frame.length, 4);
    for (std::uint8_t b : frame.payload()) {
        put(b, 8);
    }
    // x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1, the register starting at 0.
    std::uint32_t crc = 0;
    for (std::uint8_t bit : bits) {
        const std::uint32_t feedback = bit ^ ((crc >> 14) & 1u);
        crc = (crc << 1) & 0x7FFFu;
        if (feedback != 0) {
            crc ^= 0x4599u;
        }
    }
    put(crc, 15);
    // After five equal bits a complementary stuff bit follows; it starts the next run.
    std::uint32_t stuff = 0;
    std::uint8_t value = 2;
    int run = 0;
    for (std::uint8_t bit : bits) {
        if (bit == value) {
            if (++run == 5) {
                ++stuff;
                value = static_cast<std::uint8_t>(bit ^ 1u);
                run = 1;
            }
        } else {
            value = bit;
            run = 1;
        }
    }
    // CRC delimiter, ACK slot and delimiter, end of frame, interframe space.
    return static_cast<std::uint32_t>(bits.size()) + stuff + 13;
}

std::uint32_t frame_bits(bool extended, std::size_t length) {
    // Start of frame, arbitration, control, data and CRC are stuffed; CRC delimiter, ACK
    // slot and delimiter, end of frame and interframe space (13 bits) are not.
    const auto stuffed = static_cast<std::uint32_t>((extended ? 54u : 34u) + 8 * length);
    return stuffed + (stuffed - 1) / 4 + 13;
}

}  // namespace tools
