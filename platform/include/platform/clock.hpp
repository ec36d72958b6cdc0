#pragma once
// Clocks. The monotonic clock is the same in every process of the machine, so instants
// taken by two processes can be compared (QueryPerformanceCounter / CLOCK_MONOTONIC).

#include <chrono>
#include <cstdint>

namespace platform {

// Nanoseconds on the machine-wide monotonic clock.
std::int64_t monotonic_ns() noexcept;

// Milliseconds since 1970-01-01 UTC.
std::uint64_t wall_ms() noexcept;

// Wall time with microsecond resolution, for log time stamps.
std::chrono::system_clock::time_point wall_now() noexcept;

}  // namespace platform
