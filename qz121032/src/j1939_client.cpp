// The J1939 client: connect, the transmit thread with its retry rules and the broadcast
// list, the receive thread that opens the channel after automatic detection and reads its
// events, the J1939 commands and disconnect.

#include "j1939_client.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "broadcast_list.hpp"
#include "client_device.hpp"
#include "hw_status.hpp"
#include "j1939_receive.hpp"
#include "message_buffer.hpp"
#include "platform/event.hpp"
#include "platform/log.hpp"
#include "platform/thread.hpp"
#include "qzj1939lib/j1939_channel.hpp"
#include "qzj1939lib/queue.hpp"

namespace qz121032 {

namespace {

constexpr const char* kTarget = "qz121032::j1939_client";

using namespace std::chrono_literals;
using platform::unexpected;
using qzj1939lib::EventReceiver;
using qzj1939lib::J1939Channel;
using qzj1939lib::J1939Message;

// Header bytes of the send format, and the longest messages: a single frame's 8 data bytes
// until an address is claimed or with TP passthrough, a transfer's 1785 after.
constexpr std::size_t kHeader = 6;
constexpr std::size_t kSingleFrameMessage = kHeader + 8;
constexpr std::size_t kTransferMessage = kHeader + 1785;
constexpr std::uint8_t kToGlobal = 0x80;
// The tag of an own message whose confirmation is asked for (echo on).
constexpr std::uint32_t kEchoTag = 1;
// How long a blocking Protect_J1939_Address waits for the claim's outcome: the claim's
// 250 ms and a margin.
constexpr auto kProtectWait = 1250ms;
// The receive thread's longest wait for an event, so that it notices its stop flag.
constexpr auto kReceiveWait = 100ms;

const auto kInvalid = unexpected(std::int16_t{ERR_INVALID_COMMAND});

// A message in the send format; nullopt for fewer than 6 bytes.
std::optional<J1939Message> decode_transmit_message(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeader) {
        return std::nullopt;
    }
    J1939Message message;
    message.pgn = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
    message.priority = bytes[3] & 0x07;
    message.src_addr = bytes[4];
    message.dest_addr = (bytes[3] & kToGlobal) != 0 ? qzj1939lib::kGlobalAddress : bytes[5];
    if (bytes.size() > kHeader) {
        message.data.emplace(bytes.begin() + kHeader, bytes.end());
    }
    return message;
}

// Everything the two threads and the detection callback share with the client. Each field
// is atomic, immutable after connect, or guarded by the mutex named beside it.
struct J1939Core : ClientCoreBase {
    bool tp_passthrough = false;
    J1939ReceiveContext receive;

    std::atomic<bool> transmit_stop{false};
    std::atomic<bool> receive_stop{false};

    // Guards channel. Held while the transmit thread hands one message to the channel and
    // while a command calls the channel.
    std::mutex channel_mutex;
    std::shared_ptr<J1939Channel> channel;  // open, or absent

    // Where the detection callback sends its outcome; reset on disconnect, which closes the
    // queue and so ends the receive thread's wait for it. Guarded by autobaud_mutex.
    qzj1939lib::Sender<bool> detection_outcome;

    bool has_channel() {
        std::lock_guard lock(channel_mutex);
        return channel != nullptr;
    }

    // Creates and opens the J1939 channel on the device and puts it into the holder.
    Outcome<EventReceiver> open_channel(const std::shared_ptr<tarnlib::CanDevice>& device) {
        std::shared_ptr<J1939Channel> opened = J1939Channel::create(device);
        if (!opened) {
            return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to create J1939 channel");
        }
        if (tp_passthrough) {
            QZ_LOG_DEBUG(kTarget, "Enabling J1939 TP passthrough mode for client ID {}", client_id);
            if (!opened->set_option(qzj1939lib::kOptionTpPassthrough, 1)) {
                return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to set J1939 TP passthrough mode");
            }
        }
        auto events = opened->open();
        if (!events) {
            QZ_LOG_DEBUG(kTarget, "Opening the J1939 channel of client ID {} failed: {}", client_id,
                         qzj1939lib::to_string(events.error()));
            return fail(ERR_HARDWARE_NOT_RESPONDING, "Failed to open J1939 channel");
        }
        std::lock_guard lock(channel_mutex);
        channel = std::move(opened);
        return std::move(events.value());
    }

