#pragma once
// The byte layouts an RP1210 application exchanges with the library: raw CAN and J1939
// messages to send and read, CAN and J1939 filter records, the address-protection and
// broadcast-list arguments, the hardware-status record.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/can_text.hpp"
#include "tools/j1939_text.hpp"

namespace tools {

// RP1210_SendMessage on a CAN client: type (0 standard, 1 extended), the identifier most
// significant byte first (2 or 4 bytes), the data.
std::vector<std::uint8_t> can_send_message(const CanFrame& frame);

// A message of RP1210_ReadMessage on a CAN client.
struct CanReadMessage {
    std::uint32_t time_ms = 0;
    std::optional<bool> echo;  // present while echo is on: true for this client's own frame
    CanFrame frame;
};

// Decodes time stamp (4 bytes, most significant first), the echo byte while echo is on,
// type, identifier and data; nullopt when the bytes do not form such a message.
std::optional<CanReadMessage> parse_can_read_message(std::span<const std::uint8_t> bytes,
                                                     bool echo_on);

// One receive filter: a frame passes when (identifier AND mask) equals (id AND mask) and
// its identifier size matches.
struct CanFilter {
    std::uint32_t id = 0;
    std::uint32_t mask = 0;
    bool extended = false;
    friend bool operator==(const CanFilter&, const CanFilter&) = default;
};

// The argument of Set_Message_Filtering_For_CAN: 9 bytes per filter, type, mask and
// header each most significant byte first.
std::vector<std::uint8_t> can_filter_records(std::span<const CanFilter> filters);

// RP1210_SendMessage on a J1939 client: PGN (3 bytes, least significant first),
// how/priority (bit 7 for the global address), source, destination, data.
std::vector<std::uint8_t> j1939_send_message(const J1939Message& message);

// A message of RP1210_ReadMessage on a J1939 client.
struct J1939ReadMessage {
    std::uint32_t time_ms = 0;
    std::optional<bool> echo;  // present while echo is on: true for this client's own message
    J1939Message message;
};

// Decodes time stamp, the echo byte while echo is on, PGN, how/priority, source,
// destination and data; nullopt when the bytes are too few.
std::optional<J1939ReadMessage> parse_j1939_read_message(std::span<const std::uint8_t> bytes,
                                                         bool echo_on);

// The argument of Set_Message_Filtering_For_J1939 passing the messages of the PGNs from
// the sources (either list may be empty: then it is not compared): 7 bytes per filter,
// flags (0x01 PGN, 0x04 source), PGN least significant byte first, priority, source,
// destination.
std::vector<std::uint8_t> j1939_filter_records(std::span<const std::uint32_t> pgns,
                                               std::span<const std::uint8_t> sources);

// The argument of Protect_J1939_Address: address, NAME least significant byte first, and
// 0 (wait for the outcome of the claim).
std::vector<std::uint8_t> protect_address_args(const J1939Claim& claim);

// The argument of Set_Broadcast_For_CAN / Set_Broadcast_For_J1939 that adds `message` (as
// can_send_message or j1939_send_message writes it), sent every `interval_ms`: operation 1,
// a result byte (the library writes the entry's index into it), the interval and the
// message length least significant byte first, the message.
std::vector<std::uint8_t> broadcast_add_block(std::uint16_t interval_ms,
                                              std::span<const std::uint8_t> message);

// RP1210_GetHardwareStatus, decoded.
struct ProtocolStatus {
    bool clients_connected = false;  // bit 0
    bool traffic = false;            // bit 1: frames seen in the last one to two seconds
    bool bus_off = false;            // bit 2
};

struct HardwareStatusRecord {
    std::uint8_t interface_kind = 0;  // byte 0
    std::uint8_t clients = 0;         // byte 1: clients of every process on the channel
    std::optional<ProtocolStatus> j1939;
    std::uint8_t j1939_clients = 0;
    std::optional<ProtocolStatus> can;
    std::uint8_t can_clients = 0;
};

HardwareStatusRecord decode_hardware_status(std::span<const std::uint8_t, 64> bytes);

// "USB", "PCI or LAN", "wireless LAN", or the byte in hexadecimal.
std::string interface_kind_text(std::uint8_t kind);
// "traffic" / "no traffic", with ", BUS OFF" added when that bit is set.
std::string protocol_status_text(const ProtocolStatus& status);

}  // namespace tools
