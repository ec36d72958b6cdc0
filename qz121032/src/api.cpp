#include "api.hpp"

#include <algorithm>
#include <cstring>

#include "logger.hpp"
#include "platform/log.hpp"

namespace qz121032 {

namespace {

constexpr const char* kTarget = target::kLib;

void copy_text(char* destination, std::string_view text, std::size_t max_chars) {
    const std::size_t n = std::min(text.size(), max_chars);
    std::memcpy(destination, text.data(), n);
    destination[n] = '\0';
}

// Appends the UTF-8 sequence starting at text[i] if it is well formed; returns its
// length, or 0 when it is not.
std::size_t valid_utf8_sequence(const unsigned char* text, std::size_t size, std::size_t i) {
    const unsigned char lead = text[i];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > size) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char c = text[i + k];
        const unsigned char lo = k == 1 ? low : 0x80;
        const unsigned char hi = k == 1 ? high : 0xBF;
        if (c < lo || c > hi) {
            return 0;
        }
    }
    return length;
}

// Copies the text of a code and a NUL to the description buffer; nothing else in the
// buffer is touched.
std::int16_t describe_error(std::int16_t code, char* description) {
    if (description == nullptr) {
        return ERR_CODE_NOT_FOUND;
    }
    const std::string_view text = error_text(code);
    if (text.empty() || text.size() + 1 > kErrorDescriptionSize) {
        return ERR_CODE_NOT_FOUND;
    }
    copy_text(description, text, text.size());
    return NO_ERRORS;
}

}  // namespace

std::string protocol_text(const char* protocol) {
    if (protocol == nullptr) {
        return "null";
    }
    const auto* text = reinterpret_cast<const unsigned char*>(protocol);
    const std::size_t size = std::strlen(protocol);
    std::string out;
    out.reserve(size);
    std::size_t i = 0;
    while (i < size) {
        const std::size_t n = valid_utf8_sequence(text, size, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(protocol + i, n);
            i += n;
        }
    }
    return out;
}

std::int16_t get_error_msg(std::int16_t code, char* description) {
    QZ_LOG_DEBUG(kTarget, "RP1210_GetErrorMsg(error_code={}, msg_ptr={})", code,
                 fmt::ptr(description));
    return describe_error(code, description);
}

void read_version(char* dll_major, char* dll_minor, char* api_major, char* api_minor) {
    QZ_LOG_DEBUG(kTarget,
                 "RP1210_ReadVersion(dll_major_version={}, dll_minor_version={}, "
                 "api_major_version={}, api_minor_version={})",
                 fmt::ptr(dll_major), fmt::ptr(dll_minor), fmt::ptr(api_major),
                 fmt::ptr(api_minor));
    if (dll_major != nullptr)
        *dll_major = '6';
    if (dll_minor != nullptr)
        *dll_minor = '0';
    if (api_major != nullptr)
        *api_major = '4';
    if (api_minor != nullptr)
        *api_minor = '0';
}

Api::Api(ApiServices services) : services_(std::move(services)) {}

void Api::initialize_once() {
    std::call_once(init_once_, [this] {
        std::lock_guard lock(settings_mutex_);
        if (auto error = services_.load_settings(settings_)) {
            services_.print_line("Ostrel RP1210: Failed to load INI file: " + *error);
            return;
        }
        if (!settings_.valid) {
            services_.print_line("Ostrel RP1210: INI file is invalid.");
            return;
        }
        if (services_.start_log(settings_)) {
            services_.print_line("Ostrel RP1210: Failed to initialize debug log.");
        } else {
            QZ_LOG_INFO(kTarget, "Ostrel RP1210{} DLL {} initialized.", "C", kDllVersionText);
        }
        if (settings_.vendor &&
            (settings_.vendor->rp1210 != "C" || settings_.vendor->version != "3.0")) {
            QZ_LOG_ERROR(kTarget,
                         "The file {} does not match expected version: RP1210{} {} vs "
                         "RP1210{} {}. This may cause compatibility issues.",
                         kWindowsDirectoryIniName, settings_.vendor->rp1210,
                         settings_.vendor->version, "C", "3.0");
        }
        if (!services_.check_driver()) {
            QZ_LOG_ERROR(kTarget, "Failed to initialize tarnlib.");
            return;
        }
        if (services_.configure_j1939() != 0) {
            QZ_LOG_ERROR(kTarget, "Failed to initialize J1939.");
            return;
        }
        initialized_.store(true);
    });
}

