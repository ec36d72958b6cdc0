// The exported j1939_* interface: a table of J1939 channels named by handles (their client
// ids), each with the application's callbacks and, while open with callbacks, a thread
// that calls them; the shared address-claim table's configuration; the library's own log.
//
// Locks: the library mutex guards the handle table and every entry in it; it is held for
// the whole of each export except two waits. j1939_read waits for an event outside it, on
// a reference that keeps the entry's receiver alive, so that a read with a long time-out
// holds up no other call (a close or destroy ends it: the queue closes). Close and destroy
// wait for the callback thread outside it, so that a callback blocked on the library mutex
// (in j1939_write, say) can finish. A callback thread never waits for a callback thread:
// not for its own (a callback that closes its own channel), and not for another channel's,
// since two callbacks closing each other's channels would wait for each other for ever.
// The threads it does not wait for are joined by the next close or destroy of an
// application thread.

#include "qzj1939lib/j1939.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/log.hpp"
#include "platform/process.hpp"
#include "platform/thread.hpp"
#include "qzj1939lib/j1939_channel.hpp"
#include "shared_data_manager.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/state_machine/event_waiter.hpp"

namespace qzj1939lib {
namespace {

constexpr const char* kTarget = "qzj1939lib";
constexpr auto kConfigureWait = std::chrono::seconds(1);
constexpr std::uint32_t kMaxMessageSize = 1785;
constexpr const char* kLogFile = "qzj1939lib.log";

using tarnlib::Status;

struct Callbacks {
    std::uint32_t context = 0;
    j1939_rx_callback rx = nullptr;
    j1939_tx_callback tx = nullptr;
    j1939_address_callback address = nullptr;

    bool any() const noexcept { return rx != nullptr || tx != nullptr || address != nullptr; }
};

// Set on callback threads, which never wait for a callback thread.
thread_local bool t_on_callback_thread = false;

// One exported channel.
struct ChannelInfo {
    std::shared_ptr<J1939Channel> channel;
    Callbacks callbacks;  // for the next open
    // While open without callbacks: what j1939_read waits on.
    std::shared_ptr<EventReceiver> receiver;
    // While open with callbacks.
    std::optional<platform::Thread> callback_thread;
};

class Library {
  public:
    std::mutex mutex;  // the library mutex: guards channels and every entry in it
    std::map<std::uint32_t, ChannelInfo> channels;

    // The entry of the handle, or null (library mutex held).
    ChannelInfo* find(std::uint32_t handle) {
        const auto it = channels.find(handle);
        return it == channels.end() ? nullptr : &it->second;
    }

    // Waits for a stopped channel's callback thread (its queue has closed, so it ends after
    // the callbacks still queued), and for those left by callback threads before. A
    // callback thread leaves it to the next application thread. Library mutex not held.
    void join_callback_thread(std::optional<platform::Thread> thread) {
        std::vector<platform::Thread> joining;
        {
            std::lock_guard lock(unjoined_mutex_);
            if (t_on_callback_thread) {
                if (thread) {
                    unjoined_.push_back(std::move(*thread));
                }
                return;
            }
            joining.swap(unjoined_);
        }
        if (thread) {
            thread->join();
        }
        for (platform::Thread& t : joining) {
            t.join();
        }
    }

  private:
    std::mutex unjoined_mutex_;  // guards unjoined_
    std::vector<platform::Thread> unjoined_;
};

// The handle table, made by the first export and kept for the life of the process (channels
// left open at exit are not closed by static destructors, which run while they may work).
Library& library() {
    static Library* const instance = new Library();
    return *instance;
}

// Runs the export's body; nothing is thrown across the interface.
template <class F>
auto shielded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        platform::fatal("qzj1939lib: out of memory");
    } catch (...) {
        platform::fatal("qzj1939lib: unexpected exception at the exported interface");
    }
}

