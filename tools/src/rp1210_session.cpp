#include "rp1210_session.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "rp1210_hints.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

std::atomic<bool> stop_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void on_stop_signal(int) {
    stop_flag.store(true);
}

}  // namespace

std::string error_text(const Api& api, int code) {
    char text[80] = {};
    if (code < -32768 || code > 32767 || api.GetErrorMsg(static_cast<short>(code), text) != 0) {
        return fmt::format("{} (no description)", code);
    }
    return fmt::format("{} ({})", code, text);
}

void report_error(const Api& api, std::string_view call, int code) {
    std::fflush(stdout);
    std::fprintf(stderr, "rp1210: %.*s failed: %s\n", static_cast<int>(call.size()), call.data(),
                 error_text(api, code).c_str());
}

Connection raw_can_connection(const Connection& j1939) {
    Connection can = j1939;
    const std::size_t colon = j1939.protocol.find(':');
    can.protocol =
        "CAN" + (colon == std::string::npos ? std::string() : j1939.protocol.substr(colon));
    can.j1939 = false;
    return can;
}

void install_stop_handler() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
#ifdef SIGPIPE
    // Output into a pipe that was closed ("rp1210 dump | head") shows as a write error,
    // after which the subcommand stops and disconnects like on Ctrl-C.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool stop_requested() {
    return stop_flag.load();
}

std::optional<Client> Client::connect(const Api& api, const Connection& connection,
                                      std::int32_t rx_buffer_size) {
    const short result = api.ClientConnect(nullptr, connection.device, connection.protocol.c_str(),
                                           0, rx_buffer_size, 0);
    // Client IDs are 1 to 127; every other value is an error code.
    if (result < 1 || result > 127) {
        report_error(api,
                     fmt::format("RP1210_ClientConnect(device {}, \"{}\")", connection.device,
                                 connection.protocol),
                     result);
        for (const std::string& hint : connect_hints(result, connection)) {
            std::fprintf(stderr, "rp1210: %s\n", hint.c_str());
        }
        return std::nullopt;
    }
    return Client(api, result);
}

Client::Client(Client&& other) noexcept : api_(other.api_), id_(other.id_) {
    other.id_ = -1;
}

Client::~Client() {
    if (id_ < 0) {
        return;
    }
    // What the subcommand printed is out before the library tears the client down.
    std::fflush(nullptr);
    if (const short result = api_->ClientDisconnect(id_); result != 0) {
        report_error(*api_, fmt::format("RP1210_ClientDisconnect({})", id_), result);
    }
}

bool Client::command(short number, std::string_view name, std::span<const std::uint8_t> args) {
    // The export takes a writable buffer; commands that only read get a copy.
    std::vector<std::uint8_t> buffer(args.begin(), args.end());
    return command_in_place(number, name, buffer);
}

bool Client::command_in_place(short number, std::string_view name, std::span<std::uint8_t> args) {
    const short result = api_->SendCommand(
        number, id_, args.empty() ? nullptr : reinterpret_cast<char*>(args.data()),
        static_cast<short>(args.size()));
    if (result >= 128) {
        report_error(*api_, fmt::format("RP1210_SendCommand({} {})", number, name), result);
        return false;
    }
    return true;
}

bool Client::wait_until_ready(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    bool told = false;
    std::array<std::uint8_t, 64> buffer{};
    for (;;) {
        const int n = read(buffer, false);
        if (n >= 0) {
            return true;
        }
        if (-n != kErrBusOff) {
            report_error(*api_, "RP1210_ReadMessage", -n);
            return false;
        }
        if (Clock::now() >= deadline || stop_requested()) {
            std::fflush(stdout);
            std::fprintf(stderr,
                         "rp1210: the bit rate was not detected within %g s (is there traffic "
                         "on the bus?)\n",
                         seconds);
            report_error(*api_, "RP1210_ReadMessage", kErrBusOff);
            return false;
        }
        if (!told) {
            std::fprintf(stderr, "rp1210: waiting for the bit rate to be detected...\n");
            told = true;
        }
        // Detection takes a dwell time per candidate rate; look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<std::uint32_t> Client::connection_speed() {
    // The answer is decimal text with a terminating zero; the area must exceed 16 bytes.
    char text[32] = {};
    const short result = api_->SendCommand(kCmdGetProtocolConnectionSpeed, id_, text, sizeof text);
    if (result >= 128) {
        report_error(*api_, "RP1210_SendCommand(45 Get_Protocol_Connection_Speed)", result);
        return std::nullopt;
    }
    std::uint64_t speed = 0;
    for (std::size_t i = 0; i < sizeof text && text[i] >= '0' && text[i] <= '9'; ++i) {
        speed = speed * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (speed > UINT32_MAX) {
            break;
        }
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(speed, UINT32_MAX));
}

bool Client::set_blocking_timeout(std::uint32_t ms) {
    // The timeout is the product of the two argument bytes in milliseconds.
    ms = std::clamp<std::uint32_t>(ms, 1, 255 * 255);
    std::uint32_t a = 1;
    std::uint32_t b = ms;
    while (b > 255) {
        ++a;
        b = (ms + a - 1) / a;
    }
    const std::uint8_t args[2] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
    return command(kCmdSetBlockingTimeout, "Set_Blocking_Timeout", args);
}

std::optional<std::array<std::uint8_t, 64>> Client::hardware_status() {
    std::array<char, 64> buffer{};
    const short result = api_->GetHardwareStatus(id_, buffer.data(), buffer.size(), 0);
    if (result != 0) {
        report_error(*api_, "RP1210_GetHardwareStatus", result);
        return std::nullopt;
    }
    std::array<std::uint8_t, 64> record{};
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<std::uint8_t>(buffer[i]);
    }
    return record;
}

int Client::read(std::span<std::uint8_t> out, bool block) {
    return api_->ReadMessage(id_, reinterpret_cast<char*>(out.data()),
                             static_cast<short>(std::min<std::size_t>(out.size(), 32767)),
                             block ? 1 : 0);
}

bool Client::protect_address(const J1939Claim& claim) {
    return command(kCmdProtectJ1939Address, "Protect_J1939_Address", protect_address_args(claim));
}

int Client::send(std::span<const std::uint8_t> message) {
    return api_->SendMessage(id_, reinterpret_cast<const char*>(message.data()),
                             static_cast<short>(message.size()), 0, 0);
}

bool Client::send_retrying(std::span<const std::uint8_t> message) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        const int result = send(message);
        if (result == 0) {
            return true;
        }
        if (result != kErrTxQueueFull || Clock::now() >= give_up || stop_requested()) {
            report_error(api(), "RP1210_SendMessage", result);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace tools::rp1210
