// rp1210 selftest: a loopback check between two clients on two channels of one bus.
//
// Three phases, each with one sending and one receiving side, so that no client is used
// by two threads at once: A sends numbered frames to B, B sends numbered frames to A (lost,
// reordered, throughput), then A sends requests that a thread on B answers (round trip).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "platform/thread.hpp"
#include "rp1210_commands.hpp"
#include "tools/can_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kIdAtoB = 0x7A1;
constexpr std::uint32_t kIdBtoA = 0x7A2;
constexpr std::uint32_t kIdRequest = 0x7A3;
constexpr std::uint32_t kIdAnswer = 0x7A4;
// Receive buffers large enough for a whole burst of numbered frames.
constexpr std::int32_t kReceiveBufferSize = 256 * 1024;
constexpr std::uint32_t kReadWaitMs = 50;
// A direction is complete when every frame arrived or none came for this long.
constexpr auto kQuietLimit = std::chrono::seconds(2);
constexpr auto kAnswerLimit = std::chrono::seconds(1);

// Eight data bytes: the sequence number, most significant byte first, then a fixed tail.
CanFrame numbered(std::uint32_t id, std::uint32_t sequence) {
    CanFrame f;
    f.id = id;
    f.length = 8;
    f.data = {static_cast<std::uint8_t>(sequence >> 24),
              static_cast<std::uint8_t>(sequence >> 16),
              static_cast<std::uint8_t>(sequence >> 8),
              static_cast<std::uint8_t>(sequence),
              0x55,
              0xAA,
              0x0F,
              0xF0};
    return f;
}

std::optional<std::uint32_t> sequence_of(const CanFrame& f, std::uint32_t id) {
    if (f.extended || f.id != id || f.length != 8) {
        return std::nullopt;
    }
    return (std::uint32_t{f.data[0]} << 24) | (std::uint32_t{f.data[1]} << 16) |
           (std::uint32_t{f.data[2]} << 8) | f.data[3];
}

bool send_frame(Client& client, const CanFrame& frame) {
    return client.send_retrying(can_send_message(frame));
}

// Reads one client on a thread of its own: collects the sequence numbers of one
// identifier and, when asked, answers every request frame with an answer frame carrying
// the same data.
class Receiver {
  public:
    Receiver(Client& client, std::uint32_t data_id, bool answer_requests)
        : client_(client),
          data_id_(data_id),
          answer_requests_(answer_requests),
          thread_("selftest-rx", platform::ThreadPriority::Normal, [this] { run(); }) {}

    ~Receiver() {
        stop_.store(true);
        thread_.join();
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Waits until `count` data frames arrived, or none for the quiet limit, or a failure.
    void wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        Clock::time_point progress = Clock::now();
        std::size_t seen = sequences_.size();
        while (sequences_.size() < count && !failure_ && !stop_requested()) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            if (sequences_.size() != seen) {
                seen = sequences_.size();
                progress = Clock::now();
            } else if (Clock::now() - progress >= kQuietLimit) {
                return;
            }
        }
    }

    struct Snapshot {
        std::vector<std::uint32_t> sequences;
        Clock::time_point last_at;
        std::uint64_t drops = 0;
        std::optional<int> failure;
    };
    Snapshot snapshot() const {
        std::lock_guard lock(mutex_);
        return {sequences_, last_at_, drops_, failure_};
    }

  private:
    void run() {
        std::array<std::uint8_t, 64> buffer{};
        while (!stop_.load()) {
            const int n = client_.read(buffer, true);
            if (n == 0) {
                continue;
            }
            if (n == -kErrRxQueueFull || n == -kErrRxQueueCorrupt) {
                std::lock_guard lock(mutex_);
                ++drops_;
                continue;
            }
            if (n < 0) {
                std::lock_guard lock(mutex_);
                failure_ = -n;
                changed_.notify_all();
                return;
            }
            const auto message = parse_can_read_message(
                std::span(buffer.data(), static_cast<std::size_t>(n)), false);
            if (!message) {
                continue;
            }
            if (answer_requests_ && sequence_of(message->frame, kIdRequest)) {
                CanFrame answer = message->frame;
                answer.id = kIdAnswer;
                if (!send_frame(client_, answer)) {
                    std::lock_guard lock(mutex_);
                    failure_ = 0;
                    changed_.notify_all();
                    return;
                }
                continue;
            }
            if (const auto sequence = sequence_of(message->frame, data_id_)) {
                std::lock_guard lock(mutex_);
                sequences_.push_back(*sequence);
                last_at_ = Clock::now();
                changed_.notify_all();
            }
        }
    }

    Client& client_;
    const std::uint32_t data_id_;
    const bool answer_requests_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards sequences_, last_at_, drops_, failure_
    std::condition_variable changed_;
    std::vector<std::uint32_t> sequences_;
    Clock::time_point last_at_;
    std::uint64_t drops_ = 0;
    std::optional<int> failure_;  // the read's code; 0 when an answer could not be sent
    platform::Thread thread_;     // last: it runs on the members above
};

