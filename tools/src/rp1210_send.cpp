// rp1210 send: one message (a CAN frame or a J1939 message) or a number of them, or one
// the library sends periodically from the client's broadcast list.

#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "rp1210_commands.hpp"
#include "tools/can_text.hpp"
#include "tools/j1939_monitor.hpp"
#include "tools/j1939_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

using Clock = std::chrono::steady_clock;

// A message still in the client's transmit buffer at disconnect is never sent, so every
// message is confirmed by its echo first; this is how long the last ones may take, plus
// the time a J1939 transfer takes at the library's default BAM pace (50 ms a packet).
constexpr auto kConfirmLimit = std::chrono::seconds(5);
constexpr auto kPerPacket = std::chrono::milliseconds(60);
constexpr std::int32_t kReceiveBufferSize = 256 * 1024;

// What is sent, and how its echo is told from other messages.
struct Outgoing {
    std::vector<std::uint8_t> message;  // as RP1210_SendMessage takes it
    std::string text;                   // for the summary
    const char* noun = "frames";
    std::chrono::milliseconds confirm_limit = kConfirmLimit;
    short broadcast_command = kCmdSetBroadcastForCan;
    const char* broadcast_name = "Set_Broadcast_For_CAN";
    // What the error line suggests when messages were not confirmed.
    std::function<std::string()> unconfirmed_hint = [] {
        return std::string(
            "no transmit acknowledgement (is another node on the bus at this bit rate?)");
    };
    // Whether a message read with echo on is this message's echo.
    std::function<bool(std::span<const std::uint8_t>)> is_echo;
};

class Confirmations {
  public:
    Confirmations(Client& client, const Outgoing& outgoing)
        : client_(client), outgoing_(outgoing) {}

    // Reads the echoes that have arrived (blocking: waits up to the blocking timeout for
    // the first). False after reporting a read failure.
    bool collect(bool block) {
        std::vector<std::uint8_t> buffer(kReadArea);
        for (;;) {
            const int n = client_.read(buffer, block);
            if (n == 0) {
                return true;
            }
            if (n < 0) {
                report_error(client_.api(), "RP1210_ReadMessage", -n);
                return false;
            }
            if (outgoing_.is_echo(std::span(buffer.data(), static_cast<std::size_t>(n)))) {
                ++confirmed_;
            }
            block = false;
        }
    }
    std::uint64_t confirmed() const { return confirmed_; }

  private:
    Client& client_;
    const Outgoing& outgoing_;
    std::uint64_t confirmed_ = 0;
};

std::string seconds_text(std::chrono::milliseconds duration) {
    return fmt::format("{:g}", static_cast<double>(duration.count()) / 1000);
}

// Prints the summary; fails when messages went unconfirmed.
int summarise(std::uint64_t sent, const Outgoing& outgoing, std::uint64_t confirmed) {
    std::fflush(stdout);
    fmt::print("sent {} x {}, {} confirmed\n", sent, outgoing.text, confirmed);
    if (confirmed < sent) {
        fmt::print(stderr, "rp1210: {} of {} {} were not confirmed within {} s: {}\n",
                   sent - confirmed, sent, outgoing.noun, seconds_text(outgoing.confirm_limit),
                   outgoing.unconfirmed_hint());
        return kExitFailure;
    }
    return kExitOk;
}

// Sends the message `total` times, each confirmed before the summary. The echoes are read
// while sending: left in the receive buffer they would fill it long before a large count
// is through. While the transmit buffer is full the tool reads echoes instead of waiting;
// it gives up when nothing was confirmed for the confirmation limit.
int send_counted(Client& client, const Outgoing& outgoing, std::uint64_t total,
                 Confirmations& confirmations) {
    std::uint64_t sent = 0;
    std::uint64_t confirmed_before = 0;
    Clock::time_point progress = Clock::now();
    bool stalled = false;
    while (sent < total && !stop_requested()) {
        const int result = client.send(outgoing.message);
        if (result == 0) {
            ++sent;
            if (!confirmations.collect(false)) {
                return kExitFailure;
            }
            continue;
        }
        if (result != kErrTxQueueFull) {
            report_error(client.api(), "RP1210_SendMessage", result);
            return kExitFailure;
        }
        if (!confirmations.collect(true)) {
            return kExitFailure;
        }
        if (confirmations.confirmed() != confirmed_before) {
            confirmed_before = confirmations.confirmed();
            progress = Clock::now();
        } else if (Clock::now() - progress > outgoing.confirm_limit) {
            stalled = true;
            break;
        }
    }
    const Clock::time_point limit =
        Clock::now() +
        (stalled ? Clock::duration::zero() : Clock::duration(outgoing.confirm_limit));
    while (confirmations.confirmed() < sent && Clock::now() < limit) {
        if (!confirmations.collect(true)) {
            return kExitFailure;
        }
    }
    return summarise(sent, outgoing, confirmations.confirmed());
}

