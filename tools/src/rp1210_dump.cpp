// rp1210 dump: a bus monitor over one RP1210 client.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/console.hpp"
#include "rp1210_commands.hpp"
#include "tools/can_text.hpp"
#include "tools/j1939_monitor.hpp"
#include "tools/j1939_text.hpp"
#include "tools/rp1210_messages.hpp"

namespace tools::rp1210 {

namespace {

using Clock = std::chrono::steady_clock;

// A large receive buffer rides out bursts while the terminal scrolls.
constexpr std::int32_t kReceiveBufferSize = 256 * 1024;
// Reads wait this long, so that stop conditions are checked several times a second.
constexpr std::uint32_t kReadWaitMs = 100;
constexpr auto kSummaryInterval = std::chrono::milliseconds(500);

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Counts what the monitor saw; the live line reports the interval since the last one.
struct Totals {
    std::uint64_t messages = 0;
    std::uint64_t bits = 0;
    std::uint64_t drops = 0;
};

std::string load_text(std::uint64_t bits, double seconds, std::uint32_t speed) {
    if (speed == 0 || seconds <= 0) {
        return "?";
    }
    return fmt::format("{:.1f} %", 100.0 * static_cast<double>(bits) / (seconds * speed));
}

// The summary line at the bottom of a terminal: drawn with a carriage return and erased
// (overwritten with blanks) before the next message line.
class LiveLine {
  public:
    void show(const std::string& text) {
        std::string line = "\r" + text;
        if (text.size() < width_) {
            line.append(width_ - text.size(), ' ');
        }
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
        width_ = text.size();
        visible_ = true;
    }
    void erase() {
        if (visible_) {
            std::fputs(("\r" + std::string(width_, ' ') + "\r").c_str(), stdout);
            visible_ = false;
        }
    }

  private:
    std::size_t width_ = 0;
    bool visible_ = false;
};

bool apply_filters(Client& client, const DumpCommand& command) {
    if (command.connection.j1939 && command.j1939_client) {
        if (command.pgns.empty() && command.sources.empty()) {
            return client.command(kCmdSetAllFiltersToPass, "Set_All_Filters_States_to_Pass");
        }
        return client.command(kCmdSetMessageFilteringForJ1939, "Set_Message_Filtering_For_J1939",
                              j1939_filter_records(command.pgns, command.sources));
    }
    // The J1939 monitor needs every frame: transfers are reassembled from TP frames.
    if (command.filters.empty()) {
        return client.command(kCmdSetAllFiltersToPass, "Set_All_Filters_States_to_Pass");
    }
    if (command.exclusive_filters) {
        const std::uint8_t exclusive[1] = {1};
        if (!client.command(kCmdSetCanFilterType, "Set_CAN_Filter_Type", exclusive)) {
            return false;
        }
    }
    return client.command(kCmdSetMessageFilteringForCan, "Set_Message_Filtering_For_CAN",
                          can_filter_records(command.filters));
}

struct Printed {
    std::vector<std::string> lines;
    std::uint32_t bits = 0;  // on the wire
};

bool selected(const std::vector<std::uint32_t>& pgns, const std::vector<std::uint8_t>& sources,
              const J1939Message& m) {
    return (pgns.empty() || std::find(pgns.begin(), pgns.end(), m.pgn) != pgns.end()) &&
           (sources.empty() ||
            std::find(sources.begin(), sources.end(), m.source) != sources.end());
}

// The J1939 monitor: the CAN client's connection, the same timing with "CAN" instead of
// "J1939", and the reassembly.
class Monitor {
  public:
    Monitor(const DumpCommand& command, Clock::time_point start)
        : command_(command), monitor_(command.show_tp_frames), start_(start) {}

    void add(const std::vector<MonitorEvent>& events, Printed& out) const {
        for (const MonitorEvent& e : events) {
            if (selected(command_.pgns, command_.sources, e.message)) {
                out.lines.push_back(monitor_line(e));
            }
        }
    }
    Printed frame(const CanFrame& frame, std::uint32_t time_ms) {
        Printed out;
        out.bits = stuffed_frame_bits(frame);
        add(monitor_.frame(frame, time_ms, now_ms()), out);
        return out;
    }
    Printed expire() {
        Printed out;
        add(monitor_.expire(now_ms()), out);
        return out;
    }