std::int16_t Api::client_connect(std::int16_t device_id, const char* protocol,
                                 std::int32_t tx_buffer_size, std::int32_t rx_buffer_size,
                                 std::int16_t app_packetizing) {
    initialize_once();
    const std::string protocol_string = protocol_text(protocol);
    if (!initialized_.load()) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientConnect: RP1210 DLL not initialized.");
        return ERR_DLL_NOT_INITIALIZED;
    }

    std::lock_guard settings_lock(settings_mutex_);
    if (settings_.devices.find(device_id) == settings_.devices.end()) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientConnect: Invalid device ID: {}", device_id);
        return ERR_INVALID_DEVICE;
    }
    auto params = parse_protocol_string(protocol_string);
    if (!params) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientConnect: Invalid protocol string: {}", params.error());
        return ERR_INVALID_PROTOCOL;
    }
    const std::optional<std::int32_t> client_id = registry_.allocate_id();
    if (!client_id) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientConnect: Maximum number of clients reached.");
        return ERR_CLIENT_AREA_FULL;
    }

    auto connection = create_client_locked(device_id, *client_id, *params, tx_buffer_size,
                                           rx_buffer_size, app_packetizing != 0);
    if (!connection) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientConnect: {}", connection.error().message);
        return connection.error().code;
    }

    auto slot = std::make_shared<ClientSlot>();
    slot->client.emplace(Client{kWaitWithoutLimit, std::move(connection.value())});
    registry_.insert(*client_id, std::move(slot));
    QZ_LOG_INFO(kTarget, "RP1210_ClientConnect: Client {}, {}, {}", *client_id, device_id,
                protocol_string);
    return static_cast<std::int16_t>(*client_id);
}

Outcome<std::unique_ptr<ProtocolClient>> Api::create_client_locked(
    std::int16_t device_id, std::int32_t client_id, const ProtocolParameters& params,
    std::int32_t tx_size, std::int32_t rx_size, bool app_packetizing) {
    constexpr std::int32_t kDefaultBufferSize = 8192;
    if (tx_size <= 0)
        tx_size = kDefaultBufferSize;
    if (rx_size <= 0)
        rx_size = kDefaultBufferSize;

    if (!hardware_status_) {
        hardware_status_ = services_.open_hardware_status();
    }

    auto selection = resolve_device_params(settings_.devices.at(device_id));
    if (!selection) {
        return fail(ERR_INVALID_DEVICE, selection.error());
    }

    std::uint32_t channel_index = 0;
    if (selection->fixed_channel) {
        if (params.channel && *params.channel != 1) {
            return fail(ERR_INVALID_DEVICE,
                        "Protocol channel does not match device's fixed channel");
        }
        channel_index = *selection->fixed_channel;
    } else {
        const std::uint32_t count =
            params.is_can ? selection->can_channel_count : selection->j1939_channel_count;
        if (count == 0) {
            return fail(ERR_INVALID_DEVICE, "Device has no available channels");
        }
        // A channel 0 in the protocol string is rejected when the string is parsed.
        channel_index = params.channel ? *params.channel - 1 : 0;
        if (channel_index >= count) {
            return fail(ERR_INVALID_DEVICE, "Protocol channel out of device's supported range");
        }
    }

    auto timing = to_bus_timing(params);
    if (!timing) {
        return fail(ERR_INVALID_PROTOCOL, timing.error());
    }

    ClientCreateArgs args;
    args.client_id = client_id;
    args.channel_index = channel_index;
    args.ean = selection->ean;
    args.serial_number = selection->serial_number;
    args.protocol = params;
    args.timing = *timing;
    args.tx_buffer_size = static_cast<std::uint32_t>(tx_size);
    args.rx_buffer_size = static_cast<std::uint32_t>(rx_size);
    args.app_packetizing = app_packetizing;
    args.hardware_status = hardware_status_;
    return services_.create_client(std::move(args));
}

std::int16_t Api::client_disconnect(std::int16_t client_id) {
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    if (!slot) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientDisconnect: Invalid client ID: {}", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    std::optional<Client> client;
    {
        std::lock_guard lock(slot->mutex);
        client.swap(slot->client);
    }
    if (!client) {
        QZ_LOG_ERROR(kTarget, "RP1210_ClientDisconnect: Client {} is already disconnected",
                     client_id);
        return ERR_CLIENT_DISCONNECTED;
    }
    QZ_LOG_INFO(kTarget, "RP1210_ClientDisconnect: Disconnecting client {}", client_id);
    if (client->connection) {
        client->connection->shutdown();
    }
    client.reset();
    return NO_ERRORS;
}

