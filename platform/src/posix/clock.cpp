#include "platform/clock.hpp"

#include <time.h>

namespace platform {

std::int64_t monotonic_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::uint64_t wall_ms() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
}

std::chrono::system_clock::time_point wall_now() noexcept { return std::chrono::system_clock::now(); }

}  // namespace platform
