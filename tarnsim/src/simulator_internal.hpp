#pragma once
// What the simulator's source files share besides the class: the driver status codes it
// returns and the clock that stamps its frames.

#include <cstdint>

#include "platform/clock.hpp"
#include "tarnlib/driver_api.h"

namespace tarnsim {

inline constexpr tarnStatus kOk = 0;
inline constexpr tarnStatus kErrParam = -1;
inline constexpr tarnStatus kErrNoMsg = -2;
inline constexpr tarnStatus kErrNotFound = -3;
inline constexpr tarnStatus kErrTimeout = -7;
inline constexpr tarnStatus kErrNotInitialized = -8;
inline constexpr tarnStatus kErrNoHandles = -9;
inline constexpr tarnStatus kErrInvHandle = -10;
inline constexpr tarnStatus kErrTxBufOfl = -13;
inline constexpr tarnStatus kErrNotSupported = -19;
inline constexpr tarnStatus kErrNoCard = -26;
inline constexpr tarnStatus kErrInternal = -30;
inline constexpr tarnStatus kErrNoAccess = -31;
inline constexpr tarnStatus kErrConfig = -37;

inline std::int64_t now_ns() {
    return platform::monotonic_ns();
}

}  // namespace tarnsim
