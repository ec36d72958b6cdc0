// rp1210 send: one frame or a number of frames, or a frame the library sends periodically
// from the client's broadcast list.

#include <chrono>
#include <cstdio>
#include <limits>

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

// Prints the summary; fails when frames went unconfirmed.
int summarise(std::uint64_t sent, const std::string& text, std::uint64_t confirmed) {
    std::fflush(stdout);
    fmt::print("sent {} x {}, {} confirmed\n", sent, text, confirmed);
    if (confirmed < sent) {
        fmt::print(stderr,
                   "rp1210: {} of {} frames were not confirmed within {} s: no transmit "
                   "acknowledgement (is another node on the bus at this bit rate?)\n",
                   sent - confirmed, sent, kConfirmLimit.count());
        return kExitFailure;
    }
    return kExitOk;
}

// Sends the message `total` times, each confirmed before the summary.
int send_counted(Client& client, const std::vector<std::uint8_t>& message, std::uint64_t total,
                 Confirmations& confirmations, const std::string& text) {
    std::uint64_t sent = 0;
    while (sent < total && !stop_requested()) {
        if (!client.send_retrying(message)) {
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
    return summarise(sent, text, confirmations.confirmed());
}

// --every: the library's broadcast list sends the message every interval, and the tool
// only watches the echoes. It clears the list once `total` frames were confirmed, on
// Ctrl-C, or when no frame was confirmed for the confirmation limit (nobody acknowledges).
// A frame the library queued before the list was cleared still goes out and is counted:
// with an interval shorter than the echo takes to come back, one more than `total` can go.
int send_broadcast(Client& client, const std::vector<std::uint8_t>& message, std::uint32_t every_ms,
                   std::uint64_t total, Confirmations& confirmations, const std::string& text) {
    std::vector<std::uint8_t> add =
        broadcast_add_block(static_cast<std::uint16_t>(every_ms), message);
    if (!client.command_in_place(kCmdSetBroadcastForCan, "Set_Broadcast_For_CAN", add)) {
        return kExitFailure;
    }
    const auto silence_limit = std::chrono::milliseconds(every_ms) + kConfirmLimit;
    Clock::time_point last_confirmed = Clock::now();
    bool silent = false;
    while (confirmations.confirmed() < total && !stop_requested()) {
        const std::uint64_t before = confirmations.confirmed();
        if (!confirmations.collect(true)) {
            return kExitFailure;
        }
        if (confirmations.confirmed() != before) {
            last_confirmed = Clock::now();
        } else if (Clock::now() - last_confirmed > silence_limit) {
            silent = true;
            break;
        }
    }
    std::array<std::uint8_t, 2> clear{3, 0};
    if (!client.command_in_place(kCmdSetBroadcastForCan, "Set_Broadcast_For_CAN", clear)) {
        return kExitFailure;
    }
    // The echo of a frame queued before the clear follows within a blocking read or two.
    std::uint64_t seen = 0;
    do {
        seen = confirmations.confirmed();
        if (!confirmations.collect(true)) {
            return kExitFailure;
        }
    } while (confirmations.confirmed() != seen);

    std::fflush(stdout);
    // Only the echoes tell how many went out.
    fmt::print("broadcast {} every {} ms: {} confirmed\n", text, every_ms,
               confirmations.confirmed());
    if (silent) {
        fmt::print(stderr,
                   "rp1210: no frame was confirmed for {} s: no transmit acknowledgement (is "
                   "another node on the bus at this bit rate?)\n",
                   std::chrono::duration_cast<std::chrono::seconds>(silence_limit).count());
        return kExitFailure;
    }
    return kExitOk;
}

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
    const std::string text = frame_text(command.frame);
    Confirmations confirmations(*client, command.frame);
    if (!command.every_ms) {
        return send_counted(*client, message, command.count.value_or(1), confirmations, text);
    }
    std::fprintf(stderr,
                 "rp1210: sending %s every %u ms on client %d through its broadcast list "
                 "(Ctrl-C stops)\n",
                 text.c_str(), *command.every_ms, client->id());
    return send_broadcast(*client, message, *command.every_ms,
                          command.count.value_or(std::numeric_limits<std::uint64_t>::max()),
                          confirmations, text);
}

}  // namespace tools::rp1210