    // The detector's callback.
    void on_detection_end(bool detected) {
        if (!detected) {
            QZ_LOG_ERROR(kTarget, "Autobaud failed for J1939 client {}", client_id);
            hardware_error.store(true);
            autobaud_in_progress.store(false);
        }
        qzj1939lib::Sender<bool> outcome;
        {
            std::lock_guard lock(autobaud_mutex);
            outcome = detection_outcome;
        }
        (void)outcome.send(detected);
    }

    void release_detector() {
        std::shared_ptr<tarnlib::AutoBaudDevice> released;
        {
            std::lock_guard lock(autobaud_mutex);
            released = std::move(autobaud);
        }
        // Dropped outside the lock: its threads are joined here.
    }

    // Hands one message to the channel until it takes it, the client stops or a hardware
    // error makes it pointless. While there is no channel yet, and while the device has no
    // open handle (the interface is gone; the device reopens it by itself), the message
    // waits: a transfer started then would only time out.
    void send_message(const J1939Message& message, const tarnlib::CanDevice& device) {
        const bool transfer = message.size() > 8;
        while (!transmit_stop.load()) {
            std::optional<qzj1939lib::J1939Result<qzj1939lib::Ok>> sent;
            {
                std::lock_guard lock(channel_mutex);
                if (channel && device.is_open()) {
                    const std::optional<std::uint32_t> tag =
                        receive.echo.load() ? std::optional<std::uint32_t>(kEchoTag) : std::nullopt;
                    sent = channel->send(message, tag);
                }
            }
            if (sent && *sent) {
                return;
            }
            if (sent && transfer) {
                // Refused by the transport protocol (no claimed source address, TP
                // passthrough, too long): nothing reached the hardware.
                QZ_LOG_ERROR(kTarget, "Failed to write message: {}",
                             qzj1939lib::to_string(sent->error()));
                return;
            }
            if (sent) {
                switch (classify_write_refusal(sent->error().status, device)) {
                    case WriteRefusal::QueueFull:
                        break;
                    case WriteRefusal::Unavailable:
                        QZ_LOG_DEBUG(kTarget, "J1939 bus is down while sending ({}), retrying",
                                     qzj1939lib::to_string(sent->error()));
                        break;
                    case WriteRefusal::Hardware:
                        QZ_LOG_ERROR(kTarget, "Failed to write message: {}",
                                     qzj1939lib::to_string(sent->error()));
                        hardware_error.store(true);
                        return;
                }
            }
            pause();
        }
    }

    void transmit_loop(std::shared_ptr<tarnlib::CanDevice> device) {
        std::vector<std::uint8_t> area(kJ1939MessageArea);
        while (!transmit_stop.load()) {
            if (autobaud_in_progress.load() || !device->is_open()) {
                pause();
                continue;
            }
            const std::chrono::nanoseconds wait =
                broadcasts.queue_due(kTransmitWait, *transmit_buffer, area.size(), kTarget);
            auto read = transmit_buffer->read(area, wait);
            if (!read) {
                QZ_LOG_ERROR(kTarget, "Tx buffer error: {}", to_string(read.error()));
                continue;
            }
            if (*read == 0) {
                continue;
            }
            const auto message =
                decode_transmit_message(std::span<const std::uint8_t>(area.data(), *read));
            if (!message) {
                QZ_LOG_ERROR(kTarget, "Failed to deserialize Tx message");
                continue;
            }
            send_message(*message, *device);
        }
    }

