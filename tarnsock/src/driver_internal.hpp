#pragma once
// What the driver's source files share: status codes, the error text of failed calls, and
// small socket helpers. Internal to the driver.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver.hpp"
#include "echo_ring.hpp"
#include "interfaces.hpp"
#include "link_control.hpp"
#include "tarnlib/driver_api.h"

namespace tarnsock::detail {

inline constexpr tarnStatus kOk = 0;
inline constexpr tarnStatus kErrParam = -1;
inline constexpr tarnStatus kErrNoMsg = -2;
inline constexpr tarnStatus kErrNotFound = -3;
inline constexpr tarnStatus kErrNoHandles = -9;
inline constexpr tarnStatus kErrInvHandle = -10;
inline constexpr tarnStatus kErrTimeout = -7;
inline constexpr tarnStatus kErrTxBufOfl = -13;
inline constexpr tarnStatus kErrHardware = -15;
inline constexpr tarnStatus kErrNotSupported = -19;
inline constexpr tarnStatus kErrNoCard = -26;
inline constexpr tarnStatus kErrNoAccess = -31;

inline constexpr std::uint32_t kVirtualClockHz = 80'000'000;
inline constexpr const char* kSysfsNet = "/sys/class/net";

inline bool debug_enabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("TARNSOCK_DEBUG");
        return value != nullptr && *value != '\0' && *value != '0';
    }();
    return enabled;
}

// Failures say why in the caller's thread, for its log, and on stderr when asked for.
inline tarnStatus fail(tarnStatus status, const std::string& why) {
    set_error_detail(why);
    if (debug_enabled()) {
        std::fprintf(stderr, "tarnsock: %s\n", why.c_str());
    }
    return status;
}

inline std::int64_t realtime_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Virtual interfaces (vcan, vxcan) have no controller: no bit timing, state or counters,
// and libsocketcan would only complain about them on stderr.
inline bool has_controller(const InterfaceInfo& iface) {
    return iface.kind != DeviceKind::Virtual;
}

inline std::uint32_t clock_hz(const InterfaceInfo& iface) {
    return has_controller(iface) ? link_clock_hz(iface.name).value_or(kVirtualClockHz)
                                 : kVirtualClockHz;
}

inline void write_eventfd(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

inline void drain_eventfd(int fd) {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

// Receives all frames, or none while the handle is off bus.
inline void set_receiving(int fd, bool all) {
    if (all) {
        const can_filter everything{0, 0};
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &everything, sizeof everything);
    } else {
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0);
    }
}

inline EchoKey key_of(int ifindex, const canfd_frame& frame) {
    EchoKey key;
    key.ifindex = ifindex;
    key.can_id = frame.can_id;
    key.length = frame.len;
    std::memcpy(key.data, frame.data, std::min<std::size_t>(frame.len, 64));
    return key;
}

}  // namespace tarnsock::detail