// --every: the library's broadcast list sends the message every interval, and the tool
// only watches the echoes. It clears the list once `total` frames were confirmed, on
// Ctrl-C, or when no frame was confirmed for the confirmation limit (nobody acknowledges).
// A frame the library queued before the list was cleared still goes out and is counted:
// with an interval shorter than the echo takes to come back, one more than `total` can go.
int send_broadcast(Client& client, const Outgoing& outgoing, std::uint32_t every_ms,
                   std::uint64_t total, Confirmations& confirmations) {
    std::vector<std::uint8_t> add =
        broadcast_add_block(static_cast<std::uint16_t>(every_ms), outgoing.message);
    if (!client.command_in_place(outgoing.broadcast_command, outgoing.broadcast_name, add)) {
        return kExitFailure;
    }
    const auto silence_limit = std::chrono::milliseconds(every_ms) + outgoing.confirm_limit;
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
    if (!client.command_in_place(outgoing.broadcast_command, outgoing.broadcast_name, clear)) {
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
    fmt::print("broadcast {} every {} ms: {} confirmed\n", outgoing.text, every_ms,
               confirmations.confirmed());
    if (silent) {
        fmt::print(stderr, "rp1210: no {} was confirmed for {} s: {}\n",
                   outgoing.noun == std::string_view("frames") ? "frame" : "message",
                   std::chrono::duration_cast<std::chrono::seconds>(silence_limit).count(),
                   outgoing.unconfirmed_hint());
        return kExitFailure;
    }
    return kExitOk;
}

// A CAN frame: echo on, and only frames with this identifier pass.
bool prepare_can(Client& client, const CanFrame& frame, Outgoing& outgoing) {
    const CanFilter own{frame.id, frame.extended ? kMaxExtendedId : kMaxStandardId, frame.extended};
    outgoing.message = can_send_message(frame);
    outgoing.text = frame_text(frame);
    outgoing.is_echo = [frame](std::span<const std::uint8_t> bytes) {
        const auto read = parse_can_read_message(bytes, true);
        // Another node's frame with the same identifier comes with echo 0.
        return read && read->echo.value_or(false) && read->frame == frame;
    };
    return client.command(kCmdSetMessageFilteringForCan, "Set_Message_Filtering_For_CAN",
                          can_filter_records(std::span(&own, 1)));
}

// Watches the frames of an RTS/CTS transfer through a CAN client beside the J1939 one, so
// that a failed transfer is explained by what the bus shows: an abort and its reason, no
// CTS at all (nobody holds the address), or a transfer that stalled. The frames wait in the
// client's receive buffer and are looked at only when the transfer failed.
class TransferWatch {
  public:
    static std::optional<TransferWatch> start(const Api& api, const SendCommand& command) {
        auto client = Client::connect(api, raw_can_connection(command.connection), kWatchBuffer);
        if (!client ||
            !client->command(kCmdSetAllFiltersToPass, "Set_All_Filters_States_to_Pass")) {
            return std::nullopt;
        }
        return TransferWatch(std::move(*client), command.message);
    }

    std::string explain() {
        J1939Monitor monitor;
        std::optional<MonitorEvent> last;
        std::vector<std::uint8_t> buffer(kReadArea);
        const auto keep = [&](std::vector<MonitorEvent> events) {
            for (MonitorEvent& e : events) {
                if (e.kind != MonitorEvent::Kind::Message && e.message.pgn == message_.pgn &&
                    e.message.source == message_.source &&
                    e.message.destination == message_.destination) {
                    last = std::move(e);
                }
            }
        };
        // The frames are read after the fact: their time stamps drive the monitor's timers.
        for (;;) {
            const int n = client_.read(buffer, false);
            if (n <= 0) {
                break;
            }
            if (const auto read = parse_can_read_message(
                    std::span(buffer.data(), static_cast<std::size_t>(n)), false)) {
                keep(monitor.frame(read->frame, read->time_ms, read->time_ms));
            }
        }
        // Whatever is still open has waited the whole confirmation time.
        keep(monitor.expire(UINT64_MAX / 2));
        const std::string to = fmt::format("{:02X}", message_.destination);
        if (last && last->kind == MonitorEvent::Kind::Aborted && last->cts_seen) {
            return fmt::format("the transfer to {} was aborted by {:02X} (reason {}: {})", to,
                               last->aborted_by, last->abort_reason,
                               abort_reason_text(last->abort_reason));
        }
        if (last && last->kind == MonitorEvent::Kind::TimedOut && last->cts_seen) {
            return fmt::format("the transfer to {} stopped: {} after {} of {} packets", to,
                               last->note, last->packets_received, last->packets);
        }
        // No answer at all (the sender gives up with an abort of its own, or nothing).
        if (last && last->kind == MonitorEvent::Kind::Aborted &&
            last->aborted_by != message_.source) {
            return fmt::format("the transfer to {} was aborted by {:02X} (reason {}: {})", to,
                               last->aborted_by, last->abort_reason,
                               abort_reason_text(last->abort_reason));
        }
        return fmt::format("no CTS from {}: is a node holding that address?", to);
    }

  private:
    static constexpr std::int32_t kWatchBuffer = 256 * 1024;
    TransferWatch(Client client, J1939Message message)
        : client_(std::move(client)), message_(std::move(message)) {}
    Client client_;
    J1939Message message_;
};

// A J1939 message: the address claimed first if asked, echo on, and only messages of this
// PGN from this source pass.
bool prepare_j1939(Client& client, const SendCommand& command, Outgoing& outgoing) {
    const J1939Message& message = command.message;
    if (command.claim && !client.protect_address(*command.claim)) {
        return false;
    }
    outgoing.message = j1939_send_message(message);
    outgoing.text = j1939_text(message);
    outgoing.noun = "messages";
    outgoing.confirm_limit += kPerPacket * ((message.data.size() + 6) / 7);
    outgoing.broadcast_command = kCmdSetBroadcastForJ1939;
    outgoing.broadcast_name = "Set_Broadcast_For_J1939";
    outgoing.is_echo = [message](std::span<const std::uint8_t> bytes) {
        const auto read = parse_j1939_read_message(bytes, true);
        return read && read->echo.value_or(false) && read->message.pgn == message.pgn &&
               read->message.data == message.data;
    };
    const std::uint32_t pgn = message.pgn;
    return client.command(kCmdSetMessageFilteringForJ1939, "Set_Message_Filtering_For_J1939",
                          j1939_filter_records(std::span(&pgn, 1), std::span(&message.source, 1)));
}

}  // namespace

