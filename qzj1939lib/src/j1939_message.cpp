#include "qzj1939lib/j1939_message.hpp"

#include <fmt/format.h>

#include "platform/clock.hpp"

namespace qzj1939lib {

MonotonicClock::time_point MonotonicClock::now() noexcept {
    return time_point(duration(platform::monotonic_ns()));
}

std::uint32_t encode_id(const J1939Message& message) noexcept {
    const std::uint32_t priority = (message.priority & 7u) << 26;
    const std::uint32_t pgn = message.pgn;
    const std::uint32_t rest = is_pdu2(pgn) ? (pgn << 8) & 0x3FFFF00u
                                            : (static_cast<std::uint32_t>(message.dest_addr) << 8) |
                                                  ((pgn << 8) & 0x3FF0000u);
    return priority | rest | message.src_addr;
}

J1939Message decode_id(std::uint32_t id) noexcept {
    J1939Message message;
    message.priority = static_cast<std::uint8_t>((id >> 26) & 7u);
    message.src_addr = static_cast<std::uint8_t>(id & 0xFFu);
    if ((id & 0xF00000u) == 0xF00000u) {
        message.pgn = (id >> 8) & 0x3FFFFu;
        message.dest_addr = kGlobalAddress;
    } else {
        message.pgn = (id >> 8) & 0x3FF00u;
        message.dest_addr = static_cast<std::uint8_t>((id >> 8) & 0xFFu);
    }
    return message;
}

tarnlib::CanMessage to_can_message(const J1939Message& message) {
    tarnlib::CanMessage frame;
    frame.id = encode_id(message);
    frame.flag.bits = tarnlib::CanMsgFlags::EXT;
    if (message.data) {
        frame.data = *message.data;
    }
    frame.dlc = static_cast<std::uint8_t>(frame.data.size());
    return frame;
}

J1939Message from_can_message(const tarnlib::CanMessage& frame) {
    J1939Message message = decode_id(frame.id);
    message.timestamp = frame.timestamp;
    message.data = frame.data;
    return message;
}

std::string header_text(const J1939Message& message) {
    return fmt::format(
        "J1939Message {{ pgn: 0x{:X}, priority: {}, src: 0x{:02X}, dest: 0x{:02X}, "
        "len: {} }}",
        message.pgn, message.priority, message.src_addr, message.dest_addr, message.size());
}

}  // namespace qzj1939lib
