// The raw CAN client: connect, the transmit thread with its retry rules and the broadcast
// list, the receive listener with discard mask, filters and echo, the CAN commands and
// disconnect.

#include "can_client.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "broadcast_list.hpp"
#include "hw_status.hpp"
#include "message_buffer.hpp"
#include "platform/event.hpp"
#include "platform/log.hpp"
#include "platform/thread.hpp"
#include "tarnlib/autobaud_device.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/can_handle.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/state_machine/event_waiter.hpp"

namespace qz121032 {

namespace {

constexpr const char* kTarget = "qz121032::can_client";

using platform::unexpected;
using tarnlib::CanMessage;
using tarnlib::CanMsgFlags;
using tarnlib::Status;
using namespace std::chrono_literals;

// Every message the client converts fits this area: 4 time stamp bytes, the echo byte,
// the type, 4 identifier bytes and 8 data bytes are 18; the rest is room for longer frames.
constexpr std::size_t kMessageArea = 32;
constexpr auto kRetryPause = 10ms;
constexpr auto kComeUpLimit = 5s;

struct CanFilter {
    std::uint32_t mask = 0;
    std::uint32_t value = 0;  // header AND mask
    bool extended = false;
};

enum class FilterState { DiscardAll = 0, PassAll = 1, UseList = 2 };

struct CanFilterSet {
    std::vector<CanFilter> filters;
    bool inclusive = true;
    FilterState state = FilterState::DiscardAll;

    bool passes(const CanMessage& frame) const {
        switch (state) {
            case FilterState::DiscardAll:
                return false;
            case FilterState::PassAll:
                return true;
            case FilterState::UseList:
                break;
        }
        const bool extended = frame.flag.has(CanMsgFlags::EXT);
        const bool match = std::any_of(filters.begin(), filters.end(), [&](const CanFilter& f) {
            return f.extended == extended && (frame.id & f.mask) == f.value;
        });
        return match == inclusive;
    }
};

std::uint32_t read_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void write_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// An RP1210 CAN message as the application sends it: type 0 with a 2-byte identifier or
// type 1 with a 4-byte one, most significant byte first, then at most 8 data bytes.
std::optional<CanMessage> decode_transmit_message(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return std::nullopt;
    }
    const bool extended = bytes[0] == 1;
    if (bytes[0] > 1) {
        return std::nullopt;
    }
    const std::size_t id_size = extended ? 4 : 2;
    if (bytes.size() < 1 + id_size || bytes.size() - 1 - id_size > 8) {
        return std::nullopt;
    }
    CanMessage frame;
    frame.id =
        extended ? read_be32(&bytes[1]) : static_cast<std::uint32_t>((bytes[1] << 8) | bytes[2]);
    frame.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(1 + id_size), bytes.end());
    frame.dlc = static_cast<std::uint8_t>(frame.data.size());
    frame.flag.bits = extended ? CanMsgFlags::EXT : CanMsgFlags::STD;
    return frame;
}

// Everything the transmit thread, the receive listener and the detection callback share
// with the client. Each field is either atomic, immutable after connect, or guarded by the
// mutex named beside it.
struct ClientCore {
    std::int32_t client_id = 0;
    std::uint32_t channel_key = 0;
    std::shared_ptr<MessageBuffer> receive_buffer;
    std::shared_ptr<MessageBuffer> transmit_buffer;
    std::shared_ptr<HardwareStatus> hardware_status;

