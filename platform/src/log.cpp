#include "platform/log.hpp"

#include <cstdint>
#include <mutex>

namespace platform::log {

namespace {
// Guards the installed sink pointer; the sink itself serialises its writes.
std::mutex sink_mutex;
std::shared_ptr<Sink> installed_sink;

// Days since 1970-01-01 to the proleptic Gregorian calendar date (H. Hinnant's
// civil_from_days).
struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}
}  // namespace

const char* level_name(Level level) noexcept {
    switch (level) {
        case Level::Error:
            return "ERROR";
        case Level::Warn:
            return "WARN";
        case Level::Info:
            return "INFO";
        case Level::Debug:
            return "DEBUG";
        case Level::Trace:
            return "TRACE";
        case Level::Off:
            break;
    }
    return "OFF";
}

void set_max_level(Level level) noexcept {
    detail::max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

bool install(std::shared_ptr<Sink> sink) {
    std::lock_guard lock(sink_mutex);
    if (installed_sink) {
        return false;
    }
    installed_sink = std::move(sink);
    return true;
}

void uninstall() noexcept {
    set_max_level(Level::Off);
    std::lock_guard lock(sink_mutex);
    installed_sink.reset();
}

void emit(Level level, std::string_view target, std::string_view text) noexcept {
    if (!enabled(level)) {
        return;
    }
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard lock(sink_mutex);
        sink = installed_sink;
    }
    if (sink) {
        sink->write(level, target, text);
    }
}

std::string format_time(std::chrono::system_clock::time_point time) {
    constexpr std::int64_t kMsPerDay = 86'400'000;
    const std::int64_t ms =
        std::chrono::floor<std::chrono::milliseconds>(time).time_since_epoch().count();
    const std::int64_t days = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
    const std::int64_t in_day = ms - days * kMsPerDay;
    const CivilDate date = civil_from_days(days);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", date.year, date.month,
                       date.day, in_day / 3'600'000, in_day / 60'000 % 60, in_day / 1000 % 60,
                       in_day % 1000);
}

std::string hex_dump(const void* data, std::size_t size) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    if (size == 0) {
        return out;
    }
    out.reserve(size * 3 - 1);
    auto bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0) {
            out.push_back(' ');
        }
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

}  // namespace platform::log
