#include "tarnlib/can_handle.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/log.hpp"
#include "tarnlib/driver_api.h"
#include "tarnlib/driver_library.hpp"

namespace tarnlib {

namespace {

constexpr const char* kTarget = "tarnlib::can_handle";
constexpr const char* kOpenTarget = "tarnlib";
constexpr std::uint32_t kStatusBits = 0x7FF;

Status to_status(std::int32_t raw) {
    return static_cast<Status>(raw);
}

const DriverLibrary& driver() {
    return DriverLibrary::instance();
}

// A driver that explains a failure (an interface that is down, and the command that brings
// it up, say) has its words in the log beside the status.
void log_driver_detail(const ChannelIdentity& identity) {
    const std::string detail = driver().error_detail();
    if (!detail.empty()) {
        QZ_LOG_WARN(kOpenTarget, "CAN driver on channel {}: {}", to_string(identity), detail);
    }
}

}  // namespace

double clock_frequency_hz(const tarnClockInfo& info) {
    if (info.denominator == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(info.numerator) / info.denominator *
           std::pow(10.0, info.power_of_10);
}

std::string to_string(const CanHandle& handle) {
    return fmt::format("{} hnd[{}]", to_string(handle.identity()), handle.handle());
}

TarnResult<CanHandle> CanHandle::open(const ChannelIdentity& identity,
                                      const BusConfiguration& configuration, CanOpenFlags flags,
                                      std::optional<BusConfiguration>* in_use) {
    const std::optional<std::int32_t> channel =
        ChannelDirectory::instance().channel_number(identity);
    if (!channel) {
        return platform::unexpected(Status::tarnERR_NOTFOUND);
    }
    QZ_LOG_DEBUG(kOpenTarget, "Opening bus {} excl {} with channel identity {} and flags {}",
                 to_string(configuration), configuration.exclusive, to_string(identity),
                 to_string(flags));
    if (configuration.exclusive && !flags.has(CanOpenFlags::EXCLUSIVE)) {
        QZ_LOG_WARN(kOpenTarget, "Bus {} requires exclusive access, but exclusive flag not set",
                    to_string(configuration));
        return platform::unexpected(Status::tarnERR_NO_ACCESS);
    }

    CanHandle h;
    h.identity_ = identity;
    h.channel_ = *channel;
    h.configuration_ = configuration;

    tarnClockInfo clock{};
    if (driver().get_channel_data(h.channel_, TARN_CHANNELDATA_CLOCK_INFO, &clock, sizeof clock) ==
        0) {
        const double hz = clock_frequency_hz(clock);
        // A record that gives no usable frequency counts as missing.
        h.clock_hz_ = std::isfinite(hz) && hz > 0.0 ? hz : kDefaultClockHz;
    }

    tarnBusParamLimits limits{};
    if (std::int32_t st = driver().get_channel_data(h.channel_, TARN_CHANNELDATA_BUS_PARAM_LIMITS,
                                                    &limits, sizeof limits);
        st == 0) {
        h.limits_ = {limits.nominal_min, limits.nominal_max, limits.data_min, limits.data_max};
    } else {
        QZ_LOG_INFO(kOpenTarget,
                    "Failed to get bus parameter limits for channel {}: {}. Using default limits.",
                    h.channel_, status_name(st));
    }

    std::uint32_t bits = flags.bits | CanOpenFlags::ACCEPT_VIRTUAL | CanOpenFlags::ACCEPT_LARGE_DLC;
    if (configuration.kind == BusKind::Fd) {
        bits |= CanOpenFlags::CAN_FD;
    }
    h.flags_ = CanOpenFlags{bits};
    const std::int32_t handle =
        driver().open_channel(h.channel_, static_cast<std::int32_t>(h.flags_.bits));
    if (handle < 0) {
        log_driver_detail(identity);
        return platform::unexpected(to_status(handle));
    }
    h.handle_ = handle;
    if (Status st = h.set_timing(configuration); st != Status::tarnOK) {
        log_driver_detail(identity);
        if (st == Status::tarnERR_NO_ACCESS) {
            // The channel runs at another timing for someone else, who keeps it.
            if (auto current = h.get_timing()) {
                QZ_LOG_WARN(kOpenTarget,
                            "Channel {} is on the bus at {} bit/s for another program, which "
                            "keeps it; {} bit/s refused",
                            to_string(identity), current->nominal.bitrate,
                            configuration.nominal.bitrate);
                if (in_use != nullptr) {
                    *in_use = *current;
                }
            }
        }
        h.close();
        return platform::unexpected(st);
    }
    return h;
}

CanHandle::CanHandle(CanHandle&& other) noexcept
    : identity_(std::move(other.identity_)),
      channel_(other.channel_),
      handle_(std::exchange(other.handle_, -1)),
      flags_(other.flags_),
      clock_hz_(other.clock_hz_),
      limits_(other.limits_),
      configuration_(std::move(other.configuration_)) {}

CanHandle& CanHandle::operator=(CanHandle&& other) noexcept {
    if (this != &other) {
        close();
        identity_ = std::move(other.identity_);
        channel_ = other.channel_;
        handle_ = std::exchange(other.handle_, -1);
        flags_ = other.flags_;
        clock_hz_ = other.clock_hz_;
        limits_ = other.limits_;
        configuration_ = std::move(other.configuration_);
    }
    return *this;
}

CanHandle::~CanHandle() {
    close();
}

Status CanHandle::close() noexcept {
    if (handle_ < 0) {
        return Status::tarnERR_INVHANDLE;
    }
    return to_status(driver().close(std::exchange(handle_, -1)));
}

TarnResult<double> CanHandle::handle_clock_hz() const {
    tarnClockInfo clock{};
    std::int32_t st =
        driver().get_handle_data(handle_, TARN_HANDLEDATA_CLOCK_INFO, &clock, sizeof clock);
    if (st == 0) {
        const double hz = clock_frequency_hz(clock);
        if (std::isfinite(hz) && hz > 0.0) {
            return hz;
        }
        st = static_cast<std::int32_t>(Status::tarnERR_PARAM);
    }
    return platform::unexpected(to_status(st));
}

Status CanHandle::set_timing(const BusConfiguration& configuration) {
    auto convert = [&](const BusPhase& phase, const tarnBusParamsTq& max) {
        double hz = kDefaultClockHz;
        auto clock = handle_clock_hz();
        if (clock) {
            hz = *clock;
        } else {
            QZ_LOG_INFO(kTarget,
                        "{} Hz assumed for clock frequency since clock info is not available: {}",
                        16000000, status_name(static_cast<std::int32_t>(clock.error())));
        }
        return to_time_quanta(phase, max, limits_.nominal_max.prescaler, hz);
    };

    if (configuration.kind == BusKind::Fd) {
        auto nominal = convert(configuration.nominal, limits_.nominal_max);
        if (!nominal) {
            return nominal.error();
        }
        auto data = convert(configuration.data, limits_.data_max);
        if (!data) {
            return data.error();
        }
        return to_status(driver().set_bus_params_fd_tq(handle_, *nominal, *data));
    }

    std::uint32_t capabilities = 0;
    if (std::int32_t st = driver().get_handle_data(handle_, TARN_HANDLEDATA_CAPABILITIES,
                                                   &capabilities, sizeof capabilities);
        st != 0) {
        return to_status(st);
    }
    if (capabilities & TARN_CAPABILITY_LEGACY_BUS_PARAMS) {
        const LegacyBusParams p = to_legacy_bus_params(configuration.nominal);
        return to_status(driver().set_bus_params(handle_, p.bitrate, p.tseg1, p.tseg2, 1, 1, 0));
    }
    auto nominal = convert(configuration.nominal, limits_.nominal_max);
    if (!nominal) {
        return nominal.error();
    }
    return to_status(driver().set_bus_params_tq(handle_, *nominal));
}

TarnResult<BusConfiguration> CanHandle::get_timing() const {
    auto phase = [](std::int32_t bitrate, std::uint32_t tseg1, std::uint32_t tseg2) {
        BusPhase p;
        p.bitrate = bitrate;
        p.sample_point = (tseg1 + 1.0) / (static_cast<double>(tseg1) + tseg2 + 1.0);
        return p;
    };
    std::int32_t bitrate = 0;
    std::uint32_t tseg1 = 0, tseg2 = 0, sjw = 0, samples = 0, sync_mode = 0;
    if (std::int32_t st =
            driver().get_bus_params(handle_, bitrate, tseg1, tseg2, sjw, samples, sync_mode);
        st != 0) {
        return platform::unexpected(to_status(st));
    }
    BusConfiguration configuration;
    configuration.nominal = phase(bitrate, tseg1, tseg2);
    if (flags_.has(CanOpenFlags::CAN_FD)) {
        if (std::int32_t st = driver().get_bus_params_fd(handle_, bitrate, tseg1, tseg2, sjw);
            st != 0) {
            return platform::unexpected(to_status(st));
        }
        configuration.kind = BusKind::Fd;
        configuration.data = phase(bitrate, tseg1, tseg2);
    }
    return configuration;
}

TarnResult<std::vector<CanMessage>> CanHandle::read(std::uint32_t timeout_ms) const {
    std::vector<CanMessage> messages;
    std::uint8_t buffer[64];
    bool first = true;
    for (;;) {
        std::int32_t id = 0;
        std::uint32_t dlc = 0, flags = 0, time = 0;
        const std::int32_t st =
            first ? driver().read_wait(handle_, id, buffer, dlc, flags, time, timeout_ms)
                  : driver().read(handle_, id, buffer, dlc, flags, time);
        first = false;
        if (st == static_cast<std::int32_t>(Status::tarnERR_NOMSG)) {
            return messages;
        }
        if (st != 0) {
            return platform::unexpected(to_status(st));
        }
        CanMessage m;
        m.id = static_cast<std::uint32_t>(id);
        m.flag = CanMsgFlags::from_driver(flags);
        // The data length follows from the length code: FD codes above 8 name 12-64
        // bytes, classic ones carry at most 8; the driver's buffer is 64 bytes.
        std::size_t length = dlc;
        if (m.flag.has(CanMsgFlags::FDF)) {
            length = std::min<std::size_t>(dlc, 64);
        } else {
            length = m.flag.has(CanMsgFlags::RTR) ? 0 : std::min<std::size_t>(dlc, 8);
        }
        m.data.assign(buffer, buffer + length);
        m.dlc = static_cast<std::uint8_t>(std::min<std::uint32_t>(dlc, 0xFF));
        m.timestamp = time;
        messages.push_back(std::move(m));
    }
}

Status CanHandle::write(const CanMessage& message) const {
    const void* data = message.data.empty() ? nullptr : message.data.data();
    return to_status(driver().write(handle_, static_cast<std::int32_t>(message.id), data,
                                    static_cast<std::uint32_t>(message.data.size()),
                                    message.flag.bits));
}

Status CanHandle::write_sync(std::uint32_t timeout_ms) const {
    return to_status(driver().write_sync(handle_, timeout_ms));
}

TarnResult<std::uint32_t> CanHandle::read_status() const {
    std::uint32_t status = 0;
    if (std::int32_t st = driver().read_status(handle_, status); st != 0) {
        return platform::unexpected(to_status(st));
    }
    return status & kStatusBits;
}

TarnResult<std::uint64_t> CanHandle::firmware_revision() const {
    std::uint64_t revision = 0;
    if (std::int32_t st = driver().get_handle_data(handle_, TARN_HANDLEDATA_FIRMWARE_REV, &revision,
                                                   sizeof revision);
        st != 0) {
        return platform::unexpected(to_status(st));
    }
    return revision;
}

TarnResult<std::uint32_t> CanHandle::bus_type() const {
    std::uint32_t type = 0;
    if (std::int32_t st =
            driver().get_handle_data(handle_, TARN_HANDLEDATA_BUS_TYPE, &type, sizeof type);
        st != 0) {
        return platform::unexpected(to_status(st));
    }
    return type;
}

TarnResult<void*> CanHandle::wait_handle() const {
    void* handle = nullptr;
    if (std::int32_t st =
            driver().io_ctl(handle_, TARN_IOCTL_GET_EVENTHANDLE, &handle, sizeof handle);
        st != 0) {
        return platform::unexpected(to_status(st));
    }
    return handle;
}

Status CanHandle::io_ctl(std::uint32_t function, std::uint32_t value) const {
    return to_status(driver().io_ctl(handle_, function, &value, sizeof value));
}

Status CanHandle::bus_on() const {
    const Status st = to_status(driver().bus_on(handle_));
    if (st != Status::tarnOK) {
        log_driver_detail(identity_);
    }
    return st;
}

Status CanHandle::bus_off() const {
    return to_status(driver().bus_off(handle_));
}

Status CanHandle::set_output_control(OutputControl mode) const {
    return to_status(driver().set_bus_output_control(handle_, static_cast<std::uint32_t>(mode)));
}

}  // namespace tarnlib