std::int16_t Api::send_message(std::int16_t client_id, const void* message, std::int16_t size) {
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    if (!slot) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendMessage: Invalid client ID: {}", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    std::lock_guard lock(slot->mutex);
    if (!slot->client) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendMessage: Client {} is disconnected", client_id);
        return ERR_CLIENT_DISCONNECTED;
    }
    if (message == nullptr) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendMessage: Client {}: Buffer is a null pointer", client_id);
        return ERR_MESSAGE_NOT_SENT;
    }
    ProtocolClient& connection = *slot->client->connection;
    const auto length = static_cast<std::uint16_t>(size);
    const bool size_ok = connection.kind() == ProtocolKind::Can ? (length >= 3 && length <= 13)
                                                                : (length >= 6 && length <= 1791);
    if (!size_ok) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendMessage: Client {}: Invalid message buffer size: {}",
                     client_id, length);
        return ERR_MESSAGE_TOO_LONG;
    }
    const std::span bytes(static_cast<const std::uint8_t*>(message), length);
    if (const std::int16_t code = connection.send(bytes); code != NO_ERRORS) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendMessage: Client {} failed to send message: {}", client_id,
                     code);
        return code;
    }
    QZ_LOG_INFO(kTarget, "RP1210_SendMessage: Client {}, [{}]", client_id,
                platform::log::hex_dump(bytes.data(), bytes.size()));
    return NO_ERRORS;
}

std::int16_t Api::read_message(std::int16_t client_id, void* buffer, std::int16_t size,
                               std::int16_t block_on_read) {
    if (buffer == nullptr) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadMessage: Client {}: Buffer is a null pointer", client_id);
        return -ERR_MESSAGE_TOO_LONG;
    }
    // A negative size is refused like 0: nothing may be copied past the caller's buffer.
    if (size <= 0) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadMessage: Client {}: Invalid message buffer size: {}",
                     client_id, size);
        return -ERR_MESSAGE_TOO_LONG;
    }
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    if (!slot) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadMessage: Invalid client ID: {}", client_id);
        return -ERR_INVALID_CLIENT_ID;
    }
    // The lookup and the read preparation run under the slot lock like every other call on
    // the client; the read itself, which may wait without limit, runs after the slot is
    // unlocked on a shared reference to the receive queue (it has its own lock). So sends,
    // commands and a disconnect on the same client proceed while a read blocks, and the
    // disconnect wakes the read, which then reports 148.
    std::chrono::nanoseconds wait{0};
    platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> queue =
        platform::unexpected(std::int16_t{ERR_CLIENT_DISCONNECTED});
    {
        std::lock_guard lock(slot->mutex);
        if (!slot->client) {
            QZ_LOG_ERROR(kTarget, "RP1210_ReadMessage: Client {} is disconnected", client_id);
            return -ERR_CLIENT_DISCONNECTED;
        }
        wait =
            block_on_read != 0 ? slot->client->blocking_timeout : std::chrono::nanoseconds::zero();
        queue = slot->client->connection->prepare_read();
    }

    std::int16_t failure = NO_ERRORS;
    std::size_t count = 0;
    if (!queue) {
        failure = queue.error();
    } else {
        const std::span out(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(size));
        auto read = (*queue)->read(out, wait);
        if (read) {
            count = std::min(*read, out.size());
        } else {
            failure = read.error();
        }
    }
    if (failure != NO_ERRORS) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadMessage: Client {} failed to read message: {}", client_id,
                     failure);
        return static_cast<std::int16_t>(-failure);
    }
    if (count > 0) {
        QZ_LOG_INFO(kTarget, "RP1210_ReadMessage: Client {}, [{}]", client_id,
                    platform::log::hex_dump(buffer, count));
    }
    return static_cast<std::int16_t>(count);
}

std::int16_t Api::send_command(std::int16_t command, std::int16_t client_id, void* arguments,
                               std::int16_t size) {
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    if (!slot) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendCommand: Invalid client ID: {}", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    std::lock_guard lock(slot->mutex);
    if (!slot->client) {
        QZ_LOG_ERROR(kTarget, "RP1210_SendCommand: Client {} is disconnected", client_id);
        return ERR_CLIENT_DISCONNECTED;
    }
    // A null buffer means no bytes; so does a negative size, which is no valid request.
    std::span<std::uint8_t> bytes;
    if (arguments != nullptr && size > 0) {
        bytes = {static_cast<std::uint8_t*>(arguments), static_cast<std::size_t>(size)};
    }
    auto result = dispatch_command(*slot->client, command, bytes);
    if (!result) {
        QZ_LOG_ERROR(kTarget,
                     "RP1210_SendCommand: Client {}: Failed to send command {} [{}]: error code {}",
                     client_id, command, platform::log::hex_dump(bytes.data(), bytes.size()),
                     result.error());
        return result.error();
    }
    QZ_LOG_INFO(kTarget, "RP1210_SendCommand: Client {}, {}, [{}]", client_id, command,
                platform::log::hex_dump(bytes.data(), bytes.size()));
    return static_cast<std::int16_t>(*result);
}