    // Automatic detection: waits for the outcome, releases the detector and opens the
    // channel. The event queue of the opened channel, or nullopt when the thread is to end.
    std::optional<EventReceiver> open_after_detection(
        qzj1939lib::Receiver<bool>& outcome, const std::shared_ptr<tarnlib::CanDevice>& device) {
        std::optional<bool> detected;
        while (!detected && !receive_stop.load()) {
            auto received = outcome.receive_for(kReceiveWait);
            if (received.status == qzj1939lib::Receiver<bool>::Status::Closed) {
                break;
            }
            detected = received.item;
        }
        release_detector();
        if (!detected) {
            autobaud_in_progress.store(false);
            return std::nullopt;
        }
        if (!*detected) {
            return std::nullopt;  // the callback has set the hardware error
        }
        auto events = open_channel(device);
        if (!events) {
            QZ_LOG_ERROR(kTarget, "Failed to open J1939 channel after autobaud for client {}: {}",
                         client_id, events.error().message);
            // Reported like a failed detection: the client has no channel and never will.
            hardware_error.store(true);
            autobaud_in_progress.store(false);
            return std::nullopt;
        }
        autobaud_in_progress.store(false);
        return std::move(events.value());
    }

    void receive_loop(std::optional<EventReceiver> events,
                      std::optional<qzj1939lib::Receiver<bool>> outcome,
                      std::shared_ptr<tarnlib::CanDevice> device) {
        if (!events) {
            events = open_after_detection(*outcome, device);
            if (!events) {
                return;
            }
        }
        std::vector<std::uint8_t> area(kJ1939MessageArea);
        while (!receive_stop.load()) {
            auto received = events->receive_for(kReceiveWait);
            if (received.status == EventReceiver::Status::Closed) {
                return;
            }
            if (received.item) {
                receive.on_event(*received.item, area);
            }
        }
    }
};

class J1939Client final : public DeviceClient {
  public:
    J1939Client(std::shared_ptr<J1939Core> core, std::shared_ptr<HardwareStatus> status)
        : DeviceClient(std::move(status)),
          core_(std::move(core)),
          receive_queue_(
              std::make_shared<MessageBufferReceiveQueue>(core_->receive.receive_buffer)) {}
    J1939Client(const J1939Client&) = delete;
    J1939Client& operator=(const J1939Client&) = delete;
    ~J1939Client() override { release(); }

    Outcome<platform::Ok> connect(const ClientCreateArgs& args);

    ProtocolKind kind() const noexcept override { return ProtocolKind::J1939; }
    std::int16_t send(std::span<const std::uint8_t> message) override;
    platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> prepare_read() override;
    void shutdown() override {
        if (active_) {
            release();
        }
    }
    void set_all_filters(bool pass) override;
    void set_message_receive(bool enabled) override {
        core_->receive.receive_enabled.store(enabled);
    }
    platform::Expected<std::uint16_t, std::int16_t> command(
        std::int16_t number, std::span<std::uint8_t> arguments) override;

  private:
    platform::Expected<std::uint16_t, std::int16_t> set_message_filtering(
        std::span<const std::uint8_t> records);
    platform::Expected<std::uint16_t, std::int16_t> protect_address(
        std::span<const std::uint8_t> arguments);
    platform::Expected<std::uint16_t, std::int16_t> release_address(
        std::span<const std::uint8_t> arguments);
    platform::Expected<std::uint16_t, std::int16_t> set_interpacket_time(
        std::span<const std::uint8_t> arguments);
    // Stops the threads, closes the channel and drops the devices, whatever the connect
    // got to.
    void release();