struct Direction {
    std::uint32_t sent = 0;
    std::uint32_t received = 0;  // distinct sequence numbers
    std::uint32_t reordered = 0;
    std::uint32_t duplicates = 0;
    std::uint64_t drops = 0;
    double seconds = 0;  // first send to last reception
    bool ok() const { return received == sent && reordered == 0 && duplicates == 0; }
};

bool flush(Client& client) {
    return client.command(kCmdFlushTxRxBuffers, "Flush_Tx_Rx_Buffers");
}

std::optional<Direction> run_direction(Client& from, Client& to, std::uint32_t id,
                                       std::uint32_t frames) {
    if (!flush(from) || !flush(to)) {
        return std::nullopt;
    }
    Direction d;
    Receiver receiver(to, id, false);
    const Clock::time_point start = Clock::now();
    for (std::uint32_t sequence = 0; sequence < frames && !stop_requested(); ++sequence) {
        if (!send_frame(from, numbered(id, sequence))) {
            return std::nullopt;
        }
        ++d.sent;
    }
    receiver.wait_for(d.sent);
    const Receiver::Snapshot got = receiver.snapshot();
    if (got.failure) {
        if (*got.failure != 0) {
            report_error(to.api(), "RP1210_ReadMessage", *got.failure);
        }
        return std::nullopt;
    }
    std::vector<bool> seen(d.sent, false);
    std::uint32_t highest = 0;
    for (std::uint32_t sequence : got.sequences) {
        if (sequence >= d.sent) {
            continue;
        }
        if (seen[sequence]) {
            ++d.duplicates;
            continue;
        }
        seen[sequence] = true;
        ++d.received;
        if (sequence < highest) {
            ++d.reordered;
        }
        highest = std::max(highest, sequence);
    }
    d.drops = got.drops;
    if (!got.sequences.empty()) {
        d.seconds = std::chrono::duration<double>(got.last_at - start).count();
    }
    return d;
}

// The mean length on the wire of the numbered frames sent, with their actual stuff bits.
double mean_frame_bits(std::uint32_t id, std::uint32_t count) {
    std::uint64_t bits = 0;
    for (std::uint32_t sequence = 0; sequence < count; ++sequence) {
        bits += stuffed_frame_bits(numbered(id, sequence));
    }
    return count == 0 ? 0.0 : static_cast<double>(bits) / count;
}

void print_direction(const char* name, const Direction& d, std::uint32_t id, std::uint32_t speed) {
    const double bits = mean_frame_bits(id, d.sent);
    const double limit = bits > 0 ? speed / bits : 0.0;
    const double rate = d.seconds > 0 ? d.received / d.seconds : 0;
    fmt::print("{}: {} sent, {} received, {} lost, {} reordered, {} duplicated, {} drops\n", name,
               d.sent, d.received, d.sent - d.received, d.reordered, d.duplicates, d.drops);
    fmt::print(
        "{}  throughput {:.0f} frames/s = {:.2f} of the bus limit ({:.0f} frames/s of {:.1f} "
        "bits at {} bit/s)\n",
        std::string(std::string_view(name).size(), ' '), rate, limit > 0 ? rate / limit : 0.0,
        limit, bits, speed);
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least `fraction` of all values at or below.
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * values.size()));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

}  // namespace