platform::Expected<std::uint16_t, std::int16_t> Api::dispatch_command(
    Client& client, std::int16_t command, std::span<std::uint8_t> arguments) {
    using platform::unexpected;
    ProtocolClient& connection = *client.connection;
    switch (command) {
        case 0: {  // Reset_Device
            const std::int16_t code = reset_device(client);
            if (code != NO_ERRORS) {
                return unexpected(code);
            }
            return std::uint16_t{0};
        }
        case 3:  // Set_All_Filters_States_to_Pass
            connection.set_all_filters(true);
            return std::uint16_t{0};
        case 17:  // Set_All_Filters_States_to_Discard
            connection.set_all_filters(false);
            return std::uint16_t{0};
        case 18:  // Set_Message_Receive
            if (arguments.size() != 1 || arguments[0] > 1) {
                return unexpected(std::int16_t{ERR_INVALID_COMMAND});
            }
            connection.set_message_receive(arguments[0] == 1);
            return std::uint16_t{0};
        case 48: {  // bus type query
            const std::optional<std::uint32_t> bus_type = connection.bus_type();
            if (!bus_type) {
                return unexpected(std::int16_t{ERR_HARDWARE_NOT_RESPONDING});
            }
            return static_cast<std::uint16_t>(*bus_type == 3 ? 1 : 0);
        }
        case 215: {  // Set_Blocking_Timeout
            if (arguments.size() != 2) {
                return unexpected(std::int16_t{ERR_INVALID_COMMAND});
            }
            const auto ms = static_cast<std::int64_t>(arguments[0]) * arguments[1];
            client.blocking_timeout = ms == 0
                                          ? kWaitWithoutLimit
                                          : std::chrono::nanoseconds(std::chrono::milliseconds(ms));
            return std::uint16_t{0};
        }
        default:
            return connection.command(command, arguments);
    }
}

std::int16_t Api::reset_device(Client& client) {
    ProtocolClient& connection = *client.connection;
    if (!connection.has_device()) {
        return ERR_HARDWARE_NOT_RESPONDING;
    }
    connection.shutdown();
    constexpr std::int32_t kNoAccess = -31;   // tarnERR_NO_ACCESS
    constexpr std::int32_t kNoChannels = -5;  // tarnERR_NOCHANNELS
    const std::int32_t status = connection.probe_exclusive_open();
    if (status == 0) {
        return NO_ERRORS;
    }
    if (status == kNoAccess || status == kNoChannels) {
        return ERR_MULTIPLE_CLIENTS_CONNECTED;
    }
    return ERR_HARDWARE_NOT_RESPONDING;
}

