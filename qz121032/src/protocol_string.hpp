#pragma once
// RP1210 protocol strings ("CAN", "J1939:Baud=500", "CAN:Baud=Auto", ...) and the bus
// timing a client asks of the bus. Pure functions of the text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/expected.hpp"

namespace qz121032 {

struct ProtocolParameters {
    std::optional<float> sample_location;  // percent
    std::optional<std::uint32_t> channel;  // 1-based
    std::uint32_t baud = 250000;           // bit/s; 0 = automatic detection
    std::optional<std::uint8_t> prop_seg;
    std::optional<std::uint8_t> phase_seg1;
    std::optional<std::uint8_t> phase_seg2;
    std::optional<std::uint8_t> tseg1;
    std::optional<std::uint8_t> tseg2;
    std::optional<std::uint8_t> sjw;
    std::optional<std::uint8_t> sample_times;  // 1 or 3
    std::optional<std::uint8_t> id_size;       // 11 or 29; absent for "B"
    bool is_can = true;
};

namespace bus_timing {
struct Automatic {
    bool operator==(const Automatic&) const = default;
};
struct BitRateWithSamplePoint {
    double bit_rate = 0;
    double sample_point = 0;  // fraction, e.g. 0.875
    double bit_rate_tolerance = 0.001;
    double sample_point_tolerance = 0.001;
    bool operator==(const BitRateWithSamplePoint&) const = default;
};
struct ExplicitSegments {
    std::uint32_t bit_rate = 0;
    std::uint8_t tseg1 = 0;
    std::uint8_t tseg2 = 0;
    std::uint8_t sjw = 0;
    std::uint8_t samples = 1;
    bool operator==(const ExplicitSegments&) const = default;
};
}  // namespace bus_timing

using BusTimingRequest = std::variant<bus_timing::Automatic, bus_timing::BitRateWithSamplePoint,
                                      bus_timing::ExplicitSegments>;

// Parses and validates, or returns the rejection message.
platform::Expected<ProtocolParameters, std::string> parse_protocol_string(std::string_view text);
std::optional<std::string> validate_protocol_parameters(const ProtocolParameters& params);
platform::Expected<BusTimingRequest, std::string> to_bus_timing(const ProtocolParameters& params);

}  // namespace qz121032