J1939Header to_header(const J1939Message& message) {
    return J1939Header{message.pgn, message.priority, message.src_addr, message.dest_addr, 0};
}

// The code of a channel error for exports that tell bad arguments and states apart.
std::int32_t code_of(const tarnlib::TarnlibError& error) {
    switch (error.status) {
        case Status::tarnERR_PARAM:
            return J1939_BAD_ARGUMENT;
        case Status::tarnERR_INVHANDLE:
            return J1939_INVALID_HANDLE;
        default:
            return J1939_FAILURE;
    }
}

// Runs the body on the handle's entry under the library mutex; an unknown handle is
// logged and answered with `unknown`.
template <class R, class F>
R with_entry(const char* export_name, std::uint32_t handle, R unknown, F&& body) {
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    ChannelInfo* info = lib.find(handle);
    if (info == nullptr) {
        QZ_LOG_ERROR(kTarget, "{}: Unknown handle {}", export_name, handle);
        return unknown;
    }
    return body(*info);
}

// 0, or the refusal logged with the export's name and answered with its code.
template <class T>
std::int32_t outcome(const char* export_name, const J1939Result<T>& result,
                     std::int32_t (*code)(const tarnlib::TarnlibError&)) {
    if (result) {
        return J1939_OK;
    }
    QZ_LOG_ERROR(kTarget, "{}: {}", export_name, to_string(result.error()));
    return code(result.error());
}

std::int32_t failure(const tarnlib::TarnlibError&) {
    return J1939_FAILURE;
}

void run_callbacks(std::uint32_t handle, Callbacks callbacks,
                   const std::shared_ptr<EventReceiver>& events) {
    t_on_callback_thread = true;
    const std::uint32_t context = callbacks.context;
    for (;;) {
        auto received = events->receive_until(std::nullopt);
        if (received.status == EventReceiver::Status::Closed) {
            return;
        }
        if (!received.item) {
            continue;
        }
        std::visit(
            [&](const auto& event) {
                using T = std::decay_t<decltype(event)>;
                if constexpr (std::is_same_v<T, RxMessage>) {
                    if (callbacks.rx != nullptr) {
                        const J1939Message& m = event.message;
                        callbacks.rx(handle, context, to_header(m), m.timestamp.value_or(0),
                                     m.size() != 0 ? m.data->data() : nullptr,
                                     static_cast<std::uint32_t>(m.size()), 0);
                    }
                } else if constexpr (std::is_same_v<T, RxError>) {
                    if (callbacks.rx != nullptr) {
                        callbacks.rx(handle, context, to_header(event.header),
                                     event.header.timestamp.value_or(0), nullptr, 0, 1);
                    }
                } else if constexpr (std::is_same_v<T, TxConfirmed>) {
                    if (callbacks.tx != nullptr) {
                        callbacks.tx(handle, context, event.tag, to_header(event.message),
                                     event.message.timestamp.value_or(0), 0);
                    }
                } else if constexpr (std::is_same_v<T, TxFailed>) {
                    if (callbacks.tx != nullptr) {
                        callbacks.tx(handle, context, event.tag, to_header(event.header),
                                     event.header.timestamp.value_or(0), 1);
                    }
                } else if constexpr (std::is_same_v<T, AddressState>) {
                    if (callbacks.address != nullptr && (event.state == ClaimState::Claimed ||
                                                         event.state == ClaimState::CannotClaim)) {
                        callbacks.address(handle, context, event.address,
                                          event.state == ClaimState::Claimed ? 1 : 0);
                    }
                }
            },
            *received.item);
    }
}

// Waits for the new device to have opened its channel (off bus).
bool wait_configured(tarnlib::CanDevice& device) {
    auto waiter =
        tarnlib::EventWaiter::create("j1939_create_channel_configured",
                                     tarnlib::NetworkEvent::of(tarnlib::EventKind::Configured));
    const auto id = device.subscribe(waiter->callback());
    const bool reached = device.state_name() == "configured" || waiter->wait(kConfigureWait);
    device.unsubscribe(id);
    return reached;
}

