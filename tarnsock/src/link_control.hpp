#pragma once
// What the driver asks of and tells the kernel about a CAN interface through rtnetlink,
// by way of Debian's libsocketcan: bit timing, controller state, error counters, clock,
// starting and restarting. A virtual interface (vcan, vxcan) has none of these: the calls
// answer nullopt or false for it.

#include <cstdint>
#include <optional>
#include <string>

namespace tarnsock {

struct LinkTiming {
    std::uint32_t bitrate = 0;
    std::uint32_t sample_point = 0;  // tenths of a percent: 875 = 87.5 %
    std::uint32_t tseg1 = 0;         // propagation + phase 1, in time quanta
    std::uint32_t tseg2 = 0;
    std::uint32_t sjw = 0;
};

enum class LinkState { Active, Warning, Passive, BusOff, Stopped, Unknown };

struct ErrorCounters {
    std::uint16_t tx = 0;
    std::uint16_t rx = 0;
};

struct TimingLimits {
    std::uint32_t tseg1_min = 1, tseg1_max = 16, tseg2_min = 1, tseg2_max = 8, sjw_max = 4;
    std::uint32_t brp_min = 1, brp_max = 64;
};

std::optional<LinkTiming> link_timing(const std::string& name);
std::optional<TimingLimits> link_timing_limits(const std::string& name);
std::optional<std::uint32_t> link_clock_hz(const std::string& name);
LinkState link_state(const std::string& name);
std::optional<ErrorCounters> link_error_counters(const std::string& name);

// Sets the bit rate and sample point of an interface that is down; needs CAP_NET_ADMIN.
bool set_link_timing(const std::string& name, std::uint32_t bitrate, std::uint32_t sample_point);
// Listen-only: the controller neither acknowledges nor sends error frames, so that a
// wrong bit rate (a detection trying rates, say) does not disturb the bus. Down only.
bool set_link_listen_only(const std::string& name, bool on);
bool start_link(const std::string& name);
bool restart_link(const std::string& name);

// Whether this process may configure network interfaces (CAP_NET_ADMIN in effect).
bool may_configure_links();

// The command an administrator runs to give an interface this bit rate and sample point.
std::string timing_command(const std::string& name, std::uint32_t bitrate,
                           std::uint32_t sample_point, bool is_up);

}  // namespace tarnsock
