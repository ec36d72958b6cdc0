// tarnsim-node: a foreign node on a bus of the simulated CAN interface. It sends through
// the simulator's control interface (tarnsim_inject: the frame appears on the bus as if
// another device had sent it) and, to receive, opens a driver channel of its own with the
// simulator's driver functions. It does not use the RP1210 library. `tarnsim-node --help`
// lists the commands.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "platform/dynamic_library.hpp"
#include "platform/paths.hpp"
#include "tarnlib/driver_api.h"
#include "tarnlib/driver_library.hpp"
#include "tarnlib/status.hpp"
#include "tarnsim/tarnsim_control.h"
#include "tools/can_text.hpp"
#include "tools/node_cli.hpp"
#include "tools/replay_log.hpp"

namespace {

using namespace tools;
using namespace tools::node;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr tarnStatus kNoMessage = -2;
constexpr tarnStatus kTxBufferFull = -13;
// Receive waits are this short, so that stop requests are seen promptly.
constexpr std::uint32_t kReadWaitMs = 100;
// How long the node waits at the end for its queued frames to leave.
constexpr std::uint32_t kDrainLimitMs = 2000;
// A sender that fell this far behind its schedule (a stopped process, a slow machine)
// starts the schedule afresh instead of sending the backlog as a burst.
constexpr auto kMaxBacklog = std::chrono::seconds(1);

std::atomic<bool> stop_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void on_stop_signal(int) {
    stop_flag.store(true);
}

std::string status_text(tarnStatus status) {
    return tarnlib::status_name(status);
}

void fail(std::string_view call, tarnStatus status) {
    std::fflush(stdout);
    fmt::print(stderr, "tarnsim-node: {} failed: {}\n", call, status_text(status));
}

// The simulator's functions, looked up by name in the driver library beside this program
// (else through the system's search), the way applications reach a driver. The 32-bit
// DLL exports its stdcall functions undecorated, which only a lookup by name finds.
struct Simulator {
    platform::DynamicLibrary library;
    tarnInitializeLibrary_fn initialize_library = nullptr;
    tarnUnloadLibrary_fn unload_library = nullptr;
    tarnOpenChannel_fn open_channel = nullptr;
    tarnClose_fn close = nullptr;
    tarnSetBusParams_fn set_bus_params = nullptr;
    tarnBusOn_fn bus_on = nullptr;
    tarnBusOff_fn bus_off = nullptr;
    tarnWrite_fn write = nullptr;
    tarnWriteSync_fn write_sync = nullptr;
    tarnReadWait_fn read_wait = nullptr;
    tarnsim_configure_fn configure = nullptr;
    tarnsim_inject_fn inject = nullptr;

    static std::optional<Simulator> load() {
        const std::string file =
            platform::shared_library_file_name(tarnlib::kDriverLibraryBaseName);
        const std::filesystem::path beside =
            std::filesystem::path(platform::current_executable_path()).parent_path() / file;
        auto opened = platform::DynamicLibrary::open(
            std::filesystem::exists(beside) ? beside.string() : file);
        if (!opened) {
            fmt::print(stderr, "tarnsim-node: cannot load the simulator {}: {}\n", file,
                       opened.error().what);
            return std::nullopt;
        }
        Simulator s{std::move(*opened)};
        bool complete = true;
        auto find = [&](auto& function, const char* name) {
            using F = std::remove_reference_t<decltype(function)>;
            function = s.library.function<F>(name);
            if (function == nullptr) {
                fmt::print(stderr, "tarnsim-node: the simulator {} has no function {}\n", file,
                           name);
                complete = false;
            }
        };
        find(s.initialize_library, "tarnInitializeLibrary");
        find(s.unload_library, "tarnUnloadLibrary");
        find(s.open_channel, "tarnOpenChannel");
        find(s.close, "tarnClose");
        find(s.set_bus_params, "tarnSetBusParams");
        find(s.bus_on, "tarnBusOn");
        find(s.bus_off, "tarnBusOff");
        find(s.write, "tarnWrite");
        find(s.write_sync, "tarnWriteSync");
        find(s.read_wait, "tarnReadWait");
        find(s.configure, "tarnsim_configure");
        find(s.inject, "tarnsim_inject");
        if (!complete) {
            return std::nullopt;
        }
        return s;
    }
};

// Loaded once in main, before any thread starts; lives until the process ends.
const Simulator* sim = nullptr;

// When to stop: a number of frames, a time, or Ctrl-C.
class StopCondition {
  public:
    explicit StopCondition(const Options& options) : count_(options.count) {
        if (options.seconds) {
            end_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(*options.seconds));
        }
    }
    bool reached(std::uint64_t frames) const {
        return stop_flag.load() || (count_ && frames >= *count_) || (end_ && Clock::now() >= *end_);
    }
    // Sleeps until the time, or less when the end comes first.
    void sleep_until(Clock::time_point t) const {
        if (end_ && *end_ < t) {
            t = *end_;
        }
        // In slices, so that Ctrl-C is noticed during long gaps of a replayed log.
        while (!stop_flag.load() && Clock::now() < t) {
            std::this_thread::sleep_until(
                std::min(t, Clock::now() + std::chrono::milliseconds(100)));
        }
    }