J1939CreateResult create_channel(std::uint32_t channel, std::uint32_t bit_rate) {
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    tarnlib::ChannelSelector selector;
    selector.channel = channel;
    const auto found = tarnlib::ChannelDirectory::instance().discover_and_find(selector);
    if (!found) {
        QZ_LOG_ERROR(kTarget, "Failed to find CAN channels: {}",
                     tarnlib::status_name(static_cast<std::int32_t>(found.error())));
        return {J1939_INVALID_HANDLE, 0};
    }
    if (found->empty()) {
        QZ_LOG_ERROR(kTarget, "No CAN channels found matching selection criteria");
        return {J1939_INVALID_HANDLE, 0};
    }
    const tarnlib::ChannelIdentity& identity = found->front();

    tarnlib::BusConfiguration timing;
    timing.kind = tarnlib::BusKind::Classic;
    timing.nominal.bitrate = bit_rate;
    timing.nominal.sample_point = 0.875;
    timing.nominal.bitrate_tolerance = 0.001;
    timing.nominal.sample_point_tolerance = 0.001;
    const auto bus = tarnlib::get_or_create_bus(timing, identity);
    if (!bus || !tarnlib::timing_matches(bus->configuration(), timing)) {
        QZ_LOG_ERROR(kTarget, "Failed to find or create CAN bus with specified parameters");
        return {J1939_INVALID_HANDLE, 0};
    }

    tarnlib::CanDeviceConfiguration configuration;
    configuration.identity = identity;
    configuration.bus = timing;
    configuration.bus_on = false;  // open goes on bus
    auto device =
        tarnlib::CanDevice::create(fmt::format("qzj1939lib_{}", channel), bus, configuration);
    if (!device) {
        QZ_LOG_ERROR(kTarget, "Failed to create/configure CAN channel: {}", channel);
        return {J1939_FAILURE, 0};
    }
    if (!wait_configured(*device)) {
        if (const auto other = device->timing_in_use_elsewhere()) {
            // Another program has the channel on the bus at another rate: the conflict a
            // second bit rate inside this process gets too.
            QZ_LOG_ERROR(kTarget,
                         "Bit timing conflict on CAN channel {}: another program uses it at {} "
                         "bit/s, {} bit/s requested",
                         channel, other->nominal.bitrate, bit_rate);
            return {J1939_INVALID_HANDLE, 0};
        }
        QZ_LOG_ERROR(kTarget, "CAN device did not reach 'configured' state within timeout: {}",
                     device->state_name());
        return {J1939_FAILURE, 0};
    }

    auto j1939 = J1939Channel::create(std::move(device));
    const std::uint32_t handle = j1939->client_id();
    QZ_LOG_INFO(kTarget, "Creating J1939 channel with handle {}", handle);
    ChannelInfo info;
    info.channel = std::move(j1939);
    if (!lib.channels.try_emplace(handle, std::move(info)).second) {
        QZ_LOG_ERROR(kTarget, "Channel handle collision");
        return {J1939_FAILURE, 0};
    }
    return {J1939_OK, handle};
}

std::int32_t destroy_channel(std::uint32_t handle) {
    std::shared_ptr<J1939Channel> channel;
    std::optional<platform::Thread> thread;
    const std::int32_t code =
        with_entry("j1939_destroy_channel", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
            channel = std::move(info.channel);
            thread = std::move(info.callback_thread);
            library().channels.erase(handle);  // the entry is gone whatever close answers
            return outcome("j1939_destroy_channel", channel->close(), failure);
        });
    library().join_callback_thread(std::move(thread));
    // Destroying the channel stops everything of it, on bus or not.
    channel.reset();
    return code;
}

