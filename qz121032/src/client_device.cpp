// The device side both protocol clients share: channel lookup, bring-up at a fixed rate,
// automatic detection, the transmit retry rule, the connection speed and the device
// queries.

#include "client_device.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "logger.hpp"
#include "platform/log.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_handle.hpp"

namespace qz121032 {

namespace {

using namespace std::chrono_literals;

constexpr auto kComeUpLimit = 5s;

tarnlib::BusConfiguration classic(double bitrate, double sample_point) {
    tarnlib::BusConfiguration c;
    c.kind = tarnlib::BusKind::Classic;
    c.nominal.bitrate = bitrate;
    c.nominal.sample_point = sample_point;
    return c;
}

}  // namespace

Outcome<tarnlib::ChannelIdentity> find_client_channel(const ClientCreateArgs& args) {
    tarnlib::ChannelSelector selector;
    selector.ean = args.ean;
    if (args.serial_number) {
        selector.serial = *args.serial_number;
    }
    selector.channel = args.channel_index;
    const auto channels = tarnlib::ChannelDirectory::instance().discover_and_find(selector);
    if (!channels) {
        return fail(ERR_INVALID_DEVICE, "Failed to list interfaces");
    }
    if (channels->empty()) {
        return fail(ERR_INVALID_DEVICE, "Failed to find device");
    }
    return channels->front();
}

Outcome<std::shared_ptr<tarnlib::CanDevice>> bring_up_device(
    const tarnlib::ChannelIdentity& identity, const bus_timing::BitRateWithSamplePoint& request,
    const DeviceNames& names, std::int16_t mismatch_code) {
    tarnlib::BusConfiguration configuration = classic(request.bit_rate, request.sample_point);
    configuration.nominal.bitrate_tolerance = request.bit_rate_tolerance;
    configuration.nominal.sample_point_tolerance = request.sample_point_tolerance;

    std::shared_ptr<tarnlib::BusDevice> bus = tarnlib::get_or_create_bus(configuration, identity);
    if (!bus) {
        return fail(ERR_INVALID_DEVICE, "Failed to find bus device");
    }
    if (!tarnlib::timing_matches(bus->configuration(), configuration)) {
        return fail(mismatch_code, "Bit timing doesn't match existing client");
    }
    tarnlib::CanDeviceConfiguration device_configuration;
    device_configuration.identity = identity;
    device_configuration.bus = configuration;
    auto device = tarnlib::CanDevice::create(names.device, bus, device_configuration);
    // A channel that another program has on the bus at another timing refuses ours: that
    // is the conflict a client of this program at another rate gets, answered at once.
    const auto start = std::chrono::steady_clock::now();
    if (device->wait_until_up_or_busy(kComeUpLimit) && !device->is_up()) {
        if (const auto other = device->timing_in_use_elsewhere()) {
            QZ_LOG_ERROR(target::kLib,
                         "Bit timing conflict on {}: another program uses the channel at {} "
                         "bit/s, {} bit/s requested",
                         tarnlib::to_string(identity), other->nominal.bitrate, request.bit_rate);
            return fail(mismatch_code, "Bit timing doesn't match existing client");
        }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        kComeUpLimit - (std::chrono::steady_clock::now() - start));
    if (!device->wait_until_up(std::max(left, std::chrono::milliseconds(0)), names.up_waiter)) {
        return fail(ERR_HARDWARE_NOT_RESPONDING, "CAN device did not come up in time");
    }
    const auto timing = device->current_timing();
    if (!timing || !*timing) {
        return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to read bus timing");
    }
    const tarnlib::BusConfiguration& actual = timing->value();
    if (actual.kind != tarnlib::BusKind::Classic ||
        std::fabs(actual.nominal.bitrate - request.bit_rate) > 1.0) {
        return fail(mismatch_code, "Bit timing doesn't match existing client");
    }
    return device;
}

Outcome<std::shared_ptr<tarnlib::AutoBaudDevice>> start_detection(
    const tarnlib::ChannelIdentity& identity, std::function<void(bool detected)> on_end) {
    tarnlib::AutoBaudOptions options;
    options.candidates = {classic(250000, 0.875), classic(500000, 0.875), classic(1000000, 0.75),
                          classic(125000, 0.875)};
    options.dwell = 133ms;
    auto detector = tarnlib::AutoBaudDevice::create(identity, std::move(options));
    if (!detector) {
        return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to create autobaud device");
    }
    std::shared_ptr<tarnlib::AutoBaudDevice> autobaud = std::move(detector.value());
    autobaud->subscribe([on_end](const tarnlib::NetworkEvent& event, std::int32_t) {
        if (event.kind == tarnlib::EventKind::Up) {
            on_end(true);
        } else if (event.kind == tarnlib::EventKind::DetectionFailed) {
            on_end(false);
        }
    });
    // Detection that ended before the callback was registered is taken as it ended.
    const std::string state = autobaud->state_name();
    if (state == "up" || state == "fail_timeout") {
        on_end(state == "up");
    }
    return autobaud;
}

WriteRefusal classify_write_refusal(tarnlib::Status status, const tarnlib::CanDevice& device) {
    if (status == tarnlib::Status::tarnERR_TXBUFOFL) {
        return WriteRefusal::QueueFull;
    }
    // An unplugged interface answers tarnERR_NOCARD until the device notices and closes
    // its handle; then the device answers tarnERR_INVHANDLE until it has reopened.
    if (status == tarnlib::Status::tarnERR_NOCARD || !device.is_open()) {
        return WriteRefusal::Unavailable;
    }
    return WriteRefusal::Hardware;
}

platform::Expected<std::uint16_t, std::int16_t> answer_connection_speed(
    std::span<std::uint8_t> output, tarnlib::CanDevice* device, bool autobaud_in_progress,
    const char* log_target) {
    if (output.size() <= 16) {
        return platform::unexpected(std::int16_t{ERR_INVALID_COMMAND});
    }
    std::uint32_t speed = 0;
    if (autobaud_in_progress) {
        QZ_LOG_DEBUG(log_target, "Get_Protocol_Connection_Speed: Autobaud in progress");
    } else if (device == nullptr) {
        QZ_LOG_DEBUG(log_target, "Get_Protocol_Connection_Speed: The CanDevice is not available");
    } else if (const auto timing = device->current_timing(); !timing) {
        QZ_LOG_DEBUG(log_target, "Get_Protocol_Connection_Speed: The CanDevice is not open");
    } else if (!*timing) {
        QZ_LOG_DEBUG(log_target, "Get_Protocol_Connection_Speed: Failed to read bus timing");
    } else if (timing->value().kind != tarnlib::BusKind::Classic) {
        QZ_LOG_DEBUG(log_target,
                     "Get_Protocol_Connection_Speed: The bus timing is not a CC timing: {}",
                     tarnlib::to_string(timing->value()));
    } else {
        const double rate = std::round(timing->value().nominal.bitrate);
        speed = rate <= 0              ? 0
                : rate >= 4294967295.0 ? 4294967295u
                                       : static_cast<std::uint32_t>(rate);
    }
    const std::string text = std::to_string(speed);
    std::memcpy(output.data(), text.c_str(), text.size() + 1);
    return std::uint16_t{0};
}

std::int16_t ClientCoreBase::check_send(bool active) {
    if (autobaud_in_progress.load() || !active) {
        return ERR_BUS_OFF;
    }
    if (hardware_error.load()) {
        return ERR_HARDWARE_NOT_RESPONDING;
    }
    if (transmit_buffer->is_corrupted()) {
        transmit_buffer->clear();
        return ERR_TX_QUEUE_CORRUPT;
    }
    return NO_ERRORS;
}

std::int16_t ClientCoreBase::check_read(bool active, MessageBuffer& receive_buffer) {
    if (autobaud_in_progress.load() || !active) {
        return ERR_BUS_OFF;
    }
    if (hardware_error.load()) {
        return ERR_HARDWARE_NOT_RESPONDING;
    }
    if (receive_buffer.is_corrupted()) {
        receive_buffer.clear();
        return ERR_RX_QUEUE_CORRUPT;
    }
    if (receive_buffer.take_full()) {
        receive_buffer.clear();
        return ERR_RX_QUEUE_FULL;
    }
    return NO_ERRORS;
}

Outcome<std::shared_ptr<tarnlib::CanDevice>> ClientCoreBase::detect(
    const tarnlib::ChannelIdentity& identity, std::function<void(bool)> on_end) {
    autobaud_in_progress.store(true);
    auto detector = start_detection(identity, std::move(on_end));
    if (!detector) {
        autobaud_in_progress.store(false);
        return platform::unexpected(std::move(detector.error()));
    }
    std::shared_ptr<tarnlib::CanDevice> device = (*detector)->can_device();
    std::lock_guard lock(autobaud_mutex);
    autobaud = std::move(detector.value());
    return device;
}

Outcome<platform::Ok> DeviceClient::connect_device(const ClientCreateArgs& args,
                                                   const DeviceNames& names,
                                                   std::int16_t mismatch_code,
                                                   const Detect& detect) {
    auto identity = find_client_channel(args);
    if (!identity) {
        return platform::unexpected(std::move(identity.error()));
    }
    identity_ = *identity;
    channel_key_ = channel_key(identity_);
    auto device = std::visit(
        [&](const auto& request) -> Outcome<std::shared_ptr<tarnlib::CanDevice>> {
            using Request = std::decay_t<decltype(request)>;
            if constexpr (std::is_same_v<Request, bus_timing::Automatic>) {
                return detect(identity_);
            } else if constexpr (std::is_same_v<Request, bus_timing::BitRateWithSamplePoint>) {
                return bring_up_device(identity_, request, names, mismatch_code);
            } else {
                return fail(ERR_COMMAND_NOT_SUPPORTED, "Bit timing format not supported");
            }
        },
        args.timing);
    if (!device) {
        return platform::unexpected(std::move(device.error()));
    }
    device_ = std::move(device.value());
    return platform::Ok{};
}

std::optional<std::uint32_t> DeviceClient::bus_type() {
    if (!device_) {
        return std::nullopt;
    }
    auto type = device_->bus_type();
    return type ? std::optional<std::uint32_t>(*type) : std::nullopt;
}

std::optional<std::uint64_t> DeviceClient::firmware_revision() {
    if (!device_) {
        return std::nullopt;
    }
    auto revision = device_->firmware_revision();
    return revision ? std::optional<std::uint64_t>(*revision) : std::nullopt;
}

std::int32_t DeviceClient::probe_exclusive_open() {
    auto handle = tarnlib::CanHandle::open(identity_, classic(250000, 0.75),
                                           tarnlib::CanOpenFlags{tarnlib::CanOpenFlags::EXCLUSIVE});
    if (!handle) {
        return static_cast<std::int32_t>(handle.error());
    }
    (void)handle->close();
    return 0;
}

std::array<std::uint8_t, 64> DeviceClient::hardware_status() {
    DeviceStatusInputs inputs;
    if (device_ && device_->is_open()) {
        if (auto type = device_->bus_type()) {
            inputs.bus_type = *type;
        }
        if (auto word = device_->read_status()) {
            inputs.status_word = *word;
        }
    }
    return status_block_->status(channel_key_, inputs);
}

}  // namespace qz121032