std::int16_t Api::ioctl(std::int16_t client_id, std::int32_t ioctl_id) {
    if (!initialized_.load()) {
        QZ_LOG_ERROR(kTarget, "RP1210_Ioctl: DLL not initialized");
        return ERR_DLL_NOT_INITIALIZED;
    }
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    bool connected = false;
    if (slot) {
        std::lock_guard lock(slot->mutex);
        connected = slot->client.has_value();
    }
    if (!connected) {
        QZ_LOG_ERROR(kTarget, "RP1210_Ioctl: Invalid or disconnected client ID: {}", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    const auto id = static_cast<std::uint32_t>(ioctl_id);
    if (id == 1 || id == 2 || id == 4 || id == 5 || id == 6) {
        QZ_LOG_INFO(kTarget, "RP1210_Ioctl: Ioctl ID {} is not supported by this hardware.", id);
        return ERR_HARDWARE_NOT_SUPPORTED;
    }
    QZ_LOG_ERROR(kTarget, "RP1210_Ioctl: Invalid Ioctl ID: {}", id);
    return ERR_INVALID_IOCTL_ID;
}

std::int16_t Api::read_detailed_version(std::int16_t client_id, char* api_version,
                                        char* dll_version, char* firmware_version) {
    QZ_LOG_DEBUG(kTarget,
                 "RP1210_ReadDetailedVersion(client_id={}, api_version_info={}, "
                 "dll_version_info={}, fw_version_info={})",
                 client_id, fmt::ptr(api_version), fmt::ptr(dll_version),
                 fmt::ptr(firmware_version));
    if (!initialized_.load()) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadDetailedVersion: DLL not initialized");
        return ERR_DLL_NOT_INITIALIZED;
    }
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    if (!slot) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadDetailedVersion: Invalid client ID: {}", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    std::lock_guard lock(slot->mutex);
    if (!slot->client) {
        QZ_LOG_ERROR(kTarget, "RP1210_ReadDetailedVersion: Client {} is disconnected", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    std::string firmware = "0.0.0";
    if (auto revision = slot->client->connection->firmware_revision()) {
        firmware = fmt::format("{}.{}.{}", (*revision >> 48) & 0xFFFF, (*revision >> 32) & 0xFFFF,
                               *revision & 0xFFFF);
    }
    constexpr std::size_t kMaxVersionChars = 16;
    if (api_version != nullptr)
        copy_text(api_version, kApiVersionText, kMaxVersionChars);
    if (dll_version != nullptr)
        copy_text(dll_version, kDllVersionText, kMaxVersionChars);
    if (firmware_version != nullptr)
        copy_text(firmware_version, firmware, kMaxVersionChars);
    QZ_LOG_INFO(kTarget, "RP1210_ReadDetailedVersion: Client {}, {}, {}, {}", client_id,
                kApiVersionText, kDllVersionText, firmware);
    return NO_ERRORS;
}

std::int16_t Api::get_hardware_status(std::int16_t client_id, void* buffer, std::int16_t size) {
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    if (!slot) {
        QZ_LOG_ERROR(kTarget, "RP1210_GetHardwareStatus: Invalid client ID: {}", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    std::lock_guard lock(slot->mutex);
    if (!slot->client) {
        QZ_LOG_ERROR(kTarget, "RP1210_GetHardwareStatus: Client {} is disconnected", client_id);
        return ERR_INVALID_CLIENT_ID;
    }
    if (buffer == nullptr || size <= 0) {
        QZ_LOG_INFO(kTarget, "RP1210_GetHardwareStatus: Client {}, [])", client_id);
        return NO_ERRORS;
    }
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), 64);
    std::memset(buffer, 0, n);
    std::array<std::uint8_t, 64> record{};
    if (slot->client->connection->has_device()) {
        record = slot->client->connection->hardware_status();
    }
    std::memcpy(buffer, record.data(), n);
    QZ_LOG_INFO(kTarget, "RP1210_GetHardwareStatus: Client {}, [{}])", client_id,
                platform::log::hex_dump(buffer, n));
    return NO_ERRORS;
}

std::int16_t Api::get_last_error_msg(std::int16_t code, std::int32_t* sub_error, char* description,
                                     std::int16_t client_id) {
    QZ_LOG_DEBUG(kTarget,
                 "RP1210_GetLastErrorMsg(err_code={}, sub_error_code={}, msg={}, client_id={})",
                 code, fmt::ptr(sub_error), fmt::ptr(description), client_id);
    std::shared_ptr<ClientSlot> slot = registry_.find(client_id);
    bool connected = false;
    if (slot) {
        std::lock_guard lock(slot->mutex);
        connected = slot->client.has_value();
    }
    if (!connected) {
        return ERR_INVALID_CLIENT_ID;
    }
    if (sub_error != nullptr) {
        *sub_error = -1;
    }
    return describe_error(code, description);
}

void Api::process_detach(bool process_terminating) {
    // The driver stays loaded while clients are connected: their device threads still call
    // it, and unloading it under them crashes the process at exit. When the process is
    // terminating (Windows), the system has already ended the other threads, perhaps
    // holding the driver's locks; it reclaims everything itself.
    if (!process_terminating && !has_connected_clients()) {
        services_.unload_driver();
    }
    initialized_.store(false);
}

bool Api::has_connected_clients() const {
    for (std::int32_t id = 1; id <= 127; ++id) {
        const std::shared_ptr<ClientSlot> slot = registry_.find(id);
        if (!slot) {
            continue;
        }
        std::unique_lock lock(slot->mutex, std::try_to_lock);
        // A slot in use by a call counts as connected.
        if (!lock.owns_lock() || slot->client) {
            return true;
        }
    }
    return false;
}

Api& process_api() {
    // Never destroyed: exports may still be called from other threads while the process
    // ends, and process detach runs after static destructors.
    static Api* const api = new Api(default_services());
    return *api;
}

}  // namespace qz121032
