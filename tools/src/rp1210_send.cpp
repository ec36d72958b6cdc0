// rp1210 send: one frame, a number of frames, or a periodic send loop.

#include <chrono>
#include <cstdio>
#include <limits>
#include <thread>

#include <fmt/format.h>

#include "rp1210_commands.hpp"
#include "tools/can_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

using Clock = std::chrono::steady_clock;

// A message still in the client's transmit buffer at disconnect is never sent, so every
// frame is confirmed by its echo first; this is how long the last ones may take.
constexpr auto kConfirmLimit = std::chrono::seconds(5);

class Confirmations {
  public:
    Confirmations(Client& client, const CanFrame& frame) : client_(client), frame_(frame) {}

    // Reads the echoes that have arrived (blocking: waits up to the blocking timeout for
    // the first). False after reporting a read failure.
    bool collect(bool block) {
        std::array<std::uint8_t, 64> buffer{};
        for (;;) {
            const int n = client_.read(buffer, block);
            if (n == 0) {
                return true;
            }
            if (n < 0) {
                report_error(client_.api(), "RP1210_ReadMessage", -n);
                return false;
            }
            const auto message =
                parse_can_read_message(std::span(buffer.data(), static_cast<std::size_t>(n)), true);
            // Another node's frame with the same identifier comes with echo 0.
            if (message && message->echo.value_or(false) && message->frame == frame_) {
                ++confirmed_;
            }
            block = false;
        }
    }
    std::uint64_t confirmed() const { return confirmed_; }

  private:
    Client& client_;
    CanFrame frame_;
    std::uint64_t confirmed_ = 0;
};

}  // namespace

int run_send(const Api& api, const SendCommand& command) {
    auto client = Client::connect(api, command.connection);
    if (!client || !client->wait_until_ready(command.connection.wait_seconds)) {
        return kExitFailure;
    }
    // Echo on, and only frames with this identifier pass: the echoes confirm the sends.
    const CanFilter own{command.frame.id, command.frame.extended ? kMaxExtendedId : kMaxStandardId,
                        command.frame.extended};
    if (!client->command(kCmdEchoTransmittedMessages, "Echo_Transmitted_Messages",
                         std::array<std::uint8_t, 1>{1}) ||
        !client->command(kCmdSetMessageFilteringForCan, "Set_Message_Filtering_For_CAN",
                         can_filter_records(std::span(&own, 1))) ||
        !client->set_blocking_timeout(100)) {
        return kExitFailure;
    }

    const std::vector<std::uint8_t> message = can_send_message(command.frame);
    const std::uint64_t total =
        command.count.value_or(command.every_ms ? std::numeric_limits<std::uint64_t>::max() : 1);
    const std::string text = frame_text(command.frame);
    if (command.every_ms) {
        std::fprintf(stderr, "rp1210: sending %s every %u ms on client %d (Ctrl-C stops)\n",
                     text.c_str(), *command.every_ms, client->id());
    }

    Confirmations confirmations(*client, command.frame);
    const Clock::time_point start = Clock::now();
    std::uint64_t sent = 0;
    while (sent < total && !stop_requested()) {
        if (command.every_ms) {
            // On a fixed grid from the start, so that late wake-ups do not add up.
            std::this_thread::sleep_until(
                start + std::chrono::milliseconds(static_cast<std::int64_t>(*command.every_ms) *
                                                  static_cast<std::int64_t>(sent)));
        }
        if (!client->send_retrying(message)) {
            return kExitFailure;
        }
        ++sent;
        if (!confirmations.collect(false)) {
            return kExitFailure;
        }
    }

    const Clock::time_point limit = Clock::now() + kConfirmLimit;
    while (confirmations.confirmed() < sent && Clock::now() < limit) {
        if (!confirmations.collect(true)) {
            return kExitFailure;
        }
    }
    std::fflush(stdout);
    fmt::print("sent {} x {}, {} confirmed\n", sent, text, confirmations.confirmed());
    if (confirmations.confirmed() < sent) {
        fmt::print(stderr,
                   "rp1210: {} of {} frames were not confirmed within {} s: no transmit "
                   "acknowledgement (is another node on the bus at this bit rate?)\n",
                   sent - confirmations.confirmed(), sent, kConfirmLimit.count());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tools::rp1210
