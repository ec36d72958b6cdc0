#pragma once
// What the API layer needs of a protocol client (raw CAN or J1939), and what it hands to
// the client factory at connect time.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "config_reader.hpp"
#include "error_codes.hpp"
#include "hw_status.hpp"
#include "protocol_string.hpp"

namespace qz121032 {

enum class ProtocolKind { Can, J1939 };

// Wait limit meaning "without limit".
inline constexpr std::chrono::nanoseconds kWaitWithoutLimit = std::chrono::nanoseconds::max();

// The receive side of a client: one message per read.
class ReceiveQueue {
public:
    virtual ~ReceiveQueue() = default;
    // Copies one message into `out`, waiting up to `wait` for one (kWaitWithoutLimit:
    // without limit). Returns the byte count (0 when nothing arrived in time) or an RP1210
    // code: 139 full, 140 corrupted, 141 output too small, 148 disconnected.
    virtual platform::Expected<std::size_t, std::int16_t> read(std::span<std::uint8_t> out,
                                                               std::chrono::nanoseconds wait) = 0;
};

class ProtocolClient {
public:
    virtual ~ProtocolClient() = default;

    virtual ProtocolKind kind() const noexcept = 0;

    // Queues one RP1210 message for sending; 0 or an RP1210 code.
    virtual std::int16_t send(std::span<const std::uint8_t> message) = 0;

    // Checks that a read may proceed and hands back the receive queue, or the code that
    // the read must answer instead (151, 142, 140, 139).
    virtual platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> prepare_read() = 0;

    // Stops the client's threads and releases its devices. Idempotent.
    virtual void shutdown() = 0;

    // Empties the filter list and lets every message pass (true) or none (false).
    virtual void set_all_filters(bool pass) = 0;
    virtual void set_message_receive(bool enabled) = 0;

    // The protocol's own commands: the result value, or 143 (unknown), 144 (bad
    // arguments) or another RP1210 code. The argument bytes are the caller's buffer:
    // queries (the connection speed) write their answer into it.
    virtual platform::Expected<std::uint16_t, std::int16_t> command(
        std::int16_t number, std::span<std::uint8_t> arguments) = 0;

    // Device access for the API-layer commands and the version and status queries.
    virtual bool has_device() const = 0;
    // Bus type of the open driver handle, or nullopt without an open handle or when the
    // query fails.
    virtual std::optional<std::uint32_t> bus_type() = 0;
    // Firmware revision of the open driver handle, or nullopt.
    virtual std::optional<std::uint64_t> firmware_revision() = 0;
    // Opens the client's channel exclusively and closes it again; the driver status of the
    // open (0 on success).
    virtual std::int32_t probe_exclusive_open() = 0;
    // The 64-byte hardware-status record of the client's channel.
    virtual std::array<std::uint8_t, 64> hardware_status() = 0;
};

struct ClientCreateArgs {
    std::int32_t client_id = 0;
    std::uint32_t channel_index = 0;
    std::optional<std::uint64_t> ean;
    std::optional<std::uint32_t> serial_number;
    ProtocolParameters protocol;
    BusTimingRequest timing;
    std::uint32_t tx_buffer_size = 0;
    std::uint32_t rx_buffer_size = 0;
    bool app_packetizing = false;
    std::shared_ptr<HardwareStatus> hardware_status;
};

}  // namespace qz121032
