#include "platform/clock.hpp"

#include <windows.h>

namespace platform {

namespace {
std::int64_t counter_frequency() noexcept {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    return frequency;
}
}  // namespace

std::int64_t monotonic_ns() noexcept {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const std::int64_t f = counter_frequency();
    const std::int64_t ticks = now.QuadPart;
    // Split to keep the multiplication inside 64 bits.
    return (ticks / f) * 1'000'000'000 + (ticks % f) * 1'000'000'000 / f;
}

std::uint64_t wall_ms() noexcept {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    // FILETIME counts 100 ns since 1601-01-01.
    constexpr std::uint64_t epoch_delta_100ns = 116444736000000000ull;
    return (t.QuadPart - epoch_delta_100ns) / 10'000u;
}

std::chrono::system_clock::time_point wall_now() noexcept { return std::chrono::system_clock::now(); }

}  // namespace platform
