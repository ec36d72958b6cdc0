#pragma once
// The RP1210 debug log: configured from the vendor section's debug keys, written to the
// debug file and, at DebugLevel 1000 and up, to standard output.

#include <chrono>
#include <optional>
#include <string>

#include "config_reader.hpp"
#include "platform/log.hpp"

namespace qz121032 {

// Log targets of this library's modules.
namespace target {
inline constexpr const char* kLib = "qz121032";
inline constexpr const char* kLogger = "qz121032::logger";
inline constexpr const char* kCanClient = "qz121032::can_client";
inline constexpr const char* kJ1939Client = "qz121032::j1939_client";
inline constexpr const char* kMessageBuffer = "qz121032::message_buffer";
}  // namespace target

// Starts logging from the settings. Returns "Failed to create log file" or
// "Failed to initialize logging" on failure; the library then works on without a log.
std::optional<std::string> start_logging(const IniSettings& settings);

// The time stamp of a log line: UTC, RFC 3339 with milliseconds, for example
// "2024-03-05T14:07:09.042Z". Sub-millisecond digits are cut, not rounded.
inline std::string format_log_time(std::chrono::system_clock::time_point time) {
    return platform::log::format_time(time);
}

}  // namespace qz121032