std::int32_t open_channel(std::uint32_t handle) {
    return with_entry("j1939_open_channel", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
        auto opened = info.channel->open();
        if (!opened) {
            return outcome("j1939_open_channel", opened, failure);
        }
        auto events = std::make_shared<EventReceiver>(std::move(*opened));
        if (info.callbacks.any()) {
            info.callback_thread.emplace(
                fmt::format("J1939ChannelInfo({})::callback_thread", handle),
                platform::ThreadPriority::Normal, [handle, callbacks = info.callbacks, events] {
                    run_callbacks(handle, callbacks, events);
                });
        } else {
            info.receiver = std::move(events);
        }
        return J1939_OK;
    });
}

std::int32_t close_channel(std::uint32_t handle) {
    std::optional<platform::Thread> thread;
    const std::int32_t code =
        with_entry("j1939_close_channel", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
            if (!info.channel->is_open()) {
                return J1939_OK;
            }
            const std::int32_t closed =
                outcome("j1939_close_channel", info.channel->close(), failure);
            if (closed == J1939_OK) {
                thread = std::move(info.callback_thread);
                info.callback_thread.reset();
                info.receiver.reset();
            }
            return closed;
        });
    library().join_callback_thread(std::move(thread));
    return code;
}

std::int32_t register_callbacks(std::uint32_t handle, const Callbacks& callbacks) {
    return with_entry(
        "j1939_register_callbacks", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
            if (info.channel->is_open()) {
                QZ_LOG_ERROR(kTarget, "j1939_register_callbacks: Channel {} is open", handle);
                return J1939_INVALID_HANDLE;
            }
            info.callbacks = callbacks;
            return J1939_OK;
        });
}

std::int32_t claim_address(std::uint32_t handle, std::uint8_t address, std::uint64_t name) {
    return with_entry("j1939_claim_address", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
        return outcome("j1939_claim_address", info.channel->claim_address(address, name), failure);
    });
}

std::int32_t remove_address_claim(std::uint32_t handle, std::uint8_t address) {
    return with_entry("j1939_remove_address_claim", handle, J1939_INVALID_HANDLE,
                      [&](ChannelInfo& info) {
                          return outcome("j1939_remove_address_claim",
                                         info.channel->remove_address_claim(address), failure);
                      });
}

std::int32_t write_code(const tarnlib::TarnlibError& error) {
    return error.status == Status::tarnERR_TXBUFOFL ? J1939_TX_OVERFLOW : code_of(error);
}

std::int32_t write(std::uint32_t handle, const J1939Header& header, const std::uint8_t* data,
                   std::uint32_t length, std::uint32_t tag) {
    return with_entry("j1939_write", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
        if (data == nullptr && length != 0) {
            QZ_LOG_ERROR(kTarget, "j1939_write: No data for {} bytes", length);
            return J1939_BAD_ARGUMENT;
        }
        if (length > kMaxMessageSize) {
            // Refused before the copy: nothing longer can be sent.
            QZ_LOG_ERROR(kTarget, "j1939_write: Invalid message size");
            return J1939_BAD_ARGUMENT;
        }
        J1939Message message;
        message.pgn = header.pgn;
        message.priority = header.priority;
        message.src_addr = header.src_addr;
        message.dest_addr = header.dest_addr;
        if (length != 0) {
            message.data = std::vector<std::uint8_t>(data, data + length);
        }
        const auto tagged = tag != 0 ? std::optional<std::uint32_t>(tag) : std::nullopt;
        return outcome("j1939_write", info.channel->send(std::move(message), tagged), write_code);
    });
}

