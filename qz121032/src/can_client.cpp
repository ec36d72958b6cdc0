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
#include "client_device.hpp"
#include "hw_status.hpp"
#include "message_buffer.hpp"
#include "platform/event.hpp"
#include "platform/log.hpp"
#include "platform/thread.hpp"
#include "receive_filters.hpp"
#include "tarnlib/autobaud_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/channel_identity.hpp"

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

struct CanFilter {
    std::uint32_t mask = 0;
    std::uint32_t value = 0;  // header AND mask
    bool extended = false;

    bool matches(const CanMessage& frame) const {
        return extended == frame.flag.has(CanMsgFlags::EXT) && (frame.id & mask) == value;
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
struct ClientCore : ClientCoreBase {
    std::uint32_t channel_key = 0;
    std::shared_ptr<MessageBuffer> receive_buffer;
    std::shared_ptr<HardwareStatus> hardware_status;

    std::atomic<bool> stop{false};
    std::atomic<bool> receive_enabled{true};
    std::atomic<std::uint32_t> discard_mask{CanMsgFlags::ERROR_FRAME | CanMsgFlags::TXACK};

    std::mutex filter_mutex;  // guards filters
    ReceiveFilters<CanFilter> filters;

    // Detection ended; the detector is released by the next thread outside its own
    // callback (the transmit thread or disconnect). Guarded by autobaud_mutex.
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

    void on_detection_end(bool detected) {
        if (!detected) {
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
            switch (classify_write_refusal(status, device)) {
                case WriteRefusal::QueueFull:
                    QZ_LOG_DEBUG(kTarget, "Driver Tx buffer overflow, retrying in 10 ms");
                    break;
                case WriteRefusal::Unavailable:
                    QZ_LOG_DEBUG(kTarget, "CAN bus is down while sending ({}), retrying",
                                 tarnlib::status_name(static_cast<std::int32_t>(status)));
                    break;
                case WriteRefusal::Hardware:
                    QZ_LOG_ERROR(kTarget, "Hardware error during CAN write: {}",
                                 tarnlib::status_name(static_cast<std::int32_t>(status)));
                    hardware_error.store(true);
                    return;
            }
            pause();
        }
    }

    void transmit_loop(std::shared_ptr<tarnlib::CanDevice> device) {
        std::uint8_t area[kMessageArea];
        while (!stop.load()) {
            release_finished_autobaud();
            if (autobaud_in_progress.load() || !device->is_open()) {
                pause();
                continue;
            }
            const std::chrono::nanoseconds wait =
                broadcasts.queue_due(kTransmitWait, *transmit_buffer, kMessageArea, kTarget);
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

class CanClient final : public DeviceClient {
  public:
    explicit CanClient(std::shared_ptr<ClientCore> core)
        : DeviceClient(core->hardware_status),
          core_(std::move(core)),
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

  private:
    platform::Expected<std::uint16_t, std::int16_t> set_message_filtering(
        std::span<const std::uint8_t> arguments);
    platform::Expected<std::uint16_t, std::int16_t> connection_speed(
        std::span<std::uint8_t> output);
    // Stops the thread and drops the devices, whatever the connect got to.
    void release();

    std::shared_ptr<ClientCore> core_;
    std::optional<tarnlib::Notifier::SubscriptionId> listener_;
    platform::Thread transmit_thread_;
    bool registered_ = false;
    bool active_ = false;
    // The client's receive queue, handed to reads.
    std::shared_ptr<ReceiveQueue> receive_queue_;
};

Outcome<platform::Ok> CanClient::connect(const ClientCreateArgs& args) {
    auto up = connect_device(args,
                             {fmt::format("rp1210_can_dev_{}", core_->client_id),
                              fmt::format("rp1210_can_up_{}", core_->client_id)},
                             ERR_CAN_BAUD_SET_NONSTANDARD,
                             [this](const auto& identity) { return detect_for(core_, identity); });
    if (!up) {
        return up;
    }
    core_->channel_key = channel_key_;

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

std::int16_t CanClient::send(std::span<const std::uint8_t> message) {
    if (const std::int16_t code = core_->check_send(active_); code != NO_ERRORS) {
        return code;
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
    if (const std::int16_t code = core_->check_read(active_, *core_->receive_buffer);
        code != NO_ERRORS) {
        return unexpected(code);
    }
    return receive_queue_;
}

void CanClient::set_all_filters(bool pass) {
    std::lock_guard lock(core_->filter_mutex);
    core_->filters.set_all(pass);
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
    core_->filters.append(added);
    return std::uint16_t{0};
}

platform::Expected<std::uint16_t, std::int16_t> CanClient::connection_speed(
    std::span<std::uint8_t> output) {
    if (output.size() > 16 && !device_) {
        return unexpected(std::int16_t{ERR_HARDWARE_NOT_RESPONDING});
    }
    return answer_connection_speed(output, device_.get(), core_->autobaud_in_progress.load(),
                                   kTarget);
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
    // Sticky: the transmit thread may be between its stop check and its wait.
    core_->transmit_buffer->stop_waits();
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
