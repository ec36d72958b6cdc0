#pragma once
// What the rp1210 subcommands share: a connected client that disconnects when it goes
// away, the RP1210 calls they make on it with every failure reported as its code and the
// library's text, and the stop request of Ctrl-C.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "qz121032/rp1210_loader.hpp"
#include "tools/rp1210_cli.hpp"

namespace tools::rp1210 {

using Api = qz121032::Rp1210Library;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The longest message a client reads: a J1939 transfer of 1785 bytes with its header is
// 1796 bytes; the library stores at most 2048.
inline constexpr std::size_t kReadArea = 2048;

// RP1210 codes the subcommands react to.
inline constexpr int kErrTxQueueFull = 137;
inline constexpr int kErrRxQueueFull = 139;
inline constexpr int kErrRxQueueCorrupt = 140;
inline constexpr int kErrBusOff = 151;

// Command numbers.
inline constexpr short kCmdSetAllFiltersToPass = 3;
inline constexpr short kCmdSetMessageFilteringForJ1939 = 4;
inline constexpr short kCmdSetMessageFilteringForCan = 5;
inline constexpr short kCmdEchoTransmittedMessages = 16;
inline constexpr short kCmdProtectJ1939Address = 19;
inline constexpr short kCmdSetBroadcastForCan = 21;
inline constexpr short kCmdSetBroadcastForJ1939 = 22;
inline constexpr short kCmdSetCanFilterType = 26;
inline constexpr short kCmdSetJ1939InterpacketTime = 27;
inline constexpr short kCmdFlushTxRxBuffers = 39;
inline constexpr short kCmdGetProtocolConnectionSpeed = 45;
inline constexpr short kCmdSetBlockingTimeout = 215;

// "134 (The specified device ID is invalid.)"; the library's text for the code.
std::string error_text(const Api& api, int code);
// Prints "rp1210: CALL failed: CODE (TEXT)" on standard error.
void report_error(const Api& api, std::string_view call, int code);

// A raw CAN connection with the timing of a J1939 one: "J1939:Baud=500" -> "CAN:Baud=500"
// on the same device, for watching the frames of the bus beside a J1939 client.
Connection raw_can_connection(const Connection& j1939);

// Ctrl-C (and SIGTERM) request a stop instead of ending the process, so that clients are
// disconnected and summaries printed.
void install_stop_handler();
bool stop_requested();

class Client {
  public:
    // Connects; on failure prints the error and returns nullopt. A receive buffer size of
    // 0 leaves the library's default.
    static std::optional<Client> connect(const Api& api, const Connection& connection,
                                         std::int32_t rx_buffer_size = 0);

    Client(Client&& other) noexcept;
    Client& operator=(Client&&) = delete;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client();

    short id() const { return id_; }
    const Api& api() const { return *api_; }

    // RP1210_SendCommand; true on success, the error reported otherwise.
    bool command(short number, std::string_view name, std::span<const std::uint8_t> args = {});
    // The same on the caller's bytes, for commands that write their results into them.
    bool command_in_place(short number, std::string_view name, std::span<std::uint8_t> args);
    // Waits while automatic bit-rate detection runs (reads answer ERR_BUS_OFF meanwhile),
    // at most `seconds`. Call it before any filter lets messages through: the check reads.
    bool wait_until_ready(double seconds);
    // Get_Protocol_Connection_Speed in bit/s; nullopt (reported) on failure.
    std::optional<std::uint32_t> connection_speed();
    // Set_Blocking_Timeout to the milliseconds (1 to 65025).
    bool set_blocking_timeout(std::uint32_t ms);
    // RP1210_GetHardwareStatus; nullopt (reported) on failure.
    std::optional<std::array<std::uint8_t, 64>> hardware_status();

    // RP1210_ReadMessage: byte count, 0 when nothing came, or the code negated.
    int read(std::span<std::uint8_t> out, bool block);
    // Protect_J1939_Address, waiting for the claim's outcome; the failure is reported.
    bool protect_address(const J1939Claim& claim);
    // RP1210_SendMessage: 0 or the code.
    int send(std::span<const std::uint8_t> message);
    // RP1210_SendMessage, retried while the transmit buffer is full (it drains at the bus
    // rate) for up to two seconds or until a stop is requested; a failure is reported.
    bool send_retrying(std::span<const std::uint8_t> message);

  private:
    Client(const Api& api, short id) : api_(&api), id_(id) {}

    const Api* api_;
    short id_;  // -1 once moved from
};

}  // namespace tools::rp1210