  private:
    std::uint64_t now_ms() const {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
    }
    const DumpCommand& command_;
    J1939Monitor monitor_;
    Clock::time_point start_;
};

// The dump lines of a read message and the bits it took on the wire; nullopt when the
// bytes are no message of the protocol.
std::optional<Printed> print_message(std::span<const std::uint8_t> bytes,
                                     const DumpCommand& command, std::optional<Monitor>& monitor) {
    if (command.connection.j1939 && !monitor) {
        const auto read = parse_j1939_read_message(bytes, command.echo);
        if (!read) {
            return std::nullopt;
        }
        const J1939Message& m = read->message;
        return Printed{{j1939_dump_line(read->time_ms, m, read->echo)},
                       j1939_message_bits(m.data.size(), m.destination == kGlobalAddress)};
    }
    const auto read = parse_can_read_message(bytes, command.echo);
    if (!read) {
        return std::nullopt;
    }
    if (monitor) {
        return monitor->frame(read->frame, read->time_ms);
    }
    return Printed{{dump_line(read->time_ms, read->frame, read->echo)},
                   stuffed_frame_bits(read->frame)};
}

}  // namespace

int run_dump(const Api& api, const DumpCommand& command) {
    const bool monitoring = command.connection.j1939 && !command.j1939_client;
    const Connection connection =
        monitoring ? raw_can_connection(command.connection) : command.connection;
    auto client = Client::connect(api, connection, kReceiveBufferSize);
    if (!client || !client->wait_until_ready(command.connection.wait_seconds)) {
        return kExitFailure;
    }
    const auto speed = client->connection_speed();
    if (!speed) {
        return kExitFailure;
    }
    if (command.claim && !client->protect_address(*command.claim)) {
        return kExitFailure;
    }
    if (!apply_filters(*client, command) ||
        (command.echo && !client->command(kCmdEchoTransmittedMessages, "Echo_Transmitted_Messages",
                                          std::array<std::uint8_t, 1>{1})) ||
        !client->set_blocking_timeout(kReadWaitMs)) {
        return kExitFailure;
    }
    // Printed once the client receives: scripts and tests wait for this line.
    if (monitoring) {
        std::fprintf(stderr,
                     "rp1210: J1939 bus monitor through CAN client %d (\"%s\") on device %d, "
                     "%s: %u bit/s\n",
                     client->id(), connection.protocol.c_str(), command.connection.device,
                     command.connection.protocol.c_str(), *speed);
    } else if (command.claim) {
        std::fprintf(stderr, "rp1210: client %d on device %d with address %02X, %s: %u bit/s\n",
                     client->id(), command.connection.device, command.claim->address,
                     command.connection.protocol.c_str(), *speed);
    } else {
        std::fprintf(stderr, "rp1210: client %d on device %d, %s: %u bit/s\n", client->id(),
                     command.connection.device, command.connection.protocol.c_str(), *speed);
    }
    std::fflush(stderr);

    const bool live = platform::stdout_is_terminal();
    LiveLine line;
    Totals totals;
    Totals at_last_summary;
    const Clock::time_point start = Clock::now();
    Clock::time_point last_summary = start;
    std::optional<Clock::time_point> end;
    if (command.seconds) {
        end = start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(*command.seconds));
    }
    std::vector<std::uint8_t> buffer(kReadArea);
    int status = kExitOk;
    std::optional<Monitor> monitor;
    if (monitoring) {
        monitor.emplace(command, start);
    }
    // Prints the lines of one message (or of one frame that ended transfers); false when
    // nobody reads the output any more.
    const auto print = [&](const Printed& printed) {
        for (const std::string& text : printed.lines) {
            if (command.count && totals.messages >= *command.count) {
                break;
            }
            std::fputs(text.c_str(), stdout);
            std::fputc('\n', stdout);
            ++totals.messages;
        }
        totals.bits += printed.bits;
        return !std::ferror(stdout);
    };

    while (!stop_requested() && (!command.count || totals.messages < *command.count) &&
           (!end || Clock::now() < *end)) {
        const int n = client->read(buffer, true);
        if (n > 0) {
            line.erase();
            const auto printed = print_message(
                std::span(buffer.data(), static_cast<std::size_t>(n)), command, monitor);
            if (!printed) {
                std::fflush(stdout);
                std::fprintf(stderr, "rp1210: a message of %d bytes is not a %s message\n", n,
                             command.connection.j1939 && !monitoring ? "J1939" : "CAN");
                continue;
            }
            if (!print(*printed)) {
                break;  // nobody reads the output any more
            }
        } else if (n == 0 && monitor) {
            // A transfer that stalled is reported without waiting for the next frame.
            line.erase();
            if (!print(monitor->expire())) {
                break;
            }
        } else if (n == -kErrRxQueueFull || n == -kErrRxQueueCorrupt) {
            // The library emptied the receive buffer: whatever it held is lost.
            ++totals.drops;
        } else if (n < 0) {
            line.erase();
            report_error(api, "RP1210_ReadMessage", -n);
            status = kExitFailure;
            break;
        }

        const Clock::time_point now = Clock::now();
        if (live && now - last_summary >= kSummaryInterval) {
            const double interval = seconds_between(last_summary, now);
            std::string bus = "?";
            if (const auto hw = client->hardware_status()) {
                const HardwareStatusRecord record = decode_hardware_status(*hw);
                const auto& own = command.connection.j1939 ? record.j1939 : record.can;
                bus = own ? protocol_status_text(*own) : "no status";
            }
            line.show(fmt::format(
                "-- {} messages, {:.0f}/s, {} drops, bus load {} ({})", totals.messages,
                static_cast<double>(totals.messages - at_last_summary.messages) / interval,
                totals.drops, load_text(totals.bits - at_last_summary.bits, interval, *speed),
                bus));
            at_last_summary = totals;
            last_summary = now;
        }
    }
    line.erase();
    std::fflush(stdout);
    const double elapsed = seconds_between(start, Clock::now());
    fmt::print(stderr, "rp1210: {} messages in {:.1f} s ({:.0f}/s), {} drops, bus load {}\n",
               totals.messages, elapsed,
               elapsed > 0 ? static_cast<double>(totals.messages) / elapsed : 0.0, totals.drops,
               load_text(totals.bits, elapsed, *speed));
    if (totals.bits == 0 && totals.drops == 0 && status == kExitOk) {
        fmt::print(stderr,
                   "rp1210: nothing received at {} bit/s: is the traffic at another bit rate? "
                   "(Baud=Auto detects it)\n",
                   *speed);
    }
    return status;
}

}  // namespace tools::rp1210
