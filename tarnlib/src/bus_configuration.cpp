#include "tarnlib/bus_configuration.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnlib {

namespace {

// Rounded to three decimals, trailing zeros and a trailing point removed.
std::string short_number(double value) {
    std::string text = fmt::format("{:.3f}", value);
    while (!text.empty() && text.back() == '0') {
        text.pop_back();
    }
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::string to_string(const BusPhase& phase) {
    const long percent = std::lround(phase.sample_point * 100.0);
    std::string rate;
    if (!std::isfinite(phase.bitrate)) {
        rate = "-";
    } else {
        const double kbit = phase.bitrate / 1000.0;
        // The unit is chosen on the rounded value, so 999.9996 kbit/s prints as 1M.
        const double rounded_kbit = std::round(kbit * 1000.0) / 1000.0;
        rate = std::abs(rounded_kbit) >= 1000.0 ? short_number(kbit / 1000.0) + "M"
                                                : short_number(kbit) + "k";
    }
    return fmt::format("{}% @ {}", percent, rate);
}

std::string to_string(const BusConfiguration& configuration) {
    std::string timing = configuration.kind == BusKind::Classic
                             ? "CC " + to_string(configuration.nominal)
                             : "FD nominal " + to_string(configuration.nominal) + ", data " +
                                   to_string(configuration.data);
    if (configuration.name) {
        return *configuration.name + ": " + timing;
    }
    return timing;
}

BusParamLimits default_bus_param_limits() {
    const tarnBusParamsTq min{1, 1, 1, 1, 1, 1};
    const tarnBusParamsTq max{1024, 256, 256, 128, 256, 1024};
    return {min, max, min, max};
}

TarnResult<tarnBusParamsTq> to_time_quanta(const BusPhase& phase, const tarnBusParamsTq& max,
                                           std::int32_t max_prescaler, double clock_hz) {
    const double rate = phase.bitrate;
    const double sample = phase.sample_point;
    if (!std::isfinite(rate) || rate <= 0.0 || !std::isfinite(clock_hz) || clock_hz <= 0.0 ||
        !(sample > 0.0 && sample < 1.0) || max.phase2 <= 0 || max.prop + max.phase1 + 1 <= 0) {
        return platform::unexpected(Status::tarnERR_PARAM);
    }
    const double cycles = clock_hz / rate;
    const double before = cycles * sample;
    const double after = cycles * (1.0 - sample);
    const double first =
        std::ceil(std::max(before / (max.prop + max.phase1 + 1), after / max.phase2));
    if (!(first < static_cast<double>(max_prescaler))) {
        return platform::unexpected(Status::tarnERR_PARAM);
    }
    for (auto p = static_cast<std::int32_t>(std::max(1.0, first)); p < max_prescaler; ++p) {
        const double d = std::round(before / p);
        const double e = std::round(after / p);
        // A bit needs the sync segment plus at least one quantum on each side of the
        // sample point; smaller candidates would give negative segments.
        if (d < 2.0 || e < 1.0) {
            continue;
        }
        if (std::abs(clock_hz / p / (d + e) - rate) / rate <= phase.bitrate_tolerance) {
            const auto before_q = static_cast<std::int32_t>(d);
            const auto after_q = static_cast<std::int32_t>(e);
            tarnBusParamsTq tq{};
            tq.tq = before_q + after_q;
            tq.phase1 = std::min(max.phase1, before_q - 1);
            tq.phase2 = after_q;
            tq.sjw = std::min(max.sjw, after_q);
            tq.prop = before_q - 1 - tq.phase1;
            tq.prescaler = p;
            return tq;
        }
    }
    return platform::unexpected(Status::tarnERR_PARAM);
}

LegacyBusParams to_legacy_bus_params(const BusPhase& phase) {
    const double rounded = std::round(phase.bitrate);
    std::int32_t bitrate = 0;
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        bitrate = std::numeric_limits<std::int32_t>::max();
    } else if (rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
               std::isnan(rounded)) {
        bitrate = std::isnan(rounded) ? 0 : std::numeric_limits<std::int32_t>::min();
    } else {
        bitrate = static_cast<std::int32_t>(rounded);
    }
    const std::int32_t q = phase.bitrate <= 500000.0 ? 16 : 8;
    const double sample =
        std::isfinite(phase.sample_point) ? std::clamp(phase.sample_point, 0.0, 1.0) : 0.0;
    const auto before = static_cast<std::int32_t>(std::lround(q * sample));
    // At least one quantum in each segment, so that the driver gets a valid timing.
    const std::int32_t tseg1 = std::clamp(before - 1, 1, q - 2);
    const std::int32_t tseg2 = q - 1 - tseg1;
    return {bitrate, static_cast<std::uint32_t>(tseg1), static_cast<std::uint32_t>(tseg2)};
}

}  // namespace tarnlib