    std::atomic<bool> hardware_error{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> receive_enabled{true};
    std::atomic<bool> autobaud_in_progress{false};
    std::atomic<std::uint32_t> discard_mask{CanMsgFlags::ERROR_FRAME | CanMsgFlags::TXACK};
    // Wakes the transmit thread's pauses when the client stops.
    platform::Event stop_event{platform::Event::Reset::Manual};

    std::mutex filter_mutex;  // guards filters
    CanFilterSet filters;

    // Periodic messages (Set_Broadcast_For_CAN), behind their own mutex.
    SharedBroadcastList broadcasts;

    std::mutex autobaud_mutex;  // guards autobaud, autobaud_finished
    std::shared_ptr<tarnlib::AutoBaudDevice> autobaud;
    // Detection ended; the detector is released by the next thread outside its own
    // callback (the transmit thread or disconnect).
    bool autobaud_finished = false;

    void release_finished_autobaud() {
        std::shared_ptr<tarnlib::AutoBaudDevice> released;
        {
            std::lock_guard lock(autobaud_mutex);
            if (autobaud_finished) {
                released = std::move(autobaud);
                autobaud_finished = false;
            }
        }
        // Dropped outside the lock: its threads are joined here.
    }

    void pause() { stop_event.wait_for(kRetryPause); }

    // Converts one received frame to the read format and queues it.
    void deliver(const CanMessage& frame, bool echo_on) {
        std::uint8_t message[kMessageArea];
        const bool extended = frame.flag.has(CanMsgFlags::EXT);
        const std::size_t required =
            4 + (echo_on ? 1 : 0) + 1 + (extended ? 4 : 2) + frame.data.size();
        if (required > kMessageArea) {
            QZ_LOG_ERROR(kTarget, "Buffer too small for {} CAN message: required {}, got {}",
                         extended ? "extended" : "standard", required, kMessageArea);
            return;
        }
        std::size_t n = 0;
        write_be32(&message[n], static_cast<std::uint32_t>(frame.timestamp / 1000));
        n += 4;
        if (echo_on) {
            message[n++] = frame.flag.has(CanMsgFlags::TXACK) ? 1 : 0;
        }
        message[n++] = extended ? 1 : 0;
        if (extended) {
            write_be32(&message[n], frame.id);
            n += 4;
        } else {
            message[n++] = static_cast<std::uint8_t>(frame.id >> 8);
            message[n++] = static_cast<std::uint8_t>(frame.id);
        }
        if (!frame.data.empty()) {
            std::memcpy(&message[n], frame.data.data(), frame.data.size());
            n += frame.data.size();
        }
        // A full buffer drops the message and reports the overflow to the next read.
        (void)receive_buffer->write(std::span<const std::uint8_t>(message, n));
    }

    void on_frames(const std::vector<CanMessage>& frames) {
        if (autobaud_in_progress.load() || frames.empty()) {
            return;
        }
        if (receive_enabled.load()) {
            const std::uint32_t mask = discard_mask.load();
            const bool echo_on = (mask & CanMsgFlags::TXACK) == 0;
            for (const CanMessage& frame : frames) {
                if ((frame.flag.bits & mask) != 0) {
                    continue;
                }
                bool pass = false;
                {
                    std::lock_guard lock(filter_mutex);
                    pass = filters.passes(frame);
                }
                if (pass) {
                    deliver(frame, echo_on);
                }
            }
        }
        // Reported once the batch is dealt with (whether or not it was delivered), so that
        // the activity an application sees means its frames have been through the filters.
        hardware_status->report_activity(channel_key);
    }

    void on_autobaud_event(const tarnlib::NetworkEvent& event) {
        if (event.kind != tarnlib::EventKind::Up &&
            event.kind != tarnlib::EventKind::DetectionFailed) {
            return;
        }
        if (event.kind == tarnlib::EventKind::DetectionFailed) {
            hardware_error.store(true);
        }
        autobaud_in_progress.store(false);
        std::lock_guard lock(autobaud_mutex);
        autobaud_finished = true;
    }

    // Writes one frame until the device takes it, the client stops or a hardware error
    // makes it pointless. A refused write because the interface is gone is retried like a
    // bus that is down: the device reopens the channel by itself once it is back.
    void write_frame(tarnlib::CanDevice& device, const CanMessage& frame) {
        while (!stop.load()) {
            const Status status = device.write(frame);
            if (status == Status::tarnOK) {
                return;
            }
            if (status == Status::tarnERR_TXBUFOFL) {
                QZ_LOG_DEBUG(kTarget, "Driver Tx buffer overflow, retrying in 10 ms");
            } else if (device.is_open() && status != Status::tarnERR_NOCARD) {
                QZ_LOG_ERROR(kTarget, "Hardware error during CAN write: {}",
                             tarnlib::status_name(static_cast<std::int32_t>(status)));
                hardware_error.store(true);
                return;
            } else {
                QZ_LOG_DEBUG(kTarget, "CAN bus is down while sending ({}), retrying",
                             tarnlib::status_name(static_cast<std::int32_t>(status)));
            }
            pause();
        }
    }

    // Queues the broadcast messages that are due and returns how long the transmit thread
    // may wait for its next message: until the next broadcast is due, at most `longest`.
    std::chrono::nanoseconds inject_due_broadcasts(std::chrono::nanoseconds longest) {
        return broadcasts.inject_due(longest, [this](std::span<const std::uint8_t> message) {
            // The list does not check its messages. One longer than the transmit thread's
            // area would stay at the head of the buffer for good and block every message
            // behind it, and an empty one would read as no message at all, so both are
            // refused here, as the decoder refuses any other invalid one.
            if (message.empty() || message.size() > kMessageArea) {
                QZ_LOG_ERROR(kTarget, "Failed to deserialize Tx message");
                return;
            }
            // A full buffer drops the message with its overflow warning; the entry stays
            // scheduled.
            (void)transmit_buffer->write(message);
        });
    }

    void transmit_loop(std::shared_ptr<tarnlib::CanDevice> device) {
        std::uint8_t area[kMessageArea];
        while (!stop.load()) {
            release_finished_autobaud();
            if (autobaud_in_progress.load() || !device->is_open()) {
                pause();
                continue;
            }
            // Without a broadcast list the wait has no limit: a message, a change of the list
            // and the stop all wake the transmit buffer's waiters.
            const std::chrono::nanoseconds wait =
                inject_due_broadcasts(std::chrono::nanoseconds::max());
            auto read = transmit_buffer->read(std::span<std::uint8_t>(area, sizeof area), wait);
            if (!read) {
                QZ_LOG_ERROR(kTarget, "Tx buffer error: {}", to_string(read.error()));
                continue;
            }
            if (*read == 0) {
                continue;
            }
            const auto frame = decode_transmit_message(std::span<const std::uint8_t>(area, *read));
            if (!frame) {
                QZ_LOG_ERROR(kTarget, "Failed to deserialize Tx message");
                continue;
            }
            write_frame(*device, *frame);
        }
    }
};

class CanClient final : public ProtocolClient {
  public:
    explicit CanClient(std::shared_ptr<ClientCore> core)
        : core_(std::move(core)),
          receive_queue_(std::make_shared<MessageBufferReceiveQueue>(core_->receive_buffer)) {}
    CanClient(const CanClient&) = delete;
    CanClient& operator=(const CanClient&) = delete;
    ~CanClient() override { release(); }