std::optional<SelftestClients> connect_selftest_clients(const Api& api,
                                                        const SelftestCommand& command,
                                                        std::int32_t rx_buffer_size) {
    Connection b_connection = command.a;
    b_connection.device = command.device_b;
    auto a = Client::connect(api, command.a, rx_buffer_size);
    if (!a) {
        return std::nullopt;
    }
    auto b = Client::connect(api, b_connection, rx_buffer_size);
    if (!b || !a->wait_until_ready(command.a.wait_seconds) ||
        !b->wait_until_ready(command.a.wait_seconds)) {
        return std::nullopt;
    }
    const auto speed = a->connection_speed();
    if (!speed || *speed == 0) {
        return std::nullopt;
    }
    return SelftestClients{std::move(*a), std::move(*b), *speed};
}

int run_selftest(const Api& api, const SelftestCommand& command) {
    if (command.a.j1939) {
        return run_selftest_j1939(api, command);
    }
    auto clients = connect_selftest_clients(api, command, kReceiveBufferSize);
    if (!clients) {
        return kExitFailure;
    }
    Client* const a = &clients->a;
    Client* const b = &clients->b;
    const std::uint32_t speed = clients->speed;
    for (Client* c : {a, b}) {
        if (!c->command(kCmdSetAllFiltersToPass, "Set_All_Filters_States_to_Pass") ||
            !c->set_blocking_timeout(kReadWaitMs)) {
            return kExitFailure;
        }
    }
    fmt::print("selftest: A = device {} (client {}), B = device {} (client {}), {}, {} bit/s\n",
               command.a.device, a->id(), command.device_b, b->id(), command.a.protocol, speed);
    std::fflush(stdout);

    const auto a_to_b = run_direction(*a, *b, kIdAtoB, command.frames);
    if (!a_to_b) {
        return kExitFailure;
    }
    print_direction("A -> B", *a_to_b, kIdAtoB, speed);
    std::fflush(stdout);
    const auto b_to_a = run_direction(*b, *a, kIdBtoA, command.frames);
    if (!b_to_a) {
        return kExitFailure;
    }
    print_direction("B -> A", *b_to_a, kIdBtoA, speed);
    std::fflush(stdout);

    if (!flush(*a) || !flush(*b)) {
        return kExitFailure;
    }
    std::vector<double> round_trips_ms;
    {
        Receiver answering(*b, kIdAnswer, true);
        std::array<std::uint8_t, 64> buffer{};
        for (std::uint32_t k = 0; k < command.pings && !stop_requested(); ++k) {
            const Clock::time_point sent_at = Clock::now();
            if (!send_frame(*a, numbered(kIdRequest, k))) {
                return kExitFailure;
            }
            while (Clock::now() - sent_at < kAnswerLimit) {
                const int n = a->read(buffer, true);
                if (n < 0 && n != -kErrRxQueueFull && n != -kErrRxQueueCorrupt) {
                    report_error(api, "RP1210_ReadMessage", -n);
                    return kExitFailure;
                }
                const auto message =
                    n > 0 ? parse_can_read_message(
                                std::span(buffer.data(), static_cast<std::size_t>(n)), false)
                          : std::nullopt;
                if (message && sequence_of(message->frame, kIdAnswer) == k) {
                    round_trips_ms.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - sent_at).count());
                    break;
                }
            }
        }
    }
    const std::uint32_t answered = static_cast<std::uint32_t>(round_trips_ms.size());
    if (round_trips_ms.empty()) {
        fmt::print("round trip: 0 of {} requests answered\n", command.pings);
    } else {
        fmt::print("round trip: {} of {} requests answered, median {:.2f} ms, p99 {:.2f} ms\n",
                   answered, command.pings, percentile(round_trips_ms, 0.5),
                   percentile(round_trips_ms, 0.99));
    }
    const bool ok = a_to_b->ok() && b_to_a->ok() && answered == command.pings;
    fmt::print("selftest {}\n", ok ? "passed" : "FAILED");
    return ok ? kExitOk : kExitFailure;
}

}  // namespace tools::rp1210
