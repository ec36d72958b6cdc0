#include "tools/j1939_text.hpp"

#include <fmt/format.h>

#include "tools/can_text.hpp"

namespace tools {

platform::Expected<std::uint32_t, std::string> parse_pgn(std::string_view text) {
    const std::optional<std::uint32_t> pgn = text.size() <= 5 ? parse_hex(text) : std::nullopt;
    if (!pgn || *pgn > kMaxPgn) {
        return platform::unexpected(fmt::format(
            "PGN '{}' must be 1 to 5 hexadecimal digits, at most 3FFFF", shortened(text)));
    }
    return *pgn;
}

platform::Expected<std::uint8_t, std::string> parse_address(std::string_view text) {
    const std::optional<std::uint32_t> address = text.size() <= 2 ? parse_hex(text) : std::nullopt;
    if (!address) {
        return platform::unexpected(
            fmt::format("address '{}' must be 1 or 2 hexadecimal digits", shortened(text)));
    }
    return static_cast<std::uint8_t>(*address);
}

platform::Expected<J1939Message, std::string> parse_j1939_message(std::string_view text) {
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        return platform::unexpected(
            fmt::format("'{}' is not a J1939 message: expected PGN#DATA, for example FECA#00FF",
                        shortened(text)));
    }
    J1939Message message;
    auto pgn = parse_pgn(text.substr(0, hash));
    if (!pgn) {
        return platform::unexpected(std::move(pgn.error()));
    }
    message.pgn = *pgn;
    auto data = parse_data(text.substr(hash + 1), kMaxJ1939Data);
    if (!data) {
        return platform::unexpected(std::move(data.error()));
    }
    message.data = std::move(data.value());
    return message;
}

std::uint64_t default_name(std::uint8_t address) {
    return (std::uint64_t{1} << 63) | address;
}

platform::Expected<J1939Claim, std::string> parse_claim(std::string_view text) {
    const std::size_t colon = text.find(':');
    auto address = parse_address(text.substr(0, colon));
    if (!address) {
        return platform::unexpected(std::move(address.error()));
    }
    if (*address > 0xFD) {
        return platform::unexpected(
            fmt::format("address {:02X} cannot be claimed (at most FD)", *address));
    }
    J1939Claim claim{*address, default_name(*address)};
    if (colon != std::string_view::npos) {
        const std::string_view name = text.substr(colon + 1);
        if (name.empty() || name.size() > 16 ||
            name.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
            return platform::unexpected(
                fmt::format("NAME '{}' must be 1 to 16 hexadecimal digits", shortened(name)));
        }
        claim.name = std::stoull(std::string(name), nullptr, 16);
    }
    return claim;
}

std::string j1939_text(const J1939Message& message) {
    return fmt::format("PGN {:05X} {:02X} -> {:02X} [{}]", message.pgn, message.source,
                       message.destination, message.data.size());
}

std::string j1939_dump_line(std::uint32_t time_ms, const J1939Message& message,
                            std::optional<bool> own_message) {
    std::string line = fmt::format("({:7}.{:03})", time_ms / 1000, time_ms % 1000);
    if (own_message) {
        line += *own_message ? "  TX" : "  RX";
    }
    line += fmt::format("  {}  {:05X}  {:02X} -> {:02X}  [{}]{}", message.priority & 7, message.pgn,
                        message.source, message.destination, message.data.size(),
                        message.data.empty() ? "" : " ");
    for (std::uint8_t b : message.data) {
        line += fmt::format(" {:02X}", b);
    }
    return line;
}

std::uint32_t j1939_message_bits(std::size_t length, bool to_global) {
    if (length <= 8) {
        return frame_bits(true, length);
    }
    const auto packets = static_cast<std::uint32_t>((length + 6) / 7);
    return (packets + (to_global ? 1 : 3)) * frame_bits(true, 8);
}

}  // namespace tools
