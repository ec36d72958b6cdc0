// rp1210 selftest with J1939: two clients on two channels of one bus claim an address each
// and send each other RTS/CTS transfers of 9 to 1785 bytes, one at a time, both ways. Each
// transfer is timed from the send to its reception and set against its wire time: the bit
// time of the RTS, the CTS, the packets and the EOMACK at the connection speed.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

#include <fmt/format.h>

#include "rp1210_commands.hpp"
#include "tools/can_text.hpp"
#include "tools/j1939_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kAddressA = 0xA0;
constexpr std::uint8_t kAddressB = 0xA1;
constexpr std::uint32_t kPgn = 0xEF00;  // proprietary A: to one address
constexpr std::size_t kSmallest = 9;
constexpr std::size_t kLargest = 1785;
constexpr std::int32_t kReceiveBufferSize = 256 * 1024;
constexpr std::uint32_t kReadWaitMs = 50;
// A transfer that has not arrived by then is lost (the library gives up on an unanswered
// transfer after its 1.25 s timeouts).
constexpr auto kArrivalLimit = std::chrono::seconds(5);

struct Side {
    Client* client;
    std::uint8_t address;
};

// The sequence number in the first two bytes, then bytes that differ along the message.
std::vector<std::uint8_t> transfer_data(std::uint32_t sequence, std::size_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(sequence * 31 + i * 7);
    }
    data[0] = static_cast<std::uint8_t>(sequence >> 8);
    data[1] = static_cast<std::uint8_t>(sequence);
    return data;
}

// The bits on the wire of one RTS/CTS transfer from `from` to `to`, frame by frame as the
// library sends them (TP.CM and TP.DT at priority 7): the RTS (up to 255 packets per CTS),
// one CTS for every packet, the packets (sequence number, 7 bytes, the last padded with
// FF) and the End of Message Acknowledgment. Each frame counts its actual stuff bits.
std::uint32_t transfer_bits(std::uint8_t from, std::uint8_t to,
                            const std::vector<std::uint8_t>& data) {
    const auto size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t packets = (size + 6) / 7;
    const auto frame = [](std::uint32_t pgn, std::uint8_t source, std::uint8_t destination,
                          std::array<std::uint8_t, 8> bytes) {
        CanFrame f;
        f.extended = true;
        f.id = (7u << 26) | (pgn << 8) | (std::uint32_t{destination} << 8) | source;
        f.length = 8;
        f.data = bytes;
        return stuffed_frame_bits(f);
    };
    const auto lo = static_cast<std::uint8_t>(size);
    const auto hi = static_cast<std::uint8_t>(size >> 8);
    const auto n = static_cast<std::uint8_t>(packets);
    const std::uint8_t p0 = kPgn & 0xFF;
    const std::uint8_t p1 = (kPgn >> 8) & 0xFF;
    std::uint32_t bits = frame(0xEC00, from, to, {16, lo, hi, n, 0xFF, p0, p1, 0}) +
                         frame(0xEC00, to, from, {17, n, 1, 0xFF, 0xFF, p0, p1, 0}) +
                         frame(0xEC00, to, from, {19, lo, hi, n, 0xFF, p0, p1, 0});
    for (std::uint32_t k = 0; k < packets; ++k) {
        std::array<std::uint8_t, 8> packet{
            static_cast<std::uint8_t>(k + 1), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        for (std::uint32_t i = 0; i < 7 && k * 7 + i < size; ++i) {
            packet[1 + i] = data[k * 7 + i];
        }
        bits += frame(0xEB00, from, to, packet);
    }
    return bits;
}

struct Direction {
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    std::uint32_t corrupted = 0;
    std::vector<double> ratios;  // transfer time / wire time
    double largest_ms = 0;       // the largest transfer's time and wire time
    double largest_wire_ms = 0;
    std::size_t largest_size = 0;
    bool ok() const { return received == sent && corrupted == 0; }
};

// Waits for the transfer with the sequence number on the receiving side: true when it
// came (intact or not, `corrupted` says), false when it did not within the limit or a read
// failed (reported).
enum class Arrival { Intact, Corrupted, Lost, Failed };
Arrival await_transfer(Client& to, std::uint8_t from_address, std::uint32_t sequence,
                       const std::vector<std::uint8_t>& sent) {
    std::vector<std::uint8_t> buffer(kReadArea);
    const Clock::time_point give_up = Clock::now() + kArrivalLimit;
    while (Clock::now() < give_up && !stop_requested()) {
        const int n = to.read(buffer, true);
        if (n == -kErrRxQueueFull || n == -kErrRxQueueCorrupt || n == 0) {
            continue;
        }
        if (n < 0) {
            report_error(to.api(), "RP1210_ReadMessage", -n);
            return Arrival::Failed;
        }
        const auto read =
            parse_j1939_read_message(std::span(buffer.data(), static_cast<std::size_t>(n)), false);
        if (!read || read->message.pgn != kPgn || read->message.source != from_address ||
            read->message.data.size() < 2 ||
            ((read->message.data[0] << 8) | read->message.data[1]) != static_cast<int>(sequence)) {
            continue;
        }
        return read->message.data == sent ? Arrival::Intact : Arrival::Corrupted;
    }
    return Arrival::Lost;
}

std::optional<Direction> run_direction(const Side& from, const Side& to, std::uint32_t transfers,
                                       std::uint32_t speed) {
    Direction d;
    for (std::uint32_t k = 0; k < transfers && !stop_requested(); ++k) {
        const std::size_t size = kSmallest + (kLargest - kSmallest) * k / (transfers - 1);
        J1939Message message;
        message.pgn = kPgn;
        message.source = from.address;
        message.destination = to.address;
        message.data = transfer_data(k, size);
        const Clock::time_point start = Clock::now();
        if (!from.client->send_retrying(j1939_send_message(message))) {
            return std::nullopt;
        }
        ++d.sent;
        const Arrival arrival = await_transfer(*to.client, from.address, k, message.data);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (arrival == Arrival::Failed) {
            return std::nullopt;
        }
        if (arrival == Arrival::Lost) {
            continue;
        }
        ++d.received;
        if (arrival == Arrival::Corrupted) {
            ++d.corrupted;
        }
        const double wire_ms =
            1000.0 * transfer_bits(from.address, to.address, message.data) / speed;
        d.ratios.push_back(ms / wire_ms);
        if (size >= d.largest_size) {
            d.largest_size = size;
            d.largest_ms = ms;
            d.largest_wire_ms = wire_ms;
        }
    }
    return d;
}

void print_direction(const char* name, const Direction& d) {
    fmt::print("{}: {} transfers of {} to {} bytes, {} received, {} lost, {} corrupted\n", name,
               d.sent, kSmallest, kLargest, d.received, d.sent - d.received, d.corrupted);
    if (d.ratios.empty()) {
        return;
    }
    std::vector<double> ratios = d.ratios;
    std::sort(ratios.begin(), ratios.end());
    const std::string indent(std::string_view(name).size() + 2, ' ');
    fmt::print("{}transfer time / wire time: median {:.2f}, highest {:.2f}\n", indent,
               ratios[(ratios.size() - 1) / 2], ratios.back());
    fmt::print("{}{} bytes in {:.1f} ms = {:.2f} x the wire time ({:.1f} ms)\n", indent,
               d.largest_size, d.largest_ms, d.largest_ms / d.largest_wire_ms, d.largest_wire_ms);
}

}  // namespace

