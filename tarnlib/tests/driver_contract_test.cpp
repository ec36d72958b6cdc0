// What every CAN driver library must do, checked through its exported functions the way the
// product reaches them: the library is loaded at run time by path and called through its
// function table. The same suite runs against each driver; by default against the simulated
// driver beside this program.
//
// Environment:
//   TARN_CONTRACT_DRIVER    path of the driver library. Default: the simulated driver beside
//                           this program, on a private simulated interface with two channels
//                           on one bus. With a named driver only its driver functions are
//                           called.
//   TARN_CONTRACT_CHANNELS  "A,B": driver channel numbers of two channels wired to the same
//                           bus (default 0,1).
//   TARN_CONTRACT_BITRATE   the bit rate of both channels (default 250000). A driver may accept
//                           only the current rate of an interface that is already up.

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "driver_loader.hpp"
#include "platform/clock.hpp"
#include "platform/dynamic_library.hpp"
#include "platform/environment.hpp"
#include "platform/event.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "sim_fixture.hpp"
#include "tarnlib/driver_api.h"

namespace {

using driver_test::drv;
using driver_test::load_driver;

constexpr tarnStatus kOk = 0;
constexpr tarnStatus kErrParam = -1;
constexpr tarnStatus kErrNoMsg = -2;
constexpr tarnStatus kErrNotFound = -3;
constexpr tarnStatus kErrInvHandle = -10;
constexpr tarnStatus kErrTxBufOfl = -13;
constexpr tarnStatus kErrNotSupported = -19;
constexpr tarnStatus kErrNoAccess = -31;

// The limit of every wait: it only ends a test that would otherwise hang.
constexpr std::uint32_t kGenerousMs = 20000;
// How far a time stamp may lie outside the readings of the monotonic clock around it: a
// driver may convert the time of another clock.
constexpr std::uint32_t kClockSlackUs = 1000;
// Virtual channels are as good as real ones for the contract.
constexpr std::int32_t kOpenFlags = TARN_OPEN_ACCEPT_VIRTUAL;

struct Settings {
    std::string driver;
    std::int32_t a = 0;
    std::int32_t b = 1;
    std::int32_t bitrate = 250000;
};

Settings& settings() {
    static Settings s;
    return s;
}

std::optional<std::int32_t> parse_int(std::string_view text) {
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// Reads the settings from the environment; an error text when they do not parse. Without a
// named driver the simulated one is used on a private configuration, which is written here
// and named, with the driver, in the environment that child processes inherit.
std::optional<std::string> read_settings(std::unique_ptr<tarnsim_test::ConfigFile>& private_sim) {
    Settings& s = settings();
    if (auto channels = platform::environment_variable("TARN_CONTRACT_CHANNELS")) {
        const auto comma = channels->find(',');
        const auto a = parse_int(std::string_view(*channels).substr(0, comma));
        const auto b = comma == std::string::npos
                           ? std::nullopt
                           : parse_int(std::string_view(*channels).substr(comma + 1));
        if (!a || !b || *a == *b) {
            return "TARN_CONTRACT_CHANNELS must be two different channel numbers A,B, not " +
                   *channels;
        }
        s.a = *a;
        s.b = *b;
    }
    if (auto bitrate = platform::environment_variable("TARN_CONTRACT_BITRATE")) {
        const auto value = parse_int(*bitrate);
        if (!value || *value == 0) {
            return "TARN_CONTRACT_BITRATE must be a bit rate, not " + *bitrate;
        }
        s.bitrate = *value;
    }
    if (auto driver = platform::environment_variable("TARN_CONTRACT_DRIVER")) {
        s.driver = *driver;
        return std::nullopt;
    }
    private_sim = std::make_unique<tarnsim_test::ConfigFile>(tarnsim_test::kTwoChannels);
    s.driver = (std::filesystem::path(platform::current_executable_path()).parent_path() /
                platform::shared_library_file_name("tarnlib32"))
                   .string();
    if (!platform::set_environment_variable("TARNSIM_CONFIG", private_sim->path()) ||
        !platform::set_environment_variable("TARN_CONTRACT_DRIVER", s.driver)) {
        return "cannot set the environment";
    }
    return std::nullopt;
}

// ---- frames and handles ----

struct Tx {
    std::int32_t id = 0;
    std::uint32_t dlc = 0;
    std::uint32_t flags = TARN_MSG_STD;
    std::uint8_t data[8] = {};
};

struct Rx {
    tarnStatus status = kErrNoMsg;
    std::int32_t id = 0;
    std::uint8_t data[64] = {};
    std::uint32_t dlc = 0;
    std::uint32_t flags = 0;
    std::uint32_t time = 0;
};

std::uint32_t data_length(const Tx& f) {
    return (f.flags & TARN_MSG_RTR) ? 0 : std::min<std::uint32_t>(f.dlc, 8);
}

// The received frame is the sent one, flagged as sent plus `added`.
::testing::AssertionResult same_frame(const Rx& rx, const Tx& tx, std::uint32_t added = 0) {
    if (rx.status != kOk) {
        return ::testing::AssertionFailure() << "read status " << rx.status;
    }
    if (rx.id != tx.id || rx.dlc != tx.dlc || rx.flags != (tx.flags | added) ||
        std::memcmp(rx.data, tx.data, data_length(tx)) != 0) {
        return ::testing::AssertionFailure()
               << std::hex << "got id 0x" << rx.id << " dlc " << rx.dlc << " flags 0x" << rx.flags
               << ", sent id 0x" << tx.id << " dlc " << tx.dlc << " flags 0x" << (tx.flags | added)
               << (rx.id == tx.id ? " (data differ)" : "");
    }
    return ::testing::AssertionSuccess();
}

// The i-th frame of a sequence: standard and extended ids, the edge ids among them, every
// length 0..8, and now and then a remote frame.
Tx sequence_frame(int i) {
    Tx f;
    const bool ext = i % 2 == 1;
    f.flags = (ext ? TARN_MSG_EXT : TARN_MSG_STD) | (i % 10 == 8 ? TARN_MSG_RTR : 0);
    f.id = ext ? 0x18000000 + i * 0x10101 : (i * 0x35) & 0x7FF;
    f.dlc = static_cast<std::uint32_t>(i % 9);
    switch (i) {
        case 0:
            f.id = 0;
            break;
        case 1:
            f.id = 0x1FFFFFFF;
            break;
        case 2:
            f.id = 0x7FF;
            break;
        case 3:
            f.id = 0x7FF;  // extended, with a standard-looking id
            break;
        default:
            break;
    }
    for (std::uint32_t k = 0; k < 8; ++k) {
        f.data[k] = static_cast<std::uint8_t>(i * 13 + k * 31);
    }
    return f;
}

// Time stamp t (32-bit microseconds) lies between two readings of the monotonic clock.
::testing::AssertionResult within(std::uint32_t t, std::int64_t before_ns, std::int64_t after_ns) {
    const auto lo = static_cast<std::uint32_t>(before_ns / 1000) - kClockSlackUs;
    const auto hi = static_cast<std::uint32_t>(after_ns / 1000) + kClockSlackUs;
    if (t - lo <= hi - lo) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "time stamp " << t << " outside [" << lo + kClockSlackUs
                                         << ", " << hi - kClockSlackUs << "] us";
}

// Writes a frame; a full transmit queue is waited out.
tarnStatus write_frame(tarnHandle h, const Tx& f) {
    const std::int64_t limit = platform::monotonic_ns() + std::int64_t{kGenerousMs} * 1'000'000;
    for (;;) {
        const tarnStatus st =
            drv().write(h, f.id, data_length(f) > 0 ? f.data : nullptr, f.dlc, f.flags);
        if (st != kErrTxBufOfl || platform::monotonic_ns() > limit) {
            return st;
        }
        drv().write_sync(h, kGenerousMs);
    }
}

// Opens a channel the way the product does and, with on_bus, sets the bit rate, normal
// output and goes on bus. A handle (>= 0) or a negative status.
tarnHandle open_channel(std::int32_t channel, bool on_bus, std::int32_t flags = kOpenFlags) {
    const tarnHandle h = drv().open_channel(channel, flags);
    if (h < 0 || !on_bus) {
        return h;
    }
    std::uint32_t microseconds = 1;
    tarnStatus st = drv().set_bus_params(h, settings().bitrate, 11, 4, 1, 1, 0);
    if (st == kOk) {
        st = drv().set_bus_output_control(h, TARN_DRIVERTYPE_NORMAL);
    }
    if (st == kOk) {
        st = drv().io_ctl(h, TARN_IOCTL_SET_TIMER_SCALE, &microseconds, sizeof microseconds);
    }
    if (st == kOk) {
        st = drv().bus_on(h);
    }
    if (st != kOk) {
        drv().close(h);
        return st;
    }
    return h;
}

// A handle on a channel, closed at the end of its scope. Its reads skip error frames: a real
// bus may report bus errors, which carry no frame.
class Node {
  public:
    explicit Node(std::int32_t channel, bool on_bus = true)
        : handle_(open_channel(channel, on_bus)) {
        EXPECT_GE(handle_, 0) << "open of channel " << channel;
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node() {
        if (handle_ >= 0) {
            EXPECT_EQ(drv().close(handle_), kOk);
        }
    }

    tarnHandle handle() const { return handle_; }
    void set(std::uint32_t function, std::uint32_t value) const {
        EXPECT_EQ(drv().io_ctl(handle_, function, &value, sizeof value), kOk) << function;
    }
    void write(const Tx& f) const { EXPECT_EQ(write_frame(handle_, f), kOk) << f.id; }
    Rx read(std::uint32_t timeout_ms = kGenerousMs) const {
        Rx rx;
        do {
            rx.status =
                drv().read_wait(handle_, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time, timeout_ms);
        } while (rx.status == kOk && (rx.flags & TARN_MSG_ERROR_FRAME));
        return rx;
    }
    Rx read_now() const {
        Rx rx;
        do {
            rx.status = drv().read(handle_, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time);
        } while (rx.status == kOk && (rx.flags & TARN_MSG_ERROR_FRAME));
        return rx;
    }
    // Waits on the wait handle until a frame can be read at once (or the limit passes).
    Rx read_when_signalled(void* event) const {
        Rx rx;
        while (platform::wait_native_event(event, std::chrono::milliseconds(kGenerousMs)) ==
                   platform::WaitResult::Signalled &&
               (rx = read_now()).status == kErrNoMsg) {
        }
        return rx;
    }
    std::uint32_t status() const {
        std::uint32_t word = 0;
        EXPECT_EQ(drv().read_status(handle_, &word), kOk);
        return word;
    }
    void* wait_handle() const {
        void* event = nullptr;
        EXPECT_EQ(drv().io_ctl(handle_, TARN_IOCTL_GET_EVENTHANDLE, &event, sizeof event), kOk);
        EXPECT_NE(event, nullptr);
        return event;
    }

  private:
    tarnHandle handle_;
};

bool good_bus(std::uint32_t status) {
    return (status & TARN_STAT_ERROR_ACTIVE) != 0 && (status & TARN_STAT_BUS_OFF) == 0;
}

// ---- child processes ----

constexpr int kCrossFrames = 40;

// Writes the first kCrossFrames frames of the sequence on channel A and waits until they
// are out. Exit code 0 on success; otherwise it says on standard error what failed.
int child_write() {
    const auto failed = [](const char* what, tarnStatus st) {
        std::fprintf(stderr, "contract child: %s failed with %d\n", what, st);
        return 3;
    };
    const tarnHandle h = open_channel(settings().a, true);
    if (h < 0) {
        return failed("open on bus", h);
    }
    for (int i = 0; i < kCrossFrames; ++i) {
        if (const tarnStatus st = write_frame(h, sequence_frame(i)); st != kOk) {
            return failed("tarnWrite", st);
        }
    }
    if (const tarnStatus st = drv().write_sync(h, kGenerousMs); st != kOk) {
        return failed("tarnWriteSync", st);
    }
    if (const tarnStatus st = drv().close(h); st != kOk) {
        return failed("tarnClose", st);
    }
    return 0;
}

int run_child(const std::string& mode) {
    if (mode == "write") {
        return child_write();
    }
    return 11;
}

platform::ChildProcess spawn_child(const std::string& mode) {
    auto child = platform::ChildProcess::spawn(platform::current_executable_path(),
                                               {"--contract-child", mode});
    if (!child) {
        ADD_FAILURE() << "spawn: " << child.error().what;
        std::abort();
    }
    return std::move(child.value());
}

// ---- the contract ----

class DriverContract : public ::testing::Test {
  protected:
    const std::int32_t a_ = settings().a;
    const std::int32_t b_ = settings().b;
    const std::int32_t bitrate_ = settings().bitrate;
};

struct ChannelData {
    std::uint32_t card = 0;
    std::uint32_t channel_on_card = 0;
    std::uint64_t serial = 0;
    std::uint64_t ean = 0;
    tarnBusParamLimits limits{};
    tarnClockInfo clock{};
};

ChannelData channel_data(std::int32_t channel) {
    ChannelData d;
    const auto get = [&](std::int32_t item, void* buffer, std::uint32_t size) {
        EXPECT_EQ(drv().get_channel_data(channel, item, buffer, size), kOk)
            << "channel " << channel << " item " << item;
    };
    get(TARN_CHANNELDATA_CARD_NUMBER, &d.card, sizeof d.card);
    get(TARN_CHANNELDATA_CHAN_NO_ON_CARD, &d.channel_on_card, sizeof d.channel_on_card);
    get(TARN_CHANNELDATA_CARD_SERIAL_NO, &d.serial, sizeof d.serial);
    get(TARN_CHANNELDATA_CARD_UPC_NO, &d.ean, sizeof d.ean);
    get(TARN_CHANNELDATA_BUS_PARAM_LIMITS, &d.limits, sizeof d.limits);
    get(TARN_CHANNELDATA_CLOCK_INFO, &d.clock, sizeof d.clock);
    return d;
}

double clock_hz(const tarnClockInfo& c) {
    double hz = static_cast<double>(c.numerator) / c.denominator;
    for (std::int32_t i = 0; i < c.power_of_10; ++i) {
        hz *= 10;
    }
    for (std::int32_t i = 0; i > c.power_of_10; --i) {
        hz /= 10;
    }
    return hz;
}

bool ordered(const tarnBusParamsTq& min, const tarnBusParamsTq& max) {
    return 0 <= min.tq && min.tq <= max.tq && 0 <= min.phase1 && min.phase1 <= max.phase1 &&
           0 <= min.phase2 && min.phase2 <= max.phase2 && 0 <= min.sjw && min.sjw <= max.sjw &&
           0 <= min.prop && min.prop <= max.prop && 1 <= min.prescaler &&
           min.prescaler <= max.prescaler;
}

TEST_F(DriverContract, EnumerationAndChannelData) {
    std::int32_t channels = 0;
    std::int32_t enumerated = 0;
    ASSERT_EQ(drv().get_number_of_channels(&channels), kOk);
    ASSERT_EQ(drv().enum_hardware_ex(&enumerated), kOk);
    EXPECT_EQ(enumerated, channels);
    ASSERT_GT(enumerated, std::max(a_, b_));

    const ChannelData a = channel_data(a_);
    const ChannelData b = channel_data(b_);
    for (const ChannelData* d : {&a, &b}) {
        EXPECT_NE(d->ean, 0u);
        for (std::uint64_t digits = d->ean; digits != 0; digits >>= 4) {
            EXPECT_LE(digits & 0xF, 9u) << std::hex << "EAN 0x" << d->ean << " is packed decimal";
        }
        EXPECT_TRUE(ordered(d->limits.nominal_min, d->limits.nominal_max));
        EXPECT_TRUE(ordered(d->limits.data_min, d->limits.data_max));
        EXPECT_GE(d->limits.nominal_max.tq, 8);
        ASSERT_GT(d->clock.denominator, 0);
        EXPECT_GE(clock_hz(d->clock), 1e6);
        EXPECT_LE(clock_hz(d->clock), 1e9);
    }
    // The identity the product tells channels apart by.
    const auto identity = [](const ChannelData& d) {
        return std::make_tuple(d.ean, d.serial != 0 ? d.serial : d.card, d.channel_on_card);
    };
    EXPECT_NE(identity(a), identity(b));

    std::uint64_t wide = 0;
    EXPECT_EQ(drv().get_channel_data(a_, TARN_CHANNELDATA_CARD_SERIAL_NO, &wide, 4), kErrParam);
    EXPECT_EQ(drv().get_channel_data(a_, 9999, &wide, sizeof wide), kErrNotSupported);
    EXPECT_LT(drv().get_channel_data(enumerated, TARN_CHANNELDATA_CARD_UPC_NO, &wide, sizeof wide),
              0);
    EXPECT_EQ(drv().open_channel(enumerated, kOpenFlags), kErrNotFound);
}

TEST_F(DriverContract, HandleDataAndOptions) {
    const Node a(a_, false);
    std::uint32_t capabilities = 0;
    std::uint64_t firmware = 0;
    std::uint32_t bus_type = 0;
    tarnClockInfo clock{};
    const tarnHandle h = a.handle();
    EXPECT_EQ(drv().get_handle_data(h, TARN_HANDLEDATA_CAPABILITIES, &capabilities, 4), kOk);
    EXPECT_EQ(drv().get_handle_data(h, TARN_HANDLEDATA_FIRMWARE_REV, &firmware, 8), kOk);
    EXPECT_EQ(drv().get_handle_data(h, TARN_HANDLEDATA_BUS_TYPE, &bus_type, 4), kOk);
    EXPECT_LE(bus_type, std::uint32_t{TARN_BUSTYPE_LAN});  // 0: on no bus (a virtual interface)
    EXPECT_EQ(drv().get_handle_data(h, TARN_HANDLEDATA_CLOCK_INFO, &clock, sizeof clock), kOk);
    const tarnClockInfo channel_clock = channel_data(a_).clock;
    EXPECT_EQ(std::memcmp(&clock, &channel_clock, sizeof clock), 0);
    EXPECT_EQ(drv().get_handle_data(h, 9999, &firmware, 8), kErrNotSupported);

    // The options the product sets on every handle, and what they refuse.
    struct Option {
        std::uint32_t function;
        std::uint32_t value;
        tarnStatus expected;
    };
    const Option options[] = {
        {TARN_IOCTL_SET_TIMER_SCALE, 1, kOk},  {TARN_IOCTL_SET_TXACK, 1, kOk},
        {TARN_IOCTL_SET_TXACK, 0, kOk},        {TARN_IOCTL_SET_LOCAL_TXACK, 1, kOk},
        {TARN_IOCTL_SET_LOCAL_TXACK, 0, kOk},  {TARN_IOCTL_SET_LOCAL_TXECHO, 1, kOk},
        {TARN_IOCTL_SET_LOCAL_TXECHO, 0, kOk}, {9999, 1, kErrNotSupported},
    };
    for (const Option& o : options) {
        std::uint32_t value = o.value;
        EXPECT_EQ(drv().io_ctl(h, o.function, &value, sizeof value), o.expected)
            << "ioctl " << o.function << " = " << o.value;
    }
    EXPECT_EQ(drv().set_bus_output_control(h, TARN_DRIVERTYPE_NORMAL), kOk);
    EXPECT_EQ(drv().set_bus_output_control(h, 77), kErrParam);
}

// Every function that takes a handle refuses one that is not open in this process.
TEST_F(DriverContract, FunctionsRefuseAnInvalidHandle) {
    using Call = tarnStatus (*)(tarnHandle);
    struct HandleCall {
        const char* name;
        Call call;
    };
    static const tarnBusParamsTq kTq = {16, 11, 4, 1, 0, 4};
    const HandleCall calls[] = {
        {"tarnSetBusParams",
         [](tarnHandle h) { return drv().set_bus_params(h, settings().bitrate, 11, 4, 1, 1, 0); }},
        {"tarnSetBusParamsTq", [](tarnHandle h) { return drv().set_bus_params_tq(h, &kTq); }},
        {"tarnSetBusParamsFdTq",
         [](tarnHandle h) { return drv().set_bus_params_fd_tq(h, &kTq, &kTq); }},
        {"tarnGetBusParams",
         [](tarnHandle h) {
             std::int32_t bitrate = 0;
             std::uint32_t tseg1 = 0, tseg2 = 0, sjw = 0, samples = 0, sync = 0;
             return drv().get_bus_params(h, &bitrate, &tseg1, &tseg2, &sjw, &samples, &sync);
         }},
        {"tarnGetBusParamsFd",
         [](tarnHandle h) {
             std::int32_t bitrate = 0;
             std::uint32_t tseg1 = 0, tseg2 = 0, sjw = 0;
             return drv().get_bus_params_fd(h, &bitrate, &tseg1, &tseg2, &sjw);
         }},
        {"tarnSetBusOutputControl",
         [](tarnHandle h) { return drv().set_bus_output_control(h, TARN_DRIVERTYPE_NORMAL); }},
        {"tarnBusOn", [](tarnHandle h) { return drv().bus_on(h); }},
        {"tarnBusOff", [](tarnHandle h) { return drv().bus_off(h); }},
        {"tarnWrite", [](tarnHandle h) { return drv().write(h, 1, nullptr, 0, TARN_MSG_STD); }},
        {"tarnWriteSync", [](tarnHandle h) { return drv().write_sync(h, 0); }},
        {"tarnReadWait",
         [](tarnHandle h) {
             Rx rx;
             return drv().read_wait(h, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time, 0);
         }},
        {"tarnRead",
         [](tarnHandle h) {
             Rx rx;
             return drv().read(h, &rx.id, rx.data, &rx.dlc, &rx.flags, &rx.time);
         }},
        {"tarnReadStatus",
         [](tarnHandle h) {
             std::uint32_t status = 0;
             return drv().read_status(h, &status);
         }},
        {"tarnIoCtl",
         [](tarnHandle h) {
             std::uint32_t on = 1;
             return drv().io_ctl(h, TARN_IOCTL_SET_TXACK, &on, sizeof on);
         }},
        {"tarnIoCtl(wait handle)",
         [](tarnHandle h) {
             void* event = nullptr;
             return drv().io_ctl(h, TARN_IOCTL_GET_EVENTHANDLE, &event, sizeof event);
         }},
        {"tarnGetHandleData",
         [](tarnHandle h) {
             std::uint32_t capabilities = 0;
             return drv().get_handle_data(h, TARN_HANDLEDATA_CAPABILITIES, &capabilities, 4);
         }},
        {"tarnClose", [](tarnHandle h) { return drv().close(h); }},
    };
    const tarnHandle closed = drv().open_channel(a_, kOpenFlags);
    ASSERT_GE(closed, 0);
    ASSERT_EQ(drv().close(closed), kOk);
    for (tarnHandle h : {closed, tarnHandle{-1}, tarnHandle{100000}}) {
        for (const HandleCall& c : calls) {
            EXPECT_EQ(c.call(h), kErrInvHandle) << c.name << " on handle " << h;
        }
    }
}

// Bit timing in both forms the product uses: segments (for drivers that ask for it) and time
// quanta worked out from the channel's clock.
TEST_F(DriverContract, BusParametersRoundTrip) {
    const Node a(a_, false);
    const tarnHandle h = a.handle();
    const auto read_back = [&] {
        std::int32_t bitrate = 0;
        std::uint32_t tseg1 = 0, tseg2 = 0, sjw = 0, samples = 0, sync_mode = 0;
        EXPECT_EQ(drv().get_bus_params(h, &bitrate, &tseg1, &tseg2, &sjw, &samples, &sync_mode),
                  kOk);
        EXPECT_GE(tseg1, 1u);
        EXPECT_GE(tseg2, 1u);
        EXPECT_GE(sjw, 1u);
        EXPECT_TRUE(samples == 1 || samples == 3) << samples;
        return bitrate;
    };
    ASSERT_EQ(drv().set_bus_params(h, bitrate_, 11, 4, 1, 1, 0), kOk);
    EXPECT_EQ(read_back(), bitrate_);

    const double hz = clock_hz(channel_data(a_).clock);
    bool tried = false;
    for (std::int32_t tq : {16, 20, 10, 8}) {
        const auto per_bit = static_cast<std::int64_t>(bitrate_) * tq;
        const auto clock = static_cast<std::int64_t>(hz);
        if (clock % per_bit != 0) {
            continue;
        }
        const tarnBusParamsTq nominal = {
            tq, tq - 1 - tq / 4, tq / 4, 1, 0, static_cast<std::int32_t>(clock / per_bit)};
        EXPECT_EQ(drv().set_bus_params_tq(h, &nominal), kOk) << tq << " quanta";
        EXPECT_EQ(read_back(), bitrate_) << tq << " quanta";
        tried = true;
        break;
    }
    EXPECT_TRUE(tried) << "no time-quanta form of " << bitrate_ << " bit/s at " << hz << " Hz";

    EXPECT_EQ(drv().set_bus_params(h, 0, 11, 4, 1, 1, 0), kErrParam);
    EXPECT_EQ(read_back(), bitrate_);
}

// A burst written on A arrives on B unchanged and in order, with time stamps that advance
// with the shared clock; B's wait handle is signalled when its first frame waits.
TEST_F(DriverContract, BurstCrossesTheBusInOrder) {
    constexpr int kFrames = 300;
    const Node a(a_);
    const Node b(b_);
    void* b_event = b.wait_handle();

    const std::int64_t before = platform::monotonic_ns();
    a.write(sequence_frame(0));
    std::vector<Rx> received{b.read_when_signalled(b_event)};
    ASSERT_EQ(received.front().status, kOk) << "B's wait handle or its first frame";
    // Reading along keeps B's queue short.
    for (int i = 1; i < kFrames; ++i) {
        a.write(sequence_frame(i));
        for (Rx rx = b.read_now(); rx.status == kOk; rx = b.read_now()) {
            received.push_back(rx);
        }
    }
    EXPECT_EQ(drv().write_sync(a.handle(), kGenerousMs), kOk);
    while (received.size() < kFrames) {
        received.push_back(b.read());
        ASSERT_EQ(received.back().status, kOk) << "after " << received.size() - 1 << " frames";
    }
    const std::int64_t after = platform::monotonic_ns();

    for (int i = 0; i < kFrames; ++i) {
        const Rx& rx = received[static_cast<std::size_t>(i)];
        EXPECT_TRUE(same_frame(rx, sequence_frame(i))) << "frame " << i;
        EXPECT_TRUE(within(rx.time, before, after)) << "frame " << i;
        if (i > 0) {
            EXPECT_GE(static_cast<std::int32_t>(rx.time - received[i - 1].time), 0) << i;
        }
    }
    EXPECT_EQ(b.read_now().status, kErrNoMsg);
    EXPECT_EQ(a.read_now().status, kErrNoMsg);  // no acknowledgements asked for
    EXPECT_TRUE(good_bus(a.status())) << a.status();
    EXPECT_TRUE(good_bus(b.status())) << b.status();
}

// Who gets a frame written on A back: the sender when it asked for acknowledgements, another
// handle on A when its local echo is on (flagged when it asked for local acknowledgements),
// and B always, as sent. A frame B writes afterwards marks the end of what each handle gets.
TEST_F(DriverContract, AcknowledgementsAndLocalEchoReachTheRightHandles) {
    struct Row {
        const char* name;
        std::uint32_t txack;        // on the sender
        std::uint32_t echo;         // on the other handle of A, and on B
        std::uint32_t local_txack;  // the same
    };
    const Row rows[] = {
        {"nothing back", 0, 0, 0},
        {"acknowledged, local acknowledgement without echo", 1, 0, 1},
        {"echoed", 0, 1, 0},
        {"acknowledged and echoed flagged", 1, 1, 1},
    };
    Tx x;
    x.id = 0x18FEF100;
    x.flags = TARN_MSG_EXT;
    x.dlc = 8;
    std::memcpy(x.data, "\xDE\xAD\xBE\xEF\x00\x01\x02\x03", 8);
    Tx marker;
    marker.id = 0x123;
    marker.dlc = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Node sender(a_);
        sender.set(TARN_IOCTL_SET_TXACK, row.txack);
        const Node local(a_);
        const Node remote(b_);
        for (const Node* n : {&local, &remote}) {
            n->set(TARN_IOCTL_SET_LOCAL_TXECHO, row.echo);
            n->set(TARN_IOCTL_SET_LOCAL_TXACK, row.local_txack);
        }
        sender.write(x);
        EXPECT_TRUE(same_frame(remote.read(), x));
        remote.write(marker);
        if (row.txack) {
            EXPECT_TRUE(same_frame(sender.read(), x, TARN_MSG_TXACK));
        }
        EXPECT_TRUE(same_frame(sender.read(), marker));
        if (row.echo) {
            EXPECT_TRUE(same_frame(local.read(), x, row.local_txack ? TARN_MSG_LOCAL_TXACK : 0));
        }
        EXPECT_TRUE(same_frame(local.read(), marker));
    }
}

TEST_F(DriverContract, ReadsWithNothingWaiting) {
    const Node a(a_);
    const Node b(b_);
    EXPECT_EQ(a.read_now().status, kErrNoMsg);
    constexpr std::uint32_t kTimeoutMs = 30;
    const std::int64_t start = platform::monotonic_ns();
    EXPECT_EQ(a.read(kTimeoutMs).status, kErrNoMsg);
    const std::int64_t waited_ms = (platform::monotonic_ns() - start) / 1'000'000;
    EXPECT_GE(waited_ms, kTimeoutMs - 1);
    EXPECT_LT(waited_ms, kGenerousMs);
    EXPECT_EQ(drv().write_sync(a.handle(), 0), kOk);  // nothing to send
    EXPECT_TRUE(good_bus(a.status())) << a.status();
}

TEST_F(DriverContract, InvalidFramesAreRefused) {
    const Node a(a_);
    const Node b(b_);
    struct Bad {
        const char* name;
        std::int32_t id;
        std::uint32_t dlc;
        std::uint32_t flags;
        bool data;
    };
    const Bad bad[] = {
        {"standard id above 11 bits", 0x800, 0, TARN_MSG_STD, true},
        {"extended id above 29 bits", 0x20000000, 0, TARN_MSG_EXT, true},
        {"negative id", -1, 0, TARN_MSG_STD, true},
        {"length code 9 without large length codes", 0x10, 9, TARN_MSG_STD, true},
        {"data missing", 0x10, 3, TARN_MSG_STD, false},
    };
    const std::uint8_t data[64] = {};
    for (const Bad& f : bad) {
        EXPECT_EQ(drv().write(a.handle(), f.id, f.data ? data : nullptr, f.dlc, f.flags), kErrParam)
            << f.name;
    }
    // Nothing of them reached the bus.
    const Tx marker = sequence_frame(7);
    a.write(marker);
    EXPECT_TRUE(same_frame(b.read(), marker));
}

// A handle off bus receives nothing; on bus again it sends and receives as before.
TEST_F(DriverContract, BusOffAndOnAgain) {
    const Node a(a_);
    const Node b(b_);
    ASSERT_EQ(drv().bus_off(a.handle()), kOk);
    const Tx missed = sequence_frame(10);
    b.write(missed);
    ASSERT_EQ(drv().write_sync(b.handle(), kGenerousMs), kOk);
    ASSERT_EQ(drv().bus_on(a.handle()), kOk);
    EXPECT_TRUE(good_bus(a.status())) << a.status();
    const Tx seen = sequence_frame(11);
    b.write(seen);
    EXPECT_TRUE(same_frame(a.read(), seen));
    const Tx sent = sequence_frame(12);
    a.write(sent);
    EXPECT_TRUE(same_frame(b.read(), sent));
}

TEST_F(DriverContract, ExclusiveAndSharedOpensRefuseEachOther) {
    {
        const Node shared(a_, false);
        EXPECT_EQ(drv().open_channel(a_, kOpenFlags | TARN_OPEN_EXCLUSIVE), kErrNoAccess);
    }
    const tarnHandle exclusive = drv().open_channel(a_, kOpenFlags | TARN_OPEN_EXCLUSIVE);
    ASSERT_GE(exclusive, 0);
    EXPECT_EQ(drv().open_channel(a_, kOpenFlags), kErrNoAccess);
    const Node other(b_, false);  // the other channel is free
    EXPECT_EQ(drv().close(exclusive), kOk);
    const Node again(a_, false);
}

// Another process writes on A: B here receives its frames in order with time stamps on the
// same clock, B's wait handle is signalled, and a handle on A here with local echo gets them
// flagged as sent through this driver by another handle.
TEST_F(DriverContract, FramesCrossProcesses) {
    const Node b(b_);
    void* b_event = b.wait_handle();
    const Node local(a_);
    local.set(TARN_IOCTL_SET_LOCAL_TXECHO, 1);
    local.set(TARN_IOCTL_SET_LOCAL_TXACK, 1);

    const std::int64_t before = platform::monotonic_ns();
    auto child = spawn_child("write");
    std::vector<Rx> received{b.read_when_signalled(b_event)};
    ASSERT_EQ(received.front().status, kOk)
        << "B's wait handle or its first frame; the writer's exit code "
        << child.wait_for(std::chrono::milliseconds(kGenerousMs)).value_or(-1);
    while (received.size() < kCrossFrames && received.back().status == kOk) {
        received.push_back(b.read());
    }
    ASSERT_EQ(received.back().status, kOk) << "after " << received.size() - 1 << " frames";
    const std::int64_t after = platform::monotonic_ns();
    for (int i = 0; i < kCrossFrames; ++i) {
        const Rx& rx = received[static_cast<std::size_t>(i)];
        ASSERT_TRUE(same_frame(rx, sequence_frame(i))) << "frame " << i;
        EXPECT_TRUE(within(rx.time, before, after)) << "frame " << i;
        if (i > 0) {
            EXPECT_GE(static_cast<std::int32_t>(rx.time - received[i - 1].time), 0) << i;
        }
        EXPECT_TRUE(same_frame(local.read(), sequence_frame(i), TARN_MSG_LOCAL_TXACK))
            << "echo " << i;
    }
    EXPECT_EQ(child.wait_for(std::chrono::milliseconds(kGenerousMs)), std::optional<int>(0));
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<tarnsim_test::ConfigFile> private_sim;
    if (auto error = read_settings(private_sim)) {
        std::fprintf(stderr, "%s\n", error->c_str());
        return 2;
    }
    if (auto error = load_driver(settings().driver)) {
        std::fprintf(stderr, "%s\n", error->c_str());
        return 2;
    }
    if (argc > 2 && std::string(argv[1]) == "--contract-child") {
        return run_child(argv[2]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    std::printf("driver %s, channels %d and %d at %d bit/s\n", settings().driver.c_str(),
                settings().a, settings().b, settings().bitrate);
    return RUN_ALL_TESTS();
}
