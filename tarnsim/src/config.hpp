#pragma once
// The simulated hardware as a configuration describes it: interfaces with their identity
// and properties, and buses that wire channels together.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnsim {

inline constexpr std::size_t kMaxInterfaces = 8;
inline constexpr std::size_t kMaxChannelsPerInterface = 4;
inline constexpr std::size_t kMaxBuses = 16;

struct InterfaceConfig {
    std::uint64_t ean = 0x7330130123456ULL;  // packed decimal, 73-30130-12345-6
    std::uint64_t serial = 10001;
    std::uint32_t card = 0;
    std::uint32_t channels = 2;
    std::uint64_t firmware = (3ULL << 48) | (25ULL << 32) | 900;  // 3.25.900
    std::uint32_t bus_type = 2;                                   // USB
    std::uint32_t clock_hz = 16'000'000;
    std::uint32_t capabilities = 0;
    bool bus_param_limits = true;
    bool fd = true;
};

struct ChannelRef {
    std::uint32_t interface_index = 0;
    std::uint32_t channel = 0;
};

struct BusConfig {
    std::vector<ChannelRef> members;
    bool foreign_ack = false;  // a foreign node acknowledges every frame
};

struct Config {
    std::string instance = "default";
    std::vector<InterfaceConfig> interfaces;
    std::vector<BusConfig> buses;
};

// One interface with two channels wired to one bus.
Config default_config();

// Parses configuration text; on error the message names the line.
struct ParseResult {
    std::optional<Config> config;
    std::string error;
};
ParseResult parse_config(std::string_view text);

// Reads and parses a file.
ParseResult load_config_file(const std::string& path);

}  // namespace tarnsim