int run_send(const Api& api, const SendCommand& command) {
    // Room for the echoes that arrive between two reads of a long run.
    auto client = Client::connect(api, command.connection, kReceiveBufferSize);
    if (!client || !client->wait_until_ready(command.connection.wait_seconds)) {
        return kExitFailure;
    }
    // An RTS/CTS transfer: its frames are watched, to explain a failure.
    const bool rts_cts = command.connection.j1939 && command.message.data.size() > 8 &&
                         command.message.destination != kGlobalAddress;
    std::optional<TransferWatch> watch =
        rts_cts ? TransferWatch::start(api, command) : std::nullopt;
    if (rts_cts && !watch) {
        return kExitFailure;
    }
    Outgoing outgoing;
    if (watch) {
        outgoing.unconfirmed_hint = [&watch] { return watch->explain(); };
    }
    if (!(command.connection.j1939 ? prepare_j1939(*client, command, outgoing)
                                   : prepare_can(*client, command.frame, outgoing)) ||
        !client->command(kCmdEchoTransmittedMessages, "Echo_Transmitted_Messages",
                         std::array<std::uint8_t, 1>{1}) ||
        !client->set_blocking_timeout(100)) {
        return kExitFailure;
    }

    Confirmations confirmations(*client, outgoing);
    if (!command.every_ms) {
        return send_counted(*client, outgoing, command.count.value_or(1), confirmations);
    }
    std::fprintf(stderr,
                 "rp1210: sending %s every %u ms on client %d through its broadcast list "
                 "(Ctrl-C stops)\n",
                 outgoing.text.c_str(), *command.every_ms, client->id());
    return send_broadcast(*client, outgoing, *command.every_ms,
                          command.count.value_or(std::numeric_limits<std::uint64_t>::max()),
                          confirmations);
}

}  // namespace tools::rp1210
