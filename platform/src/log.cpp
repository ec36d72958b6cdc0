#include "platform/log.hpp"

#include <mutex>

namespace platform::log {

namespace {
// Guards the installed sink pointer; the sink itself serialises its writes.
std::mutex sink_mutex;
std::shared_ptr<Sink> installed_sink;
}  // namespace

const char* level_name(Level level) noexcept {
    switch (level) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
        case Level::Off: break;
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
