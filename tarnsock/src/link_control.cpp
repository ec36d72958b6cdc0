#include "link_control.hpp"

#include <libsocketcan.h>

#include <fstream>
#include <iomanip>
#include <sstream>

namespace tarnsock {

std::optional<LinkTiming> link_timing(const std::string& name) {
    can_bittiming bt{};
    if (can_get_bittiming(name.c_str(), &bt) != 0 || bt.bitrate == 0) {
        return std::nullopt;
    }
    return LinkTiming{bt.bitrate, bt.sample_point, bt.prop_seg + bt.phase_seg1, bt.phase_seg2,
                      bt.sjw};
}

std::optional<TimingLimits> link_timing_limits(const std::string& name) {
    can_bittiming_const c{};
    if (can_get_bittiming_const(name.c_str(), &c) != 0 || c.tseg1_max == 0) {
        return std::nullopt;
    }
    return TimingLimits{c.tseg1_min, c.tseg1_max, c.tseg2_min, c.tseg2_max,
                        c.sjw_max,   c.brp_min,   c.brp_max};
}

std::optional<std::uint32_t> link_clock_hz(const std::string& name) {
    can_clock clock{};
    if (can_get_clock(name.c_str(), &clock) != 0 || clock.freq == 0) {
        return std::nullopt;
    }
    return clock.freq;
}

LinkState link_state(const std::string& name) {
    int state = 0;
    if (can_get_state(name.c_str(), &state) != 0) {
        return LinkState::Unknown;
    }
    switch (state) {
        case CAN_STATE_ERROR_ACTIVE:
            return LinkState::Active;
        case CAN_STATE_ERROR_WARNING:
            return LinkState::Warning;
        case CAN_STATE_ERROR_PASSIVE:
            return LinkState::Passive;
        case CAN_STATE_BUS_OFF:
            return LinkState::BusOff;
        case CAN_STATE_STOPPED:
        case CAN_STATE_SLEEPING:
            return LinkState::Stopped;
        default:
            return LinkState::Unknown;
    }
}

std::optional<ErrorCounters> link_error_counters(const std::string& name) {
    can_berr_counter bc{};
    if (can_get_berr_counter(name.c_str(), &bc) != 0) {
        return std::nullopt;
    }
    return ErrorCounters{bc.txerr, bc.rxerr};
}

bool set_link_timing(const std::string& name, std::uint32_t bitrate, std::uint32_t sample_point) {
    return can_set_bitrate_samplepoint(name.c_str(), bitrate, sample_point) == 0;
}

bool set_link_listen_only(const std::string& name, bool on) {
    can_ctrlmode mode{};
    mode.mask = CAN_CTRLMODE_LISTENONLY;
    mode.flags = on ? CAN_CTRLMODE_LISTENONLY : 0;
    return can_set_ctrlmode(name.c_str(), &mode) == 0;
}

bool start_link(const std::string& name) {
    return can_do_start(name.c_str()) == 0;
}

bool restart_link(const std::string& name) {
    return can_do_restart(name.c_str()) == 0;
}

bool may_configure_links() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
            constexpr unsigned long long kNetAdmin = 1ull << 12;
            return (caps & kNetAdmin) != 0;
        }
    }
    return false;
}

std::string timing_command(const std::string& name, std::uint32_t bitrate,
                           std::uint32_t sample_point, bool is_up) {
    std::ostringstream out;
    if (is_up) {
        out << "ip link set " << name << " down && ";
    }
    out << "ip link set " << name << " up type can bitrate " << bitrate;
    if (sample_point != 0) {
        out << " sample-point " << sample_point / 1000 << '.' << std::setw(3) << std::setfill('0')
            << sample_point % 1000;
    }
    return out.str();
}

}  // namespace tarnsock