    Outcome<platform::Ok> connect(const ClientCreateArgs& args);

    ProtocolKind kind() const noexcept override { return ProtocolKind::Can; }
    std::int16_t send(std::span<const std::uint8_t> message) override;
    platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> prepare_read() override;
    void shutdown() override;
    void set_all_filters(bool pass) override;
    void set_message_receive(bool enabled) override { core_->receive_enabled.store(enabled); }
    platform::Expected<std::uint16_t, std::int16_t> command(
        std::int16_t number, std::span<std::uint8_t> arguments) override;
    bool has_device() const override { return device_ != nullptr; }
    std::optional<std::uint32_t> bus_type() override;
    std::optional<std::uint64_t> firmware_revision() override;
    std::int32_t probe_exclusive_open() override;
    std::array<std::uint8_t, 64> hardware_status() override;

  private:
    Outcome<platform::Ok> connect_fixed(const tarnlib::ChannelIdentity& identity,
                                        const bus_timing::BitRateWithSamplePoint& request);
    Outcome<platform::Ok> connect_automatic(const tarnlib::ChannelIdentity& identity);
    platform::Expected<std::uint16_t, std::int16_t> set_message_filtering(
        std::span<const std::uint8_t> arguments);
    platform::Expected<std::uint16_t, std::int16_t> connection_speed(
        std::span<std::uint8_t> output);
    // Stops the thread and drops the devices, whatever the connect got to.
    void release();