    std::shared_ptr<J1939Core> core_;
    platform::Thread transmit_thread_;
    platform::Thread receive_thread_;
    bool registered_ = false;
    bool active_ = false;
    // The client's receive queue, handed to reads.
    std::shared_ptr<ReceiveQueue> receive_queue_;
};

Outcome<platform::Ok> J1939Client::connect(const ClientCreateArgs& args) {
    std::optional<qzj1939lib::Receiver<bool>> outcome;
    const auto detect = [&](const tarnlib::ChannelIdentity& identity) {
        // The queue is in place before the detector can report.
        auto [sender, receiver] = qzj1939lib::make_queue<bool>();
        {
            std::lock_guard lock(core_->autobaud_mutex);
            core_->detection_outcome = std::move(sender);
        }
        outcome.emplace(std::move(receiver));
        return detect_for(core_, identity);
    };
    auto up = connect_device(args,
                             {fmt::format("rp1210_j1939_dev_{}", core_->client_id),
                              fmt::format("rp1210_j1939_up_{}", core_->client_id)},
                             ERR_J1939_BAUD_SET_NONSTANDARD, detect);
    if (!up) {
        return up;
    }
    core_->receive.channel_key = channel_key_;

    // At a fixed rate the channel opens now; after detection the receive thread opens it.
    std::optional<EventReceiver> events;
    if (!outcome) {
        auto opened = core_->open_channel(device_);
        if (!opened) {
            return unexpected(std::move(opened.error()));
        }
        events.emplace(std::move(opened.value()));
    }

    // The thread bodies are std::function, which must be copyable: the move-only queue
    // ends travel in shared holders.
    auto events_holder = std::make_shared<std::optional<EventReceiver>>(std::move(events));
    auto outcome_holder =
        std::make_shared<std::optional<qzj1939lib::Receiver<bool>>>(std::move(outcome));
    try {
        receive_thread_ = platform::Thread(
            fmt::format("RP1210 Rx thread for client {}", core_->client_id),
            platform::ThreadPriority::Normal,
            [core = core_, device = device_, events_holder, outcome_holder] {
                core->receive_loop(std::move(*events_holder), std::move(*outcome_holder), device);
            });
    } catch (const std::system_error&) {
        return fail(ERR_NOT_ENOUGH_MEMORY, "Failed to spawn Rx thread");
    }
    try {
        transmit_thread_ =
            platform::Thread(fmt::format("RP1210 Tx thread for client {}", core_->client_id),
                             platform::ThreadPriority::Normal,
                             [core = core_, device = device_] { core->transmit_loop(device); });
    } catch (const std::system_error&) {
        return fail(ERR_NOT_ENOUGH_MEMORY, "Failed to spawn Tx thread");
    }

    status_block_->register_client(channel_key_, ProtocolMarker::J1939);
    registered_ = true;
    active_ = true;
    return platform::Ok{};
}

std::int16_t J1939Client::send(std::span<const std::uint8_t> message) {
    if (const std::int16_t code = core_->check_send(active_); code != NO_ERRORS) {
        return code;
    }
    if (!core_->has_channel()) {
        return ERR_BUS_OFF;
    }
    const std::size_t longest = core_->tp_passthrough || !core_->receive.claims.any_claimed()
                                    ? kSingleFrameMessage
                                    : kTransferMessage;
    if (message.size() < kHeader || message.size() > longest) {
        return ERR_MESSAGE_TOO_LONG;
    }
    if (core_->transmit_buffer->write(message)) {
        return ERR_TX_QUEUE_FULL;
    }
    return NO_ERRORS;
}

platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> J1939Client::prepare_read() {
    if (const std::int16_t code = core_->check_read(active_, *core_->receive.receive_buffer);
        code != NO_ERRORS) {
        return unexpected(code);
    }
    if (!core_->has_channel()) {
        return unexpected(std::int16_t{ERR_BUS_OFF});
    }
    return receive_queue_;
}

void J1939Client::set_all_filters(bool pass) {
    std::lock_guard lock(core_->receive.filter_mutex);
    core_->receive.filters.set_all(pass);
}

platform::Expected<std::uint16_t, std::int16_t> J1939Client::command(
    std::int16_t number, std::span<std::uint8_t> arguments) {
    switch (number) {
        case 3:  // Set_All_Filters_States_to_Pass
            set_all_filters(true);
            return std::uint16_t{0};
        case 4:  // Set_Message_Filtering_For_J1939
            return set_message_filtering(arguments);
        case 16:  // Echo_Transmitted_Messages
            if (arguments.size() != 1 || arguments[0] > 1) {
                return kInvalid;
            }
            core_->receive.echo.store(arguments[0] == 1);
            core_->transmit_buffer->clear();
            core_->receive.receive_buffer->clear();
            return std::uint16_t{0};
        case 17:  // Set_All_Filters_States_to_Discard
            set_all_filters(false);
            return std::uint16_t{0};
        case 19:  // Protect_J1939_Address
            return protect_address(arguments);
        case 22:  // Set_Broadcast_For_J1939
            return core_->broadcasts.command(arguments, *core_->transmit_buffer);
        case 25: {  // Set_J1939_Filter_Type
            if (arguments.size() != 1 || arguments[0] > 1) {
                return kInvalid;
            }
            std::lock_guard lock(core_->receive.filter_mutex);
            core_->receive.filters.inclusive = arguments[0] == 0;
            return std::uint16_t{0};
        }
        case 27:  // Set_J1939_Interpacket_Time
            return set_interpacket_time(arguments);
        case 31:  // Release_J1939_Address
            return release_address(arguments);
        case 39:  // Flush_Tx_Rx_Buffers
            core_->transmit_buffer->clear();
            core_->receive.receive_buffer->clear();
            return std::uint16_t{0};
        case 45:  // Get_Protocol_Connection_Speed
            if (arguments.size() > 16 && core_->hardware_error.load()) {
                return unexpected(std::int16_t{ERR_HARDWARE_NOT_RESPONDING});
            }
            return answer_connection_speed(arguments, device_.get(),
                                           core_->autobaud_in_progress.load(), kTarget);
        default:
            return unexpected(std::int16_t{ERR_COMMAND_NOT_SUPPORTED});
    }
}

platform::Expected<std::uint16_t, std::int16_t> J1939Client::set_message_filtering(
    std::span<const std::uint8_t> records) {
    auto added = parse_j1939_filters(records);
    if (!added) {
        // Nothing has changed yet: the list and state stay as they were.
        return kInvalid;
    }
    std::lock_guard lock(core_->receive.filter_mutex);
    core_->receive.filters.append(*added);
    return std::uint16_t{0};
}

platform::Expected<std::uint16_t, std::int16_t> J1939Client::protect_address(
    std::span<const std::uint8_t> arguments) {
    if (arguments.size() != 10) {
        return kInvalid;
    }
    const std::uint8_t address = arguments[0];
    std::uint64_t name = 0;
    for (std::size_t i = 8; i >= 1; --i) {
        name = (name << 8) | arguments[i];
    }
    {
        std::lock_guard lock(core_->channel_mutex);
        if (!core_->channel) {
            return unexpected(std::int16_t{ERR_BUS_OFF});
        }
        auto claimed = core_->channel->claim_address(address, name);
        if (!claimed) {
            QZ_LOG_ERROR(kTarget, "Failed to initiate J1939 address claim for {:02X}: {}", address,
                         qzj1939lib::to_string(claimed.error()));
            return unexpected(std::int16_t{ERR_ADDRESS_CLAIM_FAILED});
        }
    }
    // 0 blocks until the claim's outcome; any other value returns before it.
    if (arguments[9] != 0) {
        return std::uint16_t{0};
    }
    const std::optional<bool> claimed = core_->receive.claims.wait_listed(address, kProtectWait);
    if (!claimed) {
        QZ_LOG_ERROR(kTarget, "J1939 address claim failed for {:02X}", address);
        return unexpected(std::int16_t{ERR_ADDRESS_CLAIM_FAILED});
    }
    if (!*claimed) {
        QZ_LOG_ERROR(kTarget, "J1939 address claim lost/denied for {:02X}", address);
        return unexpected(std::int16_t{ERR_ADDRESS_LOST});
    }
    return std::uint16_t{0};
}

platform::Expected<std::uint16_t, std::int16_t> J1939Client::release_address(
    std::span<const std::uint8_t> arguments) {
    if (arguments.size() != 1) {
        return kInvalid;
    }
    const std::uint8_t address = arguments[0];
    std::lock_guard lock(core_->channel_mutex);
    if (!core_->channel) {
        return unexpected(std::int16_t{ERR_BUS_OFF});
    }
    auto removed = core_->channel->remove_address_claim(address);
    if (!removed) {
        QZ_LOG_ERROR(kTarget, "Failed to release J1939 address claim for {:02X}: {}", address,
                     qzj1939lib::to_string(removed.error()));
        return unexpected(std::int16_t{ERR_ADDRESS_RELEASE_FAILED});
    }
    core_->receive.claims.remove(address);
    return std::uint16_t{0};
}

platform::Expected<std::uint16_t, std::int16_t> J1939Client::set_interpacket_time(
    std::span<const std::uint8_t> arguments) {
    if (arguments.size() != 4) {
        return kInvalid;
    }
    const std::uint32_t ms = arguments[0] | (arguments[1] << 8) | (arguments[2] << 16) |
                             (static_cast<std::uint32_t>(arguments[3]) << 24);
    std::lock_guard lock(core_->channel_mutex);
    if (!core_->channel) {
        return unexpected(std::int16_t{ERR_BUS_OFF});
    }
    auto set = core_->channel->set_option(qzj1939lib::kOptionBamInterpacketTime, ms);
    if (!set) {
        QZ_LOG_ERROR(kTarget, "Failed to set J1939 inter-packet time to {} ms: {}", ms,
                     qzj1939lib::to_string(set.error()));
        return kInvalid;
    }
    return std::uint16_t{0};
}

void J1939Client::release() {
    core_->receive.receive_buffer->close();
    std::shared_ptr<tarnlib::AutoBaudDevice> detector;
    {
        std::lock_guard lock(core_->autobaud_mutex);
        detector = std::move(core_->autobaud);
        core_->detection_outcome.reset();
    }
    detector.reset();
    core_->autobaud_in_progress.store(false);
    // Taken out of the holder before it is closed, so that the transmit thread waits
    // instead of sending on a closed channel.
    std::shared_ptr<J1939Channel> channel;
    {
        std::lock_guard lock(core_->channel_mutex);
        channel = std::move(core_->channel);
        if (channel) {
            if (auto closed = channel->close(); !closed) {
                QZ_LOG_ERROR(kTarget, "Failed to close J1939 channel for client ID {}: {}",
                             core_->client_id, qzj1939lib::to_string(closed.error()));
            }
        }
    }
    active_ = false;
    core_->transmit_stop.store(true);
    core_->receive_stop.store(true);
    core_->stop_event.set();
    // Sticky: the transmit thread may be between its stop check and its wait.
    core_->transmit_buffer->stop_waits();
    if (transmit_thread_.joinable()) {
        transmit_thread_.join();
    }
    if (receive_thread_.joinable()) {
        receive_thread_.join();
    }
    // A channel the receive thread opened after the close above is closed as it goes; the
    // threads that used it have ended.
    channel.reset();
    {
        std::lock_guard lock(core_->channel_mutex);
        channel = std::move(core_->channel);
    }
    channel.reset();
    device_.reset();
    if (registered_) {
        status_block_->unregister_client(channel_key_, ProtocolMarker::J1939);
        registered_ = false;
    }
}

}  // namespace

Outcome<std::unique_ptr<ProtocolClient>> connect_j1939_client(const ClientCreateArgs& args) {
    auto core = std::make_shared<J1939Core>();
    core->client_id = args.client_id;
    core->tp_passthrough = args.app_packetizing;
    core->receive.receive_buffer = MessageBuffer::create(args.rx_buffer_size);
    core->receive.hardware_status = args.hardware_status;
    core->transmit_buffer = MessageBuffer::create(args.tx_buffer_size);
    auto client = std::make_unique<J1939Client>(core, args.hardware_status);
    auto connected = client->connect(args);
    if (!connected) {
        return platform::unexpected(std::move(connected.error()));
    }
    return std::unique_ptr<ProtocolClient>(std::move(client));
}

}  // namespace qz121032