  private:
    std::optional<std::uint64_t> count_;
    std::optional<Clock::time_point> end_;
};

tarnStatus inject(const Options& options, const CanFrame& frame) {
    return sim->inject(options.bus, static_cast<std::int32_t>(frame.id), frame.data.data(),
                       frame.length, frame.extended ? TARN_MSG_EXT : TARN_MSG_STD, options.bitrate);
}

// A driver channel of the node's own, on bus at the node's bit rate; closed on destruction.
class Channel {
  public:
    static std::optional<Channel> open(std::int32_t channel, std::int32_t bitrate) {
        const tarnHandle handle = sim->open_channel(channel, 0);
        if (handle < 0) {
            fail(fmt::format("tarnOpenChannel({})", channel), handle);
            return std::nullopt;
        }
        Channel opened(handle, channel);
        // 16 time quanta, sample point at 75 %: the simulator only compares bit rates.
        if (const tarnStatus st = sim->set_bus_params(handle, bitrate, 11, 4, 1, 1, 0); st != 0) {
            fail("tarnSetBusParams", st);
            return std::nullopt;
        }
        if (const tarnStatus st = sim->bus_on(handle); st != 0) {
            fail("tarnBusOn", st);
            return std::nullopt;
        }
        return opened;
    }
    Channel(Channel&& other) noexcept : handle_(other.handle_), channel_(other.channel_) {
        other.handle_ = -1;
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    Channel& operator=(Channel&&) = delete;
    ~Channel() {
        if (handle_ >= 0) {
            // Going off bus empties the transmit queue: let the last replies go out first.
            sim->write_sync(handle_, kDrainLimitMs);
            sim->bus_off(handle_);
            sim->close(handle_);
        }
    }

    struct Received {
        CanFrame frame;
        bool error_frame = false;
        std::uint32_t time_us = 0;
    };

    // One frame, nullopt when none came within the wait, or the failing status.
    platform::Expected<std::optional<Received>, tarnStatus> read() {
        std::int32_t id = 0;
        std::uint8_t data[64] = {};
        std::uint32_t dlc = 0;
        std::uint32_t flags = 0;
        Received r;
        const tarnStatus st =
            sim->read_wait(handle_, &id, data, &dlc, &flags, &r.time_us, kReadWaitMs);
        if (st == kNoMessage) {
            return std::optional<Received>{};
        }
        if (st != 0) {
            return platform::unexpected(st);
        }
        r.error_frame = (flags & TARN_MSG_ERROR_FRAME) != 0;
        r.frame.id = static_cast<std::uint32_t>(id);
        r.frame.extended = (flags & TARN_MSG_EXT) != 0;
        r.frame.length = static_cast<std::uint8_t>(std::min<std::uint32_t>(dlc, 8));
        std::copy(data, data + r.frame.length, r.frame.data.begin());
        return std::optional<Received>(r);
    }

    // Writes a frame, waiting while the transmit queue is full.
    tarnStatus write(const CanFrame& frame) {
        for (int attempt = 0;; ++attempt) {
            const tarnStatus st =
                sim->write(handle_, static_cast<std::int32_t>(frame.id), frame.data.data(),
                           frame.length, frame.extended ? TARN_MSG_EXT : TARN_MSG_STD);
            if (st != kTxBufferFull || attempt == 1000 || stop_flag.load()) {
                return st;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::int32_t number() const { return channel_; }

  private:
    Channel(tarnHandle handle, std::int32_t channel) : handle_(handle), channel_(channel) {}
    tarnHandle handle_;
    std::int32_t channel_;
};

int run_send(const Options& options) {
    // The interval between frames: fixed for a rate; for a load, each frame's own bus time
    // divided by the load, so that the bus is busy that share of the time.
    auto interval = [&](const CanFrame& frame) {
        const double seconds =
            options.load_percent
                ? frame_bits(frame.extended, frame.length) /
                      (static_cast<double>(options.bitrate) * *options.load_percent / 100.0)
                : 1.0 / options.rate;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    fmt::print(stderr, "tarnsim-node: sending {} pattern(s) on bus {} at {} bit/s, {}\n",
               options.patterns.size(), options.bus, options.bitrate,
               options.load_percent ? fmt::format("{}% bus load", *options.load_percent)
                                    : fmt::format("{} frames/s", options.rate));
    const StopCondition stop(options);
    std::mt19937_64 random(std::random_device{}());
    std::vector<std::uint64_t> sent_of_pattern(options.patterns.size(), 0);
    std::uint64_t sent = 0;
    Clock::time_point due = Clock::now();
    while (!stop.reached(sent)) {
        stop.sleep_until(due);
        if (stop.reached(sent)) {
            break;
        }
        const std::size_t p = sent % options.patterns.size();
        const CanFrame frame = pattern_frame(options.patterns[p], sent_of_pattern[p]++, random());
        if (const tarnStatus st = inject(options, frame); st != 0) {
            fail("tarnsim_inject", st);
            return kExitFailure;
        }
        ++sent;
        due += interval(frame);
        if (Clock::now() - due > kMaxBacklog) {
            due = Clock::now();
        }
    }
    fmt::print(stderr, "tarnsim-node: sent {} frames\n", sent);
    return kExitOk;
}

int run_replay(const Options& options) {
    std::ifstream in(options.file, std::ios::binary);
    if (!in) {
        fmt::print(stderr, "tarnsim-node: cannot read {}\n", options.file);
        return kExitUsage;
    }
    std::vector<LogRecord> records;
    std::string line;
    std::uint64_t skipped = 0;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        auto parsed = parse_replay_line(line);
        if (!parsed) {
            fmt::print(stderr, "tarnsim-node: {}:{}: {}\n", options.file, number, parsed.error());
            return kExitUsage;
        }
        if (!parsed->skipped.empty()) {
            if (skipped++ == 0) {
                fmt::print(stderr, "tarnsim-node: {}:{}: skipped: {}\n", options.file, number,
                           parsed->skipped);
            }
        }
        records.insert(records.end(), parsed->records.begin(), parsed->records.end());
    }
    if (skipped > 1) {
        fmt::print(stderr, "tarnsim-node: {} lines skipped in all\n", skipped);
    }
    if (records.empty()) {
        fmt::print(stderr, "tarnsim-node: {} holds no frames\n", options.file);
        return kExitUsage;
    }
    // The frames of a BAM start before the line that showed the message: in time order.
    std::stable_sort(records.begin(), records.end(),
                     [](const LogRecord& a, const LogRecord& b) { return a.time_us < b.time_us; });
    const std::uint64_t first = records.front().time_us;
    const std::uint64_t span = records.back().time_us >= first ? records.back().time_us - first : 0;
    // A loop starts again one mean frame gap after the last frame.
    const std::uint64_t gap = records.size() > 1 ? span / (records.size() - 1) : 100000;
    fmt::print(stderr,
               "tarnsim-node: replaying {} frames ({:.3f} s) from {} on bus {} at {} bit/s{}\n",
               records.size(), static_cast<double>(span) / 1e6, options.file, options.bus,
               options.bitrate, options.loop ? ", looping" : "");

    const StopCondition stop(options);
    std::uint64_t sent = 0;
    Clock::time_point loop_start = Clock::now();
    do {
        for (const LogRecord& r : records) {
            // Time stamps that go backwards are sent at once.
            const std::uint64_t offset = r.time_us >= first ? r.time_us - first : 0;
            stop.sleep_until(loop_start + std::chrono::microseconds(offset));
            if (stop.reached(sent)) {
                break;
            }
            if (const tarnStatus st = inject(options, r.frame); st != 0) {
                fail("tarnsim_inject", st);
                return kExitFailure;
            }
            ++sent;
        }
        loop_start += std::chrono::microseconds(span + gap);
        if (Clock::now() - loop_start > kMaxBacklog) {
            loop_start = Clock::now();
        }
    } while (options.loop && !stop.reached(sent));
    fmt::print(stderr, "tarnsim-node: sent {} frames\n", sent);
    return kExitOk;
}

// listen, echo and answer: receive on the node's channel, print, and reply.
int run_receiver(const Options& options) {
    auto channel = Channel::open(options.channel, options.bitrate);
    if (!channel) {
        return kExitFailure;
    }
    const char* what = options.mode == Mode::Echo     ? "echoing"
                       : options.mode == Mode::Answer ? "answering"
                                                      : "listening";
    // Tests and scripts wait for this line before they send.
    fmt::print(stderr, "tarnsim-node: {} on channel {} at {} bit/s\n", what, options.channel,
               options.bitrate);
    std::fflush(stderr);
    const std::string interface = fmt::format("ch{}", options.channel);
    const StopCondition stop(options);
    std::uint64_t received = 0;
    std::uint64_t replies = 0;
    while (!stop.reached(received)) {
        auto r = channel->read();
        if (!r) {
            fail("tarnReadWait", r.error());
            return kExitFailure;
        }
        if (!*r) {
            continue;
        }
        const Channel::Received& frame = **r;
        if (frame.error_frame) {
            // Another node at a different bit rate.
            fmt::print("({}.{:06}) {} error frame\n", frame.time_us / 1000000,
                       frame.time_us % 1000000, interface);
            std::fflush(stdout);
            continue;
        }
        ++received;
        fmt::print("{}\n", log_line(frame.time_us, interface, frame.frame));
        std::fflush(stdout);
        std::optional<CanFrame> reply;
        if (options.mode == Mode::Echo) {
            reply = echo_frame(frame.frame, options.id_offset);
        } else if (options.mode == Mode::Answer) {
            for (const AnswerRule& rule : options.rules) {
                if (matches(rule, frame.frame)) {
                    reply = rule.response;
                    break;
                }
            }
        }
        if (reply) {
            if (const tarnStatus st = channel->write(*reply); st != 0) {
                fail("tarnWrite", st);
                return kExitFailure;
            }
            ++replies;
        }
    }
    fmt::print(stderr, "tarnsim-node: received {} frames, sent {} replies\n", received, replies);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = parse_command_line(args);
    if (!parsed) {
        fmt::print(stderr, "tarnsim-node: {}\nRun '{}' for the options.\n", parsed.error().message,
                   parsed.error().help_command);
        return kExitUsage;
    }
    if (const auto* help = std::get_if<HelpRequest>(&*parsed)) {
        std::fputs(help->text.c_str(), stdout);
        return kExitOk;
    }
    const Options& options = std::get<Options>(*parsed);
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);

    std::optional<Simulator> loaded = Simulator::load();
    if (!loaded) {
        return kExitFailure;
    }
    // Never unloaded; tarnUnloadLibrary at the end stops the simulator's own threads.
    sim = new Simulator(std::move(*loaded));
    if (options.config) {
        if (const tarnStatus st = sim->configure(options.config->c_str()); st != 0) {
            fail(fmt::format("tarnsim_configure({})", *options.config), st);
            return kExitFailure;
        }
    }
    sim->initialize_library();
    int code = kExitFailure;
    switch (options.mode) {
        case Mode::Send:
            code = run_send(options);
            break;
        case Mode::Replay:
            code = run_replay(options);
            break;
        case Mode::Echo:
        case Mode::Answer:
        case Mode::Listen:
            code = run_receiver(options);
            break;
    }
    sim->unload_library();
    return code;
}