    std::shared_ptr<ClientCore> core_;
    tarnlib::ChannelIdentity identity_;
    std::shared_ptr<tarnlib::CanDevice> device_;
    std::optional<tarnlib::Notifier::SubscriptionId> listener_;
    platform::Thread transmit_thread_;
    bool registered_ = false;
    bool active_ = false;
    // The client's receive queue, handed to reads.
    std::shared_ptr<ReceiveQueue> receive_queue_;
};

Outcome<platform::Ok> CanClient::connect(const ClientCreateArgs& args) {
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
    identity_ = channels->front();
    core_->channel_key = channel_key(identity_);

    Outcome<platform::Ok> up = std::visit(
        [&](const auto& request) -> Outcome<platform::Ok> {
            using Request = std::decay_t<decltype(request)>;
            if constexpr (std::is_same_v<Request, bus_timing::Automatic>) {
                return connect_automatic(identity_);
            } else if constexpr (std::is_same_v<Request, bus_timing::BitRateWithSamplePoint>) {
                return connect_fixed(identity_, request);
            } else {
                return fail(ERR_COMMAND_NOT_SUPPORTED, "Bit timing format not supported");
            }
        },
        args.timing);
    if (!up) {
        return up;
    }

    std::uint32_t mask = CanMsgFlags::ERROR_FRAME | CanMsgFlags::TXACK;
    if (args.protocol.id_size) {
        if (*args.protocol.id_size == 11) {
            mask |= CanMsgFlags::EXT;
        } else if (*args.protocol.id_size == 29) {
            mask |= CanMsgFlags::STD;
        } else {
            return fail(ERR_INVALID_PROTOCOL, "Invalid ID size specified in protocol");
        }
    }
    core_->discard_mask.store(mask);

    std::weak_ptr<ClientCore> weak = core_;
    listener_ = device_->subscribe([weak](const tarnlib::NetworkEvent& event, std::int32_t) {
        if (event.kind != tarnlib::EventKind::Frames || !event.frames) {
            return;
        }
        if (auto core = weak.lock()) {
            core->on_frames(*event.frames);
        }
    });

    try {
        transmit_thread_ = platform::Thread(
            fmt::format("rp1210-tx-{}", core_->client_id), platform::ThreadPriority::Normal,
            [core = core_, device = device_] { core->transmit_loop(device); });
    } catch (const std::system_error&) {
        return fail(ERR_NOT_ENOUGH_MEMORY, "Failed to spawn Tx thread");
    }

    core_->hardware_status->register_client(core_->channel_key, ProtocolMarker::Can);
    registered_ = true;
    active_ = true;
    return platform::Ok{};
}

Outcome<platform::Ok> CanClient::connect_fixed(const tarnlib::ChannelIdentity& identity,
                                               const bus_timing::BitRateWithSamplePoint& request) {
    tarnlib::BusConfiguration configuration;
    configuration.kind = tarnlib::BusKind::Classic;
    configuration.nominal.bitrate = request.bit_rate;
    configuration.nominal.sample_point = request.sample_point;
    configuration.nominal.bitrate_tolerance = request.bit_rate_tolerance;
    configuration.nominal.sample_point_tolerance = request.sample_point_tolerance;

    std::shared_ptr<tarnlib::BusDevice> bus = tarnlib::get_or_create_bus(configuration, identity);
    if (!bus) {
        return fail(ERR_INVALID_DEVICE, "Failed to find bus device");
    }
    if (!tarnlib::timing_matches(bus->configuration(), configuration)) {
        return fail(ERR_CAN_BAUD_SET_NONSTANDARD, "Bit timing doesn't match existing client");
    }
    tarnlib::CanDeviceConfiguration device_configuration;
    device_configuration.identity = identity;
    device_configuration.bus = configuration;
    device_ = tarnlib::CanDevice::create(fmt::format("rp1210_can_dev_{}", core_->client_id), bus,
                                         device_configuration);

    if (!device_->wait_until_up(kComeUpLimit, fmt::format("rp1210_can_up_{}", core_->client_id))) {
        return fail(ERR_HARDWARE_NOT_RESPONDING, "CAN device did not come up in time");
    }
    const auto timing = device_->current_timing();
    if (!timing || !*timing) {
        return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to read bus timing");
    }
    const tarnlib::BusConfiguration& actual = timing->value();
    if (actual.kind != tarnlib::BusKind::Classic ||
        std::fabs(actual.nominal.bitrate - request.bit_rate) > 1.0) {
        return fail(ERR_CAN_BAUD_SET_NONSTANDARD, "Bit timing doesn't match existing client");
    }
    return platform::Ok{};
}

tarnlib::BusConfiguration classic_candidate(double bitrate, double sample_point) {
    tarnlib::BusConfiguration c;
    c.kind = tarnlib::BusKind::Classic;
    c.nominal.bitrate = bitrate;
    c.nominal.sample_point = sample_point;
    return c;
}

Outcome<platform::Ok> CanClient::connect_automatic(const tarnlib::ChannelIdentity& identity) {
    tarnlib::AutoBaudOptions options;
    options.candidates = {classic_candidate(250000, 0.875), classic_candidate(500000, 0.875),
                          classic_candidate(1000000, 0.75), classic_candidate(125000, 0.875)};
    options.dwell = 133ms;
    auto detector = tarnlib::AutoBaudDevice::create(identity, std::move(options));
    if (!detector) {
        return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to create autobaud device");
    }
    std::shared_ptr<tarnlib::AutoBaudDevice> autobaud = std::move(detector.value());
    core_->autobaud_in_progress.store(true);
    std::weak_ptr<ClientCore> weak = core_;
    autobaud->subscribe([weak](const tarnlib::NetworkEvent& event, std::int32_t) {
        if (auto core = weak.lock()) {
            core->on_autobaud_event(event);
        }
    });
    device_ = autobaud->can_device();
    // Detection that ended before the callback was registered is taken as it ended.
    const std::string state = autobaud->state_name();
    {
        std::lock_guard lock(core_->autobaud_mutex);
        core_->autobaud = std::move(autobaud);
    }
    if (state == "up" || state == "fail_timeout") {
        tarnlib::NetworkEvent ended;
        ended.kind = state == "up" ? tarnlib::EventKind::Up : tarnlib::EventKind::DetectionFailed;
        core_->on_autobaud_event(ended);
    }
    return platform::Ok{};
}

std::int16_t CanClient::send(std::span<const std::uint8_t> message) {
    if (core_->autobaud_in_progress.load() || !active_) {
        return ERR_BUS_OFF;
    }
    if (core_->hardware_error.load()) {
        return ERR_HARDWARE_NOT_RESPONDING;
    }
    if (core_->transmit_buffer->is_corrupted()) {
        core_->transmit_buffer->clear();
        return ERR_TX_QUEUE_CORRUPT;
    }
    if (message.empty() || message[0] > 1) {
        return ERR_MESSAGE_NOT_SENT;
    }
    const bool extended = message[0] == 1;
    const std::size_t minimum = extended ? 5 : 3;
    if (message.size() < minimum || message.size() > minimum + 8) {
        return ERR_MESSAGE_TOO_LONG;
    }
    if (core_->transmit_buffer->write(message)) {
        return ERR_TX_QUEUE_FULL;
    }
    return NO_ERRORS;
}

platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> CanClient::prepare_read() {
    if (core_->autobaud_in_progress.load() || !active_) {
        return unexpected(std::int16_t{ERR_BUS_OFF});
    }
    if (core_->hardware_error.load()) {
        return unexpected(std::int16_t{ERR_HARDWARE_NOT_RESPONDING});
    }
    if (core_->receive_buffer->is_corrupted()) {
        core_->receive_buffer->clear();
        return unexpected(std::int16_t{ERR_RX_QUEUE_CORRUPT});
    }
    if (core_->receive_buffer->take_full()) {
        core_->receive_buffer->clear();
        return unexpected(std::int16_t{ERR_RX_QUEUE_FULL});
    }
    return receive_queue_;
}

void CanClient::set_all_filters(bool pass) {
    std::lock_guard lock(core_->filter_mutex);
    core_->filters.filters.clear();
    core_->filters.state = pass ? FilterState::PassAll : FilterState::DiscardAll;
}

platform::Expected<std::uint16_t, std::int16_t> CanClient::command(
    std::int16_t number, std::span<std::uint8_t> arguments) {
    const auto invalid = unexpected(std::int16_t{ERR_INVALID_COMMAND});
    switch (number) {
        case 3:  // Set_All_Filters_States_to_Pass
            set_all_filters(true);
            return std::uint16_t{0};
        case 5:  // Set_Message_Filtering_For_CAN
            return set_message_filtering(arguments);
        case 16: {  // Echo_Transmitted_Messages
            if (arguments.size() != 1 || arguments[0] > 1) {
                return invalid;
            }
            if (arguments[0] == 1) {
                core_->discard_mask.fetch_and(~CanMsgFlags::TXACK);
            } else {
                core_->discard_mask.fetch_or(CanMsgFlags::TXACK);
            }
            core_->transmit_buffer->clear();
            core_->receive_buffer->clear();
            return std::uint16_t{0};
        }
        case 17:  // Set_All_Filters_States_to_Discard
            set_all_filters(false);
            return std::uint16_t{0};
        case 21:  // Set_Broadcast_For_CAN
            return core_->broadcasts.command(arguments, *core_->transmit_buffer);
        case 26: {  // Set_CAN_Filter_Type
            if (arguments.size() != 1 || arguments[0] > 1) {
                return invalid;
            }
            std::lock_guard lock(core_->filter_mutex);
            core_->filters.inclusive = arguments[0] == 0;
            return std::uint16_t{0};
        }
        case 39:  // Flush_Tx_Rx_Buffers
            core_->transmit_buffer->clear();
            core_->receive_buffer->clear();
            return std::uint16_t{0};
        case 45:  // Get_Protocol_Connection_Speed
            return connection_speed(arguments);
        default:
            return unexpected(std::int16_t{ERR_COMMAND_NOT_SUPPORTED});
    }
}

platform::Expected<std::uint16_t, std::int16_t> CanClient::set_message_filtering(
    std::span<const std::uint8_t> arguments) {
    constexpr std::size_t kRecord = 9;
    if (arguments.size() % kRecord != 0) {
        return unexpected(std::int16_t{ERR_INVALID_COMMAND});
    }
    std::vector<CanFilter> added;
    for (std::size_t at = 0; at < arguments.size(); at += kRecord) {
        const std::uint8_t type = arguments[at];
        const std::uint32_t mask = read_be32(&arguments[at + 1]);
        const std::uint32_t header = read_be32(&arguments[at + 5]);
        const bool valid =
            (type == 0 && (mask | header) < 2048) || (type == 1 && (mask | header) <= 0x1FFFFFFF);
        if (!valid) {
            // Nothing has changed yet: the list and state stay as they were.
            return unexpected(std::int16_t{ERR_INVALID_COMMAND});
        }
        added.push_back(CanFilter{mask, header & mask, type == 1});
    }
    std::lock_guard lock(core_->filter_mutex);
    core_->filters.state = FilterState::UseList;
    core_->filters.filters.insert(core_->filters.filters.end(), added.begin(), added.end());
    return std::uint16_t{0};
}

platform::Expected<std::uint16_t, std::int16_t> CanClient::connection_speed(
    std::span<std::uint8_t> output) {
    if (output.size() <= 16) {
        return unexpected(std::int16_t{ERR_INVALID_COMMAND});
    }
    if (!device_) {
        return unexpected(std::int16_t{ERR_HARDWARE_NOT_RESPONDING});
    }
    std::uint32_t speed = 0;
    if (core_->autobaud_in_progress.load()) {
        QZ_LOG_DEBUG(kTarget, "Get_Protocol_Connection_Speed: Autobaud in progress");
    } else if (const auto timing = device_->current_timing(); !timing) {
        QZ_LOG_DEBUG(kTarget, "Get_Protocol_Connection_Speed: The CanDevice is not open");
    } else if (!*timing) {
        QZ_LOG_DEBUG(kTarget, "Get_Protocol_Connection_Speed: Failed to read bus timing");
    } else if (timing->value().kind != tarnlib::BusKind::Classic) {
        QZ_LOG_DEBUG(kTarget,
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

std::optional<std::uint32_t> CanClient::bus_type() {
    if (!device_) {
        return std::nullopt;
    }
    auto type = device_->bus_type();
    return type ? std::optional<std::uint32_t>(*type) : std::nullopt;
}

std::optional<std::uint64_t> CanClient::firmware_revision() {
    if (!device_) {
        return std::nullopt;
    }
    auto revision = device_->firmware_revision();
    return revision ? std::optional<std::uint64_t>(*revision) : std::nullopt;
}

std::int32_t CanClient::probe_exclusive_open() {
    tarnlib::BusConfiguration configuration = classic_candidate(250000, 0.75);
    auto handle = tarnlib::CanHandle::open(identity_, configuration,
                                           tarnlib::CanOpenFlags{tarnlib::CanOpenFlags::EXCLUSIVE});
    if (!handle) {
        return static_cast<std::int32_t>(handle.error());
    }
    (void)handle->close();
    return 0;
}

std::array<std::uint8_t, 64> CanClient::hardware_status() {
    DeviceStatusInputs inputs;
    if (device_ && device_->is_open()) {
        if (auto type = device_->bus_type()) {
            inputs.bus_type = *type;
        }
        if (auto word = device_->read_status()) {
            inputs.status_word = *word;
        }
    }
    return core_->hardware_status->status(core_->channel_key, inputs);
}

void CanClient::shutdown() {
    if (!active_) {
        return;
    }
    release();
}

void CanClient::release() {
    core_->receive_buffer->close();
    std::shared_ptr<tarnlib::AutoBaudDevice> autobaud;
    {
        std::lock_guard lock(core_->autobaud_mutex);
        autobaud = std::move(core_->autobaud);
        core_->autobaud_finished = false;
    }
    autobaud.reset();
    core_->autobaud_in_progress.store(false);

    core_->stop.store(true);
    core_->stop_event.set();
    core_->transmit_buffer->wake_all();
    if (transmit_thread_.joinable()) {
        transmit_thread_.join();
    }
    if (device_ && listener_) {
        device_->unsubscribe(*listener_);
    }
    listener_.reset();
    device_.reset();
    if (registered_) {
        core_->hardware_status->unregister_client(core_->channel_key, ProtocolMarker::Can);
        registered_ = false;
    }
    active_ = false;
}

}  // namespace

Outcome<std::unique_ptr<ProtocolClient>> connect_can_client(const ClientCreateArgs& args) {
    auto core = std::make_shared<ClientCore>();
    core->client_id = args.client_id;
    core->receive_buffer = MessageBuffer::create(args.rx_buffer_size);
    core->transmit_buffer = MessageBuffer::create(args.tx_buffer_size);
    core->hardware_status = args.hardware_status;
    auto client = std::make_unique<CanClient>(core);
    auto connected = client->connect(args);
    if (!connected) {
        return platform::unexpected(std::move(connected.error()));
    }
    return std::unique_ptr<ProtocolClient>(std::move(client));
}

}  // namespace qz121032