J1939ReadResult read(std::uint32_t handle, std::uint8_t* buffer, std::uint32_t size,
                     std::int32_t timeout_ms) {
    J1939ReadResult result{};
    // A reference of the entry's receiver: the wait below holds no lock.
    std::shared_ptr<EventReceiver> events;
    result.status = with_entry("j1939_read", handle, J1939_INVALID_HANDLE, [&](ChannelInfo& info) {
        if (!info.receiver) {
            QZ_LOG_ERROR(kTarget, "j1939_read: Channel {} is not open for reading", handle);
            return J1939_INVALID_HANDLE;
        }
        events = info.receiver;
        return J1939_OK;
    });
    if (result.status != J1939_OK) {
        return result;
    }
    if (buffer == nullptr && size != 0) {
        QZ_LOG_ERROR(kTarget, "j1939_read: No buffer for {} bytes", size);
        result.status = J1939_BAD_ARGUMENT;
        return result;
    }
    std::optional<Instant> deadline;
    if (timeout_ms >= 0) {
        deadline = MonotonicClock::now() + std::chrono::milliseconds(timeout_ms);
    }
    for (;;) {
        auto received = events->receive_until(deadline);
        if (received.status == EventReceiver::Status::TimedOut) {
            result.status = J1939_TIMEOUT;
            return result;
        }
        if (received.status == EventReceiver::Status::Closed) {
            result.status = J1939_FAILURE;
            return result;
        }
        ChannelEvent& event = *received.item;
        if (auto* rx = std::get_if<RxMessage>(&event)) {
            const J1939Message& m = rx->message;
            if (m.size() > size) {
                result.status = J1939_BUFFER_TOO_SMALL;
                return result;
            }
            if (m.size() != 0) {
                std::memcpy(buffer, m.data->data(), m.size());
            }
            result.status = J1939_OK;
            result.header = to_header(m);
            result.timestamp = m.timestamp.value_or(0);
            result.length = static_cast<std::uint32_t>(m.size());
            return result;
        }
        if (auto* error = std::get_if<RxError>(&event)) {
            result.status = J1939_RX_ERROR;
            result.header = to_header(error->header);
            result.timestamp = error->header.timestamp.value_or(0);
            return result;
        }
        if (auto* state = std::get_if<AddressState>(&event);
            state && state->state == ClaimState::CannotClaim) {
            result.status = J1939_ADDRESS_LOST;
            return result;
        }
        // Transmit outcomes and other claim states are not for readers.
    }
}

std::int32_t set_option(std::uint32_t handle, std::uint32_t option, std::uint32_t value) {
    return with_entry("j1939_set_channel_option", handle, J1939_INVALID_HANDLE,
                      [&](ChannelInfo& info) {
                          return outcome("j1939_set_channel_option",
                                         info.channel->set_option(option, value), code_of);
                      });
}

J1939OptionResult get_option(std::uint32_t handle, std::uint32_t option) {
    return with_entry("j1939_get_channel_option", handle,
                      J1939OptionResult{J1939_INVALID_HANDLE, 0}, [&](ChannelInfo& info) {
                          auto value = info.channel->get_option(option);
                          return J1939OptionResult{
                              outcome("j1939_get_channel_option", value, code_of),
                              value ? *value : 0};
                      });
}

std::int32_t configure_shared_address_table() {
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    if (!lib.channels.empty()) {
        QZ_LOG_ERROR(kTarget,
                     "j1939_configure_shared_address_table: Channels exist already in this "
                     "process");
        return J1939_FAILURE;
    }
    auto configured = SharedDataManager::configure();
    if (!configured) {
        QZ_LOG_ERROR(kTarget, "j1939_configure_shared_address_table: {}", configured.error());
        return J1939_FAILURE;
    }
    return J1939_OK;
}

// The library's own log: one line per message, "{time} [{LEVEL}] {text}", info and up.
class LogFileSink final : public platform::log::Sink {
  public:
    explicit LogFileSink(std::FILE* file) : file_(file) {}
    ~LogFileSink() override { std::fclose(file_); }
    LogFileSink(const LogFileSink&) = delete;
    LogFileSink& operator=(const LogFileSink&) = delete;

