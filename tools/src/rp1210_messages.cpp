#include "tools/rp1210_messages.hpp"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>

namespace tools {

namespace {

void put_be32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t get_be(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (std::uint8_t b : bytes) {
        value = (value << 8) | b;
    }
    return value;
}

ProtocolStatus protocol_status(std::uint8_t bits) {
    return {(bits & 0x1) != 0, (bits & 0x2) != 0, (bits & 0x4) != 0};
}

}  // namespace

std::vector<std::uint8_t> can_send_message(const CanFrame& frame) {
    std::vector<std::uint8_t> message;
    message.push_back(frame.extended ? 1 : 0);
    if (frame.extended) {
        put_be32(message, frame.id);
    } else {
        message.push_back(static_cast<std::uint8_t>(frame.id >> 8));
        message.push_back(static_cast<std::uint8_t>(frame.id));
    }
    message.insert(message.end(), frame.payload().begin(), frame.payload().end());
    return message;
}

std::vector<std::uint8_t> broadcast_add_block(std::uint16_t interval_ms,
                                              std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> block{1,
                                    0,
                                    static_cast<std::uint8_t>(interval_ms),
                                    static_cast<std::uint8_t>(interval_ms >> 8),
                                    static_cast<std::uint8_t>(message.size()),
                                    static_cast<std::uint8_t>(message.size() >> 8)};
    block.insert(block.end(), message.begin(), message.end());
    return block;
}

std::optional<CanReadMessage> parse_can_read_message(std::span<const std::uint8_t> bytes,
                                                     bool echo_on) {
    const std::size_t header = 4 + (echo_on ? 1 : 0) + 1;
    if (bytes.size() < header) {
        return std::nullopt;
    }
    CanReadMessage message;
    message.time_ms = get_be(bytes.subspan(0, 4));
    std::size_t at = 4;
    if (echo_on) {
        message.echo = bytes[at++] != 0;
    }
    const std::uint8_t type = bytes[at++];
    if (type > 1) {
        return std::nullopt;
    }
    message.frame.extended = type == 1;
    const std::size_t id_size = message.frame.extended ? 4 : 2;
    if (bytes.size() < at + id_size || bytes.size() - at - id_size > 8) {
        return std::nullopt;
    }
    message.frame.id = get_be(bytes.subspan(at, id_size));
    at += id_size;
    message.frame.length = static_cast<std::uint8_t>(bytes.size() - at);
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(),
              message.frame.data.begin());
    return message;
}

std::vector<std::uint8_t> j1939_send_message(const J1939Message& message) {
    const bool global = message.destination == kGlobalAddress;
    const std::uint8_t header[] = {
        static_cast<std::uint8_t>(message.pgn),
        static_cast<std::uint8_t>(message.pgn >> 8),
        static_cast<std::uint8_t>(message.pgn >> 16),
        static_cast<std::uint8_t>((message.priority & 7) | (global ? 0x80 : 0)),
        message.source,
        message.destination};
    // Sized once and filled (an initializer list followed by an insert makes GCC 12 warn
    // falsely about array bounds in the optimised Windows builds).
    std::vector<std::uint8_t> bytes(sizeof header + message.data.size());
    std::copy(std::begin(header), std::end(header), bytes.begin());
    std::copy(message.data.begin(), message.data.end(), bytes.begin() + sizeof header);
    return bytes;
}

std::optional<J1939ReadMessage> parse_j1939_read_message(std::span<const std::uint8_t> bytes,
                                                         bool echo_on) {
    const std::size_t header = 4 + (echo_on ? 1 : 0) + 6;
    if (bytes.size() < header) {
        return std::nullopt;
    }
    J1939ReadMessage read;
    read.time_ms = get_be(bytes.subspan(0, 4));
    std::size_t at = 4;
    if (echo_on) {
        read.echo = bytes[at++] != 0;
    }
    J1939Message& m = read.message;
    m.pgn = bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16);
    m.priority = bytes[at + 3] & 7;
    m.source = bytes[at + 4];
    m.destination = bytes[at + 5];
    m.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(header), bytes.end());
    return read;
}

std::vector<std::uint8_t> j1939_filter_records(std::span<const std::uint32_t> pgns,
                                               std::span<const std::uint8_t> sources) {
    std::vector<std::uint8_t> records;
    const auto add = [&](std::optional<std::uint32_t> pgn, std::optional<std::uint8_t> source) {
        const std::uint32_t p = pgn.value_or(0);
        records.insert(records.end(),
                       {static_cast<std::uint8_t>((pgn ? 0x01 : 0) | (source ? 0x04 : 0)),
                        static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8),
                        static_cast<std::uint8_t>(p >> 16), 0, source.value_or(0), 0});
    };
    if (pgns.empty()) {
        for (std::uint8_t source : sources) {
            add(std::nullopt, source);
        }
    }
    for (std::uint32_t pgn : pgns) {
        if (sources.empty()) {
            add(pgn, std::nullopt);
        }
        for (std::uint8_t source : sources) {
            add(pgn, source);
        }
    }
    return records;
}

std::vector<std::uint8_t> protect_address_args(const J1939Claim& claim) {
    std::vector<std::uint8_t> args{claim.address};
    for (int i = 0; i < 8; ++i) {
        args.push_back(static_cast<std::uint8_t>(claim.name >> (8 * i)));
    }
    args.push_back(0);
    return args;
}

std::vector<std::uint8_t> can_filter_records(std::span<const CanFilter> filters) {
    std::vector<std::uint8_t> records;
    for (const CanFilter& f : filters) {
        records.push_back(f.extended ? 1 : 0);
        put_be32(records, f.mask);
        put_be32(records, f.id & f.mask);
    }
    return records;
}

HardwareStatusRecord decode_hardware_status(std::span<const std::uint8_t, 64> bytes) {
    HardwareStatusRecord record;
    record.interface_kind = bytes[0];
    record.clients = bytes[1];
    record.j1939_clients = bytes[3];
    record.can_clients = bytes[7];
    // A protocol's status byte is filled only while clients of that protocol are connected.
    if (bytes[2] != 0 || bytes[3] != 0) {
        record.j1939 = protocol_status(bytes[2]);
    }
    if (bytes[6] != 0 || bytes[7] != 0) {
        record.can = protocol_status(bytes[6]);
    }
    return record;
}

std::string interface_kind_text(std::uint8_t kind) {
    switch (kind) {
        case 1:
            return "USB";
        case 3:
            return "PCI or LAN";
        case 5:
            return "wireless LAN";
        default:
            return fmt::format("0x{:02X}", kind);
    }
}

std::string protocol_status_text(const ProtocolStatus& status) {
    std::string text = status.traffic ? "traffic" : "no traffic";
    if (status.bus_off) {
        text += ", BUS OFF";
    }
    return text;
}

}  // namespace tools
