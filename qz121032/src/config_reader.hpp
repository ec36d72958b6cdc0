#pragma once
// The RP1210 INI file: where it is found, its syntax, the vendor, device and protocol
// sections, and the resolution of a device's DeviceParams into a DeviceSelection.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/expected.hpp"

namespace qz121032 {

struct VendorInfo {
    std::string rp1210;
    std::string version;
    std::string message_string;
    std::string error_string;
    std::uint32_t timestamp_weight = 0;
    bool auto_detect_capable = false;
    std::int32_t debug_level = 0;
    std::string debug_file;
    std::uint32_t debug_file_size = 0;
    std::uint32_t debug_mode = 0;
    std::uint32_t number_of_rts_cts_sessions = 0;
    std::vector<std::uint8_t> can_formats_supported;
    std::vector<std::uint8_t> j1939_formats_supported;
    std::uint32_t j1939_addresses = 0;
    bool can_auto_baud = false;
    std::vector<std::uint32_t> devices;
    std::vector<std::uint32_t> protocols;
};

struct DeviceInfo {
    std::uint32_t device_id = 0;
    std::string device_description;
    std::string device_name;
    std::string device_params;
    std::uint32_t multi_can_channels = 0;
    std::uint32_t multi_j1939_channels = 0;
    std::uint32_t multi_iso15765_channels = 0;
};

struct ProtocolInfo {
    std::string protocol_string;
    std::string protocol_description;
    std::string protocol_speed;
    std::string protocol_params;
    std::vector<std::uint32_t> devices;
};

struct IniSettings {
    std::optional<VendorInfo> vendor;
    std::map<std::int32_t, DeviceInfo> devices;
    std::map<std::uint32_t, ProtocolInfo> protocols;
    std::string path;
    bool valid = false;
};

// A device's DeviceParams, resolved.
struct DeviceSelection {
    // Packed decimal: one digit per nibble, the last digit in the lowest nibble.
    std::optional<std::uint64_t> ean;
    std::optional<std::uint32_t> fixed_channel;
    std::optional<std::uint32_t> serial_number;
    std::uint32_t can_channel_count = 0;
    std::uint32_t j1939_channel_count = 0;
};

inline constexpr const char* kCurrentDirectoryIniName = "ostrel_qz121032.ini";
inline constexpr const char* kWindowsDirectoryIniName = "qz121032.ini";

// "ostrel_qz121032.ini" in the current directory when it exists, else "qz121032.ini" in
// the Windows directory (whether or not that exists). The path is UTF-8 text, as are
// the paths load_ini_file takes and DebugFile holds.
std::string find_ini_path();

// Reads and checks the file into `settings` (settings.valid set on success). On failure
// returns the message and leaves no partial configuration behind: `settings` is then
// empty and not valid, with only `path` set to the file that was tried.
std::optional<std::string> load_ini_file(const std::string& path, IniSettings& settings);

// The part of load_ini_file after reading: parses and checks the file's text. Sets every
// field of `settings` but `path`, which it leaves as it was.
std::optional<std::string> load_ini_text(std::string_view text, IniSettings& settings);

// Resolves DeviceParams, or returns the rejection message.
platform::Expected<DeviceSelection, std::string> resolve_device_params(const DeviceInfo& device);

}  // namespace qz121032