int run_selftest_j1939(const Api& api, const SelftestCommand& command) {
    auto clients = connect_selftest_clients(api, command, kReceiveBufferSize);
    if (!clients) {
        return kExitFailure;
    }
    Client* const a = &clients->a;
    Client* const b = &clients->b;
    const std::uint32_t speed = clients->speed;
    const Side side_a{a, kAddressA};
    const Side side_b{b, kAddressB};
    for (const auto& [side, other] : {std::pair{side_a, side_b}, std::pair{side_b, side_a}}) {
        const std::uint32_t pgn = kPgn;
        if (!side.client->protect_address({side.address, default_name(side.address)}) ||
            !side.client->command(
                kCmdSetMessageFilteringForJ1939, "Set_Message_Filtering_For_J1939",
                j1939_filter_records(std::span(&pgn, 1), std::span(&other.address, 1))) ||
            !side.client->set_blocking_timeout(kReadWaitMs)) {
            return kExitFailure;
        }
    }
    fmt::print(
        "selftest: A = device {} (client {}, address {:02X}), B = device {} (client {}, address "
        "{:02X}), {}, {} bit/s\n",
        command.a.device, a->id(), kAddressA, command.device_b, b->id(), kAddressB,
        command.a.protocol, speed);
    std::fflush(stdout);

    const auto a_to_b = run_direction(side_a, side_b, command.transfers, speed);
    if (!a_to_b) {
        return kExitFailure;
    }
    print_direction("A -> B", *a_to_b);
    std::fflush(stdout);
    const auto b_to_a = run_direction(side_b, side_a, command.transfers, speed);
    if (!b_to_a) {
        return kExitFailure;
    }
    print_direction("B -> A", *b_to_a);
    const bool ok = a_to_b->ok() && b_to_a->ok();
    fmt::print("selftest {}\n", ok ? "passed" : "FAILED");
    return ok ? kExitOk : kExitFailure;
}

}  // namespace tools::rp1210
