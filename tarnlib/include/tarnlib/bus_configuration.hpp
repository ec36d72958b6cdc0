#pragma once
// The bus timing record (bus configuration) and its conversion to the driver's time-quantum
// records.

#include <cstdint>
#include <optional>
#include <string>

#include "tarnlib/can_message.hpp"
#include "tarnlib/driver_api.h"

namespace tarnlib {

enum class BusKind { Classic, Fd };

struct BusPhase {
    double bitrate = 0.0;       // bit/s
    double sample_point = 0.0;  // fraction of the bit, e.g. 0.75
    double bitrate_tolerance = 0.001;
    double sample_point_tolerance = 0.001;

    friend bool operator==(const BusPhase&, const BusPhase&) = default;
};

struct BusConfiguration {
    BusKind kind = BusKind::Classic;
    BusPhase nominal;
    BusPhase data;  // used when kind is Fd
    std::optional<std::string> name;
    bool exclusive = false;  // the bus must be opened with exclusive access

    friend bool operator==(const BusConfiguration&, const BusConfiguration&) = default;
};

// "75% @ 250k", "80% @ 1M", "87% @ 33.3k"; a rate that is not finite prints "-".
std::string to_string(const BusPhase& phase);
// "CC <nominal>" or "FD nominal <nominal>, data <data>", after "<name>: " when named.
std::string to_string(const BusConfiguration& configuration);

// Time-quantum limits of a channel (driver item 45 without its version).
struct BusParamLimits {
    tarnBusParamsTq nominal_min;
    tarnBusParamsTq nominal_max;
    tarnBusParamsTq data_min;
    tarnBusParamsTq data_max;
};

// Minimum all 1; maximum tq 1024, phase1 256, phase2 256, sjw 128, prop 256, prescaler 1024.
BusParamLimits default_bus_param_limits();

inline constexpr double kDefaultClockHz = 16'000'000.0;

// Converts one phase to time quanta for a clock of clock_hz: the smallest prescaler below
// max_prescaler whose rounded segments give the bit rate within its tolerance.
// tarnERR_PARAM when none does or the phase is not a usable timing.
TarnResult<tarnBusParamsTq> to_time_quanta(const BusPhase& phase, const tarnBusParamsTq& max,
                                           std::int32_t max_prescaler, double clock_hz);

// The legacy classic form: q = 16 quanta up to 500 000 bit/s, else 8.
struct LegacyBusParams {
    std::int32_t bitrate;
    std::uint32_t tseg1;
    std::uint32_t tseg2;
};
LegacyBusParams to_legacy_bus_params(const BusPhase& phase);

}  // namespace tarnlib
