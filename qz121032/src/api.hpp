#pragma once
// The process-wide state behind the RP1210 exports: the one-time initialisation, the
// initialized flag, the settings, the client registry, and the API side of every export
// (argument checks, client lookup, forwarding, result codes and log lines).
//
// The services of the layers below come in through ApiServices, so that tests can run
// the API layer against stand-ins; the exports use default_services().

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "client.hpp"
#include "client_registry.hpp"
#include "config_reader.hpp"
#include "error_codes.hpp"
#include "hw_status.hpp"

namespace qz121032 {

struct ApiServices {
    // Finds the INI file and loads it into the settings; the load's message on failure.
    std::function<std::optional<std::string>(IniSettings&)> load_settings;
    // Starts the debug log; a failure text when it could not be started.
    std::function<std::optional<std::string>(const IniSettings&)> start_log;
    // Creates the driver-library context; true when tarnGetNumberOfChannels succeeds.
    std::function<bool()> check_driver;
    // j1939_configure_shared_address_table(); 0 on success.
    std::function<std::int32_t()> configure_j1939;
    std::function<std::shared_ptr<HardwareStatus>()> open_hardware_status;
    std::function<Outcome<std::unique_ptr<ProtocolClient>>(ClientCreateArgs)> create_client;
    // Process detach: tarnUnloadLibrary when the driver context exists.
    std::function<void()> unload_driver;
    // Writes one line (a line feed is added) to standard output.
    std::function<void(std::string_view)> print_line;
};

ApiServices default_services();

// Texts reported by the version exports.
inline constexpr const char* kDllVersionText = "6.0.0.17";
inline constexpr const char* kApiVersionText = "4.0";

class Api {
public:
    explicit Api(ApiServices services);
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    std::int16_t client_connect(std::int16_t device_id, const char* protocol,
                                std::int32_t tx_buffer_size, std::int32_t rx_buffer_size,
                                std::int16_t app_packetizing);
    std::int16_t client_disconnect(std::int16_t client_id);
    std::int16_t send_message(std::int16_t client_id, const void* message, std::int16_t size);
    std::int16_t read_message(std::int16_t client_id, void* buffer, std::int16_t size,
                              std::int16_t block_on_read);
    std::int16_t send_command(std::int16_t command, std::int16_t client_id, void* arguments,
                              std::int16_t size);
    std::int16_t ioctl(std::int16_t client_id, std::int32_t ioctl_id);
    std::int16_t read_detailed_version(std::int16_t client_id, char* api_version,
                                       char* dll_version, char* firmware_version);
    std::int16_t get_hardware_status(std::int16_t client_id, void* buffer, std::int16_t size);
    std::int16_t get_last_error_msg(std::int16_t code, std::int32_t* sub_error,
                                    char* description, std::int16_t client_id);
    // Process detach (or library unload); process_terminating: the process is ending and
    // its other threads are gone.
    void process_detach(bool process_terminating = false);

    bool initialized() const noexcept { return initialized_.load(); }

private:
    void initialize_once();
    bool has_connected_clients() const;
    Outcome<std::unique_ptr<ProtocolClient>> create_client_locked(
        std::int16_t device_id, std::int32_t client_id, const ProtocolParameters& params,
        std::int32_t tx_size, std::int32_t rx_size, bool app_packetizing);
    platform::Expected<std::uint16_t, std::int16_t> dispatch_command(
        Client& client, std::int16_t command, std::span<std::uint8_t> arguments);
    std::int16_t reset_device(Client& client);

    ApiServices services_;
    std::once_flag init_once_;
    std::atomic<bool> initialized_{false};

    std::mutex settings_mutex_;  // guards settings_ and hardware_status_; held for a connect
    IniSettings settings_;
    std::shared_ptr<HardwareStatus> hardware_status_;

    ClientRegistry registry_;
};

// The instance behind the exports, created on first use with default_services().
Api& process_api();

// Process-independent exports.
std::int16_t get_error_msg(std::int16_t code, char* description);
void read_version(char* dll_major, char* dll_minor, char* api_major, char* api_minor);

// Protocol text as received: null becomes "null", invalid UTF-8 becomes U+FFFD.
std::string protocol_text(const char* protocol);

}  // namespace qz121032