    void write(platform::log::Level level, std::string_view,
               std::string_view text) noexcept override {
        if (static_cast<int>(level) > static_cast<int>(platform::log::Level::Info)) {
            return;
        }
        try {
            const std::string line =
                fmt::format("{} [{}] {}\n", platform::log::format_time(platform::wall_now()),
                            platform::log::level_name(level), text);
            std::lock_guard lock(mutex_);
            std::fwrite(line.data(), 1, line.size(), file_);
            std::fflush(file_);
        } catch (...) {
            // A line that cannot be made is lost; logging never stops the caller.
        }
    }

  private:
    std::mutex mutex_;  // guards writes to file_
    std::FILE* const file_;
};

std::int32_t start_log() {
    std::FILE* file = std::fopen(kLogFile, "ab");
    if (file == nullptr) {
        QZ_LOG_ERROR(kTarget, "Error creating log file: {}", std::strerror(errno));
        return J1939_FAILURE;
    }
    if (!platform::log::install(std::make_shared<LogFileSink>(file))) {
        QZ_LOG_ERROR(kTarget, "Failed to initialize logging: {}",
                     "a logger is already installed in this process");
        return J1939_FAILURE;
    }
    if (!platform::log::enabled(platform::log::Level::Info)) {
        platform::log::set_max_level(platform::log::Level::Info);
    }
    QZ_LOG_INFO(kTarget, "Logging started");
    return J1939_OK;
}

}  // namespace
}  // namespace qzj1939lib

using namespace qzj1939lib;

extern "C" {

J1939CreateResult J1939_API j1939_create_channel(uint32_t channel, uint32_t /*reserved*/,
                                                 uint32_t bit_rate) {
    return shielded([&] { return create_channel(channel, bit_rate); });
}

int32_t J1939_API j1939_destroy_channel(j1939_handle handle) {
    return shielded([&] { return destroy_channel(handle); });
}

int32_t J1939_API j1939_open_channel(j1939_handle handle) {
    return shielded([&] { return open_channel(handle); });
}

int32_t J1939_API j1939_close_channel(j1939_handle handle) {
    return shielded([&] { return close_channel(handle); });
}

int32_t J1939_API j1939_register_callbacks(j1939_handle handle, uint32_t context,
                                           j1939_rx_callback rx, j1939_tx_callback tx,
                                           j1939_address_callback address) {
    return shielded([&] {
        return register_callbacks(handle, Callbacks{context, rx, tx, address});
    });
}

int32_t J1939_API j1939_claim_address(j1939_handle handle, uint8_t address, uint32_t name_low,
                                      uint32_t name_high) {
    return shielded(
        [&] { return claim_address(handle, address, std::uint64_t{name_high} << 32 | name_low); });
}

int32_t J1939_API j1939_remove_address_claim(j1939_handle handle, uint8_t address) {
    return shielded([&] { return remove_address_claim(handle, address); });
}

int32_t J1939_API j1939_write(j1939_handle handle, J1939Header header, const uint8_t* data,
                              uint32_t length, uint32_t tag) {
    return shielded([&] { return write(handle, header, data, length, tag); });
}

J1939ReadResult J1939_API j1939_read(j1939_handle handle, uint8_t* buffer, uint32_t size,
                                     int32_t timeout_ms) {
    return shielded([&] { return read(handle, buffer, size, timeout_ms); });
}

int32_t J1939_API j1939_set_channel_option(j1939_handle handle, uint32_t option, uint32_t value) {
    return shielded([&] { return set_option(handle, option, value); });
}

J1939OptionResult J1939_API j1939_get_channel_option(j1939_handle handle, uint32_t option) {
    return shielded([&] { return get_option(handle, option); });
}

int32_t J1939_API j1939_configure_shared_address_table(void) {
    return shielded([] { return configure_shared_address_table(); });
}

int32_t J1939_API j1939_start_log(void) {
    return shielded([] { return start_log(); });
}

}  // extern "C"
